// What a catalogue row is made of: field types, fields, modes and message forms.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace ubx {

// R4/R8 are IEEE float/double; the rest are integers, X bit fields, CH one ASCII character.
enum class Type : uint8_t { U1, I1, X1, U2, I2, X2, U4, I4, X4, CH, R4, R8 };

constexpr std::size_t type_size(Type t) noexcept {
    switch (t) {
        case Type::U2:
        case Type::I2:
        case Type::X2:
            return 2;
        case Type::U4:
        case Type::I4:
        case Type::X4:
        case Type::R4:
            return 4;
        case Type::R8:
            return 8;
        default:
            return 1;
    }
}

constexpr bool type_signed(Type t) noexcept {
    return t == Type::I1 || t == Type::I2 || t == Type::I4;
}

constexpr bool type_bits(Type t) noexcept {
    return t == Type::X1 || t == Type::X2 || t == Type::X4;
}

constexpr bool type_real(Type t) noexcept {
    return t == Type::R4 || t == Type::R8;
}

struct Field {
    std::string_view name;
    Type type;
    uint16_t offset;     // within the payload, or within the block for repeated fields
    uint16_t count = 1;  // > 1: U1[n] is delivered as bytes, CH[n] as text up to the first NUL
    uint32_t mask = 0;   // non-zero: these bits of the X field at offset, shifted down
    int64_t fixed = 0;   // what the builder writes when the caller gives no value
};

// Message modes, as the builder takes them.
enum class Mode : uint8_t { Get = 0, Set = 1, Poll = 2 };

inline constexpr uint8_t kModeGet = 1 << 0;
inline constexpr uint8_t kModeSet = 1 << 1;
inline constexpr uint8_t kModePoll = 1 << 2;

// How a form's variable tail (the bytes from min_len to the end of the payload) reads.
enum class TailKind : uint8_t {
    None,
    Text,       // CH[rest]: text up to the first NUL (INF messages)
    Bytes,      // U1[rest]
    Keys,       // U4[rest]: configuration key ids (ubx/keys.hpp)
    KeyValues,  // key id + value, the value's size given by its id (ubx/keys.hpp)
};

// One form (payload layout) of a message. A message with several forms has one row per form,
// adjacent, told apart by length, or, where lengths overlap, by the byte at `match_at`: the
// form admits a payload whose byte there has its bit set in `match` (a version or port id).
// The builder takes the first row, in table order, whose mode and fields fit.
struct MessageDef {
    uint16_t key;  // class << 8 | id
    std::string_view name;
    uint16_t min_len;
    uint16_t max_len;
    std::span<const Field> fields;
    uint8_t modes;
    // Optional group repeated from min_len to the end of the payload. Its fields are named
    // with a 1-based two-digit suffix: gnssId_01, gnssId_02, ...
    std::span<const Field> block = {};
    uint16_t block_size = 0;
    // Optional variable tail from min_len on (a form has a block or a tail, not both), there
    // when tail_kind is not None. Its field has offset min_len and count 0; the value is the
    // whole tail.
    const Field* tail = nullptr;
    TailKind tail_kind = TailKind::None;
    uint16_t min_blocks = 0;  // fewest repetitions of the block the form admits
    uint8_t match_at = 0;     // with match != 0: the discriminating byte's offset
    uint32_t match = 0;       // accepted values of that byte, as bits (bit v: value v)

    constexpr uint8_t cls() const noexcept { return static_cast<uint8_t>(key >> 8); }
    constexpr uint8_t id() const noexcept { return static_cast<uint8_t>(key); }
    // The length rule alone (what a scanner can check before the payload has arrived).
    constexpr bool fits(std::size_t len) const noexcept {
        if (len < min_len || len > max_len) return false;
        if (tail_kind == TailKind::Keys) return (len - min_len) % 4 == 0;
        if (tail_kind != TailKind::None) return true;
        if (block_size == 0) return len == min_len;
        return (len - min_len) % block_size == 0 && (len - min_len) / block_size >= min_blocks;
    }
    constexpr bool matches(uint8_t byte) const noexcept {
        return match == 0 || (byte < 32 && ((match >> byte) & 1));
    }
    // Length rule and discriminating byte. The tail's inner structure is checked by decode().
    constexpr bool admits(std::span<const uint8_t> payload) const noexcept {
        return fits(payload.size()) && (match == 0 || matches(payload[match_at]));
    }
};

// A message class that receivers send, and the longest payload of any of its messages.
struct ClassDef {
    uint8_t cls;
    std::string_view name;
    uint16_t max_len;
};

}  // namespace ubx
