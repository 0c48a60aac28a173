// The message catalogue: every message the codec knows, as data. Decoder and builder are
// driven by these rows (ubx/messages.hpp); there is no per-message code.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "ubx/catalogue_types.hpp"
#include "ubx/messages.hpp"

namespace ubx {

namespace tables {

constexpr bool keys_sorted() {
    for (std::size_t i = 1; i < std::size(kCatalogue); ++i) {
        if (kCatalogue[i - 1].key > kCatalogue[i].key) return false;
    }
    return true;
}

// The shortest payload a form admits.
constexpr std::size_t shortest(const MessageDef& m) {
    return m.min_len + std::size_t{m.min_blocks} * m.block_size;
}

// Forms of one message must be told apart by length alone, or by the same discriminating byte
// with no value in common.
constexpr bool forms_disjoint() {
    for (std::size_t i = 0; i < std::size(kCatalogue); ++i) {
        for (std::size_t j = i + 1; j < std::size(kCatalogue); ++j) {
            const auto& a = kCatalogue[i];
            const auto& b = kCatalogue[j];
            if (a.key != b.key) continue;
            if (a.name != b.name) return false;
            if (shortest(a) > b.max_len || shortest(b) > a.max_len) continue;
            if (a.match != 0 && b.match != 0 && a.match_at == b.match_at &&
                (a.match & b.match) == 0) {
                continue;
            }
            return false;
        }
    }
    return true;
}

constexpr bool field_fits(const Field& f, std::size_t room) {
    if (f.count == 0 || f.name.empty()) return false;
    if (f.count > 1 && f.type != Type::U1 && f.type != Type::CH) return false;
    if ((f.type == Type::CH || type_real(f.type)) && f.mask != 0) return false;
    if (f.mask != 0 && !type_bits(f.type)) return false;
    const std::size_t bits = type_size(f.type) * 8;
    if (bits < 32 && (f.mask >> bits) != 0) return false;
    return f.offset + type_size(f.type) * f.count <= room;
}

// The kind says whether a form has a tail (a null tail with a kind fails to compile here;
// comparing the address with null is no constant expression under the sanitizers).
constexpr bool tail_fits(const MessageDef& m) {
    if (m.tail_kind == TailKind::None) return true;
    const Field& t = *m.tail;
    if (!m.block.empty() || t.name.empty() || t.count != 0 || t.offset != m.min_len) return false;
    return t.type == (m.tail_kind == TailKind::Text ? Type::CH : Type::U1);
}

// A discriminated form has a plain U1 field at the discriminating byte whose fixed value (what
// the builder writes when not told) is one the form admits.
constexpr bool match_fits(const MessageDef& m) {
    if (m.match == 0) return true;
    for (const auto& f : m.fields) {
        if (f.offset == m.match_at && f.mask == 0)
            return f.type == Type::U1 && f.count == 1 && f.fixed >= 0 && f.fixed < 32 &&
                   m.matches(static_cast<uint8_t>(f.fixed));
    }
    return false;
}

constexpr bool fields_fit() {
    for (const auto& m : kCatalogue) {
        if ((m.block_size == 0) != m.block.empty()) return false;
        if (m.max_len < shortest(m)) return false;
        if (m.match != 0 && m.match_at >= m.min_len) return false;
        if (!match_fits(m)) return false;
        if (!tail_fits(m)) return false;
        for (const auto& f : m.fields) {
            if (!field_fits(f, m.min_len)) return false;
        }
        for (const auto& f : m.block) {
            if (!field_fits(f, m.block_size)) return false;
        }
    }
    return true;
}

// Attribute lookup and the builder resolve fields by name.
constexpr bool names_unique() {
    for (const auto& m : kCatalogue) {
        const std::size_t n =
            m.fields.size() + m.block.size() + (m.tail_kind != TailKind::None ? 1 : 0);
        const auto at = [&](std::size_t i) -> const Field& {
            if (i < m.fields.size()) return m.fields[i];
            i -= m.fields.size();
            return i < m.block.size() ? m.block[i] : *m.tail;
        };
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = i + 1; j < n; ++j) {
                if (at(i).name == at(j).name) return false;
            }
        }
    }
    return true;
}

// Every catalogued form lies within its class's maximum, and its class is one receivers send.
// (By index, not pointer: comparing an address with null is no constant expression under the
// sanitizers.)
constexpr std::size_t class_index(uint8_t cls) {
    for (std::size_t i = 0; i < std::size(kClasses); ++i) {
        if (kClasses[i].cls == cls) return i;
    }
    return std::size(kClasses);
}
constexpr bool classes_cover_catalogue() {
    for (std::size_t i = 1; i < std::size(kClasses); ++i) {
        if (kClasses[i - 1].cls >= kClasses[i].cls) return false;
    }
    for (const auto& m : kCatalogue) {
        const std::size_t c = class_index(m.cls());
        if (c == std::size(kClasses) || m.max_len > kClasses[c].max_len) return false;
    }
    return true;
}

// The class maxima by class byte; 0 for a class no receiver sends.
constexpr std::array<uint16_t, 256> class_maxima() {
    std::array<uint16_t, 256> t{};
    for (const auto& c : kClasses)
        t[c.cls] = c.max_len;
    return t;
}
inline constexpr std::array<uint16_t, 256> kClassMax = class_maxima();

static_assert(keys_sorted(), "catalogue rows must be sorted by class/id for binary search");
static_assert(forms_disjoint(), "forms of one message must be told apart by length or match");
static_assert(fields_fit(), "a field lies outside its message or has an impossible type");
static_assert(names_unique(), "field names must be unique within a message form");
static_assert(classes_cover_catalogue(),
              "a catalogued message of a class receivers do not send, or beyond its maximum");

}  // namespace tables

inline constexpr std::span<const MessageDef> catalogue{tables::kCatalogue};

inline constexpr std::span<const ClassDef> classes{tables::kClasses};

// The longest payload a message of class `cls` can have; 0 when no receiver sends the class.
constexpr std::size_t class_max_len(uint8_t cls) noexcept {
    return tables::kClassMax[cls];
}

// All forms of a message, in table order; empty when the catalogue does not know it.
std::span<const MessageDef> forms_of(uint8_t cls, uint8_t id) noexcept;
// The first form whose length rule admits `payload_len`, or nullptr. Where forms share a
// length and differ in a discriminating byte, only the overload with the payload can tell.
const MessageDef* find_form(uint8_t cls, uint8_t id, std::size_t payload_len) noexcept;
const MessageDef* find_form(uint8_t cls, uint8_t id, std::span<const uint8_t> payload) noexcept;
// First form of the message named `name` ("NAV-PVT"), or nullptr.
const MessageDef* find_by_name(std::string_view name) noexcept;

}  // namespace ubx
