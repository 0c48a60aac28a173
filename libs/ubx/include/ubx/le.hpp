// Little-endian access to wire bytes: the one place the codec turns bytes into numbers and back.
//
// load/store work on a pointer the caller has already checked (the decoder's hot path, where
// the catalogue's static_asserts and the payload's length rule guarantee the room); Reader and
// Writer check every access against the span they were given.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <type_traits>

namespace ubx::le {

static_assert(std::endian::native == std::endian::little, "wire bytes are copied as stored");

template <class T>
requires std::is_arithmetic_v<T>
inline T load(const uint8_t* p) noexcept {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class T>
requires std::is_arithmetic_v<T>
inline void store(uint8_t* p, T v) noexcept {
    std::memcpy(p, &v, sizeof v);
}

// The low n (1..8) bytes at p, zero-extended.
inline uint64_t load_n(const uint8_t* p, std::size_t n) noexcept {
    uint64_t v = 0;
    std::memcpy(&v, p, n);
    return v;
}

// The low n (1..8) bytes of v to p.
inline void store_n(uint8_t* p, uint64_t v, std::size_t n) noexcept {
    std::memcpy(p, &v, n);
}

// A checked cursor over bytes. Reads past the end return nullopt and leave the position alone.
class Reader {
  public:
    explicit Reader(std::span<const uint8_t> data) noexcept : data_(data) {}

    std::size_t pos() const noexcept { return pos_; }
    std::size_t left() const noexcept { return data_.size() - pos_; }
    bool done() const noexcept { return pos_ == data_.size(); }

    template <class T>
    std::optional<T> read() noexcept {
        if (left() < sizeof(T)) return std::nullopt;
        const T v = load<T>(data_.data() + pos_);
        pos_ += sizeof(T);
        return v;
    }
    std::optional<uint64_t> read_n(std::size_t n) noexcept {
        if (n == 0 || n > 8 || left() < n) return std::nullopt;
        const uint64_t v = load_n(data_.data() + pos_, n);
        pos_ += n;
        return v;
    }
    // The next n bytes, or nullopt when fewer are left.
    std::optional<std::span<const uint8_t>> take(std::size_t n) noexcept {
        if (left() < n) return std::nullopt;
        const auto s = data_.subspan(pos_, n);
        pos_ += n;
        return s;
    }

    // Random access at an offset; nullopt when T does not fit there.
    template <class T>
    std::optional<T> at(std::size_t offset) const noexcept {
        if (offset > data_.size() || data_.size() - offset < sizeof(T)) return std::nullopt;
        return load<T>(data_.data() + offset);
    }

  private:
    std::span<const uint8_t> data_;
    std::size_t pos_ = 0;
};

// Checked writes into a fixed span; a write that does not fit returns false and writes nothing.
class Writer {
  public:
    explicit Writer(std::span<uint8_t> data) noexcept : data_(data) {}

    template <class T>
    bool put(std::size_t offset, T v) noexcept {
        if (!fits(offset, sizeof(T))) return false;
        store<T>(data_.data() + offset, v);
        return true;
    }
    bool put_n(std::size_t offset, uint64_t v, std::size_t n) noexcept {
        if (n == 0 || n > 8 || !fits(offset, n)) return false;
        store_n(data_.data() + offset, v, n);
        return true;
    }
    bool put_bytes(std::size_t offset, std::span<const uint8_t> b) noexcept {
        if (!fits(offset, b.size())) return false;
        if (!b.empty()) std::memcpy(data_.data() + offset, b.data(), b.size());
        return true;
    }

  private:
    bool fits(std::size_t offset, std::size_t n) const noexcept {
        return offset <= data_.size() && data_.size() - offset >= n;
    }
    std::span<uint8_t> data_;
};

}  // namespace ubx::le
