// Helpers shared by the codec's sources: error-message wording. (Little-endian access lives
// in ubx/le.hpp.)
#pragma once

#include <cstdint>
#include <string>

namespace ubx::detail {

// "NAV-PVT (0x01 0x07)" for catalogued messages, "message 0x01 0x20" otherwise.
std::string msg_label(uint8_t cls, uint8_t id);
// "a1 b2"
std::string hex2(uint8_t a, uint8_t b);

}  // namespace ubx::detail
