// Helpers shared by the codec's sources: error-message wording and little-endian access.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

namespace ubx::detail {

static_assert(std::endian::native == std::endian::little, "fields are copied as stored");

// "NAV-PVT (0x01 0x07)" for catalogued messages, "message 0x01 0x20" otherwise.
std::string msg_label(uint8_t cls, uint8_t id);
// "a1 b2"
std::string hex2(uint8_t a, uint8_t b);

template <class T>
inline T load_le(const uint8_t* p) noexcept {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class T>
inline void store_le(uint8_t* p, T v) noexcept {
    std::memcpy(p, &v, sizeof v);
}

}  // namespace ubx::detail
