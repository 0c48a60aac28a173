// Reads a fuzz input front to back as small typed values; past the end everything is zero, so
// every input means something and short inputs stay cheap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#define fuzz_check(ok)                                                                  \
    do {                                                                                \
        if (!(ok)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #ok); \
            std::abort();                                                               \
        }                                                                               \
    } while (0)

class FuzzInput {
  public:
    FuzzInput(const uint8_t* data, std::size_t size) : p_(data), n_(size) {}

    uint8_t u8() { return pos_ < n_ ? p_[pos_++] : 0; }
    uint64_t u64() {
        uint64_t v = 0;
        for (int i = 0; i < 8; ++i)
            v |= uint64_t{u8()} << (8 * i);
        return v;
    }
    // Up to MAX bytes: a length byte, then that many bytes (fewer at the end of the input).
    std::string str(std::size_t max) {
        const std::size_t len = u8() % (max + 1);
        std::string s;
        while (s.size() < len && pos_ < n_)
            s += static_cast<char>(p_[pos_++]);
        return s;
    }

  private:
    const uint8_t* p_;
    std::size_t n_;
    std::size_t pos_ = 0;
};
