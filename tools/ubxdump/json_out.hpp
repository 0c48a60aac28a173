// ubxdump's output: a large buffer written to a file descriptor, and JSON formatting that never
// allocates per value. A line is written in two steps: reserve() the most it can take, which
// gives the place to write at, then write through a plain char pointer with the put_* functions
// and commit() where it ended. Keeping the position in a local pointer, not in the buffer
// object, is what lets the compiler keep it in a register across a line's values.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>

namespace ubxdump {

// Most bytes a value takes in the output (see put_text and put_hex).
constexpr std::size_t kIntMax = 20;  // -9223372036854775808
constexpr std::size_t text_max(std::size_t n) {
    return 2 + 6 * n;
}
constexpr std::size_t hex_max(std::size_t n) {
    return 2 + 2 * n;
}

// put_short() copies this many bytes whatever the length it is given; the buffer has as many
// beyond what reserve() promises.
inline constexpr std::size_t kShort = 32;

inline char* put(char* p, std::string_view s) noexcept {
    std::memcpy(p, s.data(), s.size());
    return p + s.size();
}

// s[0, n) with n <= kShort, from storage that holds kShort readable bytes at s: one fixed-size
// copy, which the compiler makes a pair of vector moves.
inline char* put_short(char* p, const char* s, std::size_t n) noexcept {
    std::memcpy(p, s, kShort);
    return p + n;
}

// Decimal digits of v, written from the end two at a time. Most values on the wire are small
// (counts, flags, identifiers), which the first branches take.
inline char* put_uint(char* p, uint64_t v) noexcept {
    static constexpr char kPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    if (v < 10) {
        *p = static_cast<char>('0' + v);
        return p + 1;
    }
    if (v < 100) {
        std::memcpy(p, kPairs + 2 * v, 2);
        return p + 2;
    }
    std::size_t n = 3;
    for (uint64_t bound = 1000; n < 20 && v >= bound; bound *= 10)
        ++n;
    char* q = p + n;
    while (v >= 100) {
        q -= 2;
        std::memcpy(q, kPairs + 2 * (v % 100), 2);
        v /= 100;
    }
    if (v >= 10) {
        std::memcpy(q - 2, kPairs + 2 * v, 2);
    } else {
        q[-1] = static_cast<char>('0' + v);
    }
    return p + n;
}

inline char* put_int(char* p, int64_t v) noexcept {
    if (v >= 0) return put_uint(p, static_cast<uint64_t>(v));
    *p++ = '-';
    return put_uint(p, 0 - static_cast<uint64_t>(v));
}

// An R4/R8 value as the shortest decimal that reads back to the same float or double (so a
// float is not shown with a double's noise digits); JSON has no NaN or infinity: null.
inline char* put_real(char* p, double v, bool single) noexcept {
    if (!std::isfinite(v)) return put(p, "null");
    const auto r =
        single ? std::to_chars(p, p + 32, static_cast<float>(v)) : std::to_chars(p, p + 32, v);
    return r.ptr;
}

inline constexpr char kHexDigits[] = "0123456789abcdef";

// A JSON string of bytes read as Latin-1: quote and backslash escaped, control characters and
// everything from 0x7F up as \u00XX.
inline char* put_text(char* p, std::string_view s) noexcept {
    *p++ = '"';
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            *p++ = '\\';
            *p++ = static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            std::memcpy(p, "\\u00", 4);
            p[4] = kHexDigits[c >> 4];
            p[5] = kHexDigits[c & 15];
            p += 6;
        } else {
            *p++ = static_cast<char>(c);
        }
    }
    *p++ = '"';
    return p;
}

inline char* put_hex(char* p, std::span<const uint8_t> b) noexcept {
    *p++ = '"';
    for (uint8_t c : b) {
        p[0] = kHexDigits[c >> 4];
        p[1] = kHexDigits[c & 15];
        p += 2;
    }
    *p++ = '"';
    return p;
}

class Out {
  public:
    static constexpr std::size_t kFlushAt = std::size_t{1} << 20;

    // line_flush: write after every line (a live port, where a reader waits for each message).
    Out(int fd, bool line_flush)
        : fd_(fd), line_flush_(line_flush), cap_(kFlushAt + 4096), buf_(new char[cap_ + kShort]) {}
    Out(const Out&) = delete;
    Out& operator=(const Out&) = delete;

    // Room for a line of n bytes and its newline: writes what is buffered when they do not fit,
    // grows the buffer for a line longer than it (bounded by the longest frame the scanner
    // accepts).
    char* reserve(std::size_t n) {
        ++n;
        if (len_ + n > cap_) {
            flush();
            if (n > cap_) {
                cap_ = n;
                buf_.reset(new char[cap_ + kShort]);
            }
        }
        return buf_.get() + len_;
    }
    // Ends a line written from reserve() up to `end` (exclusive; the newline is added here).
    void commit_line(char* end) {
        *end++ = '\n';
        len_ = static_cast<std::size_t>(end - buf_.get());
        if (line_flush_ || len_ >= kFlushAt) flush();
    }

    // Writes the buffer out. After a failed write nothing more is written; ok() tells.
    void flush() {
        std::size_t at = 0;
        while (at < len_ && ok()) {
            const ssize_t n = ::write(fd_, buf_.get() + at, len_ - at);
            if (n >= 0) {
                at += static_cast<std::size_t>(n);
            } else if (errno != EINTR) {
                errno_ = errno;
            }
        }
        len_ = 0;
    }
    bool ok() const noexcept { return errno_ == 0; }
    int error() const noexcept { return errno_; }

  private:
    int fd_;
    bool line_flush_;
    std::size_t cap_;
    std::unique_ptr<char[]> buf_;
    std::size_t len_ = 0;
    int errno_ = 0;
};

}  // namespace ubxdump
