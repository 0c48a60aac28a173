// The message builder: class, id, mode and named field values to payload and frame.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>
#include <vector>

#include "ubx/catalogue.hpp"
#include "ubx/message.hpp"

namespace ubx {

struct NamedValue {
    std::string_view name;
    Value value;
};

// Picks the first form of the message (table order) that admits `mode` and holds every named
// field, fills the fields named, and leaves the rest 0 except documented fixed values (CFG-RXM
// reserved1 = 8). Repeated fields ("cno_03") set the number of blocks. POLL without fields, or
// a class/id the catalogue does not know, gives an empty payload; the pseudo-field "payload"
// (bytes, alone) supplies the payload verbatim. Throws ubx::Error naming field and message.
std::vector<uint8_t> build_payload(uint8_t cls, uint8_t id, Mode mode,
                                   std::span<const NamedValue> fields);
std::vector<uint8_t> build_frame(uint8_t cls, uint8_t id, Mode mode,
                                 std::span<const NamedValue> fields);
// Builds into one given form (e.g. the 84-byte NAV-PVT, which the form choice above never
// picks over the 92-byte one), whatever its modes.
std::vector<uint8_t> build_payload(const MessageDef& form, std::span<const NamedValue> fields);

inline std::vector<uint8_t> build_payload(uint8_t cls, uint8_t id, Mode mode,
                                          std::initializer_list<NamedValue> fields) {
    return build_payload(cls, id, mode, std::span(fields.begin(), fields.size()));
}
inline std::vector<uint8_t> build_frame(uint8_t cls, uint8_t id, Mode mode,
                                        std::initializer_list<NamedValue> fields) {
    return build_frame(cls, id, mode, std::span(fields.begin(), fields.size()));
}

}  // namespace ubx
