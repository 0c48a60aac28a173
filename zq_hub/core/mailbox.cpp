// Message names to class/id keys, through the codec's catalogue.
#include "mailbox.hpp"

#include "ubx/catalogue.hpp"

namespace zq::hub {
namespace {

std::optional<uint8_t> hex_byte(std::string_view s) noexcept {
    if (s.size() != 4 || s[0] != '0' || (s[1] != 'x' && s[1] != 'X')) return std::nullopt;
    unsigned v = 0;
    for (char c : s.substr(2)) {
        v <<= 4;
        if (c >= '0' && c <= '9') {
            v |= static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            v |= static_cast<unsigned>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            v |= static_cast<unsigned>(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
    }
    return static_cast<uint8_t>(v);
}

}  // namespace

std::optional<uint16_t> key_of(std::string_view identity) noexcept {
    if (const ubx::MessageDef* m = ubx::find_by_name(identity)) return m->key;
    constexpr std::string_view unknown = "UNKNOWN-";
    if (identity.size() != unknown.size() + 9 || identity.substr(0, unknown.size()) != unknown ||
        identity[unknown.size() + 4] != '-')
        return std::nullopt;
    const auto cls = hex_byte(identity.substr(unknown.size(), 4));
    const auto id = hex_byte(identity.substr(unknown.size() + 5, 4));
    if (!cls || !id) return std::nullopt;
    // A class/id the catalogue knows goes by its name, never by this form.
    if (!ubx::forms_of(*cls, *id).empty()) return std::nullopt;
    return static_cast<uint16_t>(*cls << 8 | *id);
}

}  // namespace zq::hub
