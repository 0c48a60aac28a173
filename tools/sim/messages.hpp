// How the receiver reads and writes the messages it is sent and answers with: every payload is
// laid out by the codec's message catalogue, so the simulator holds no field offsets of its own.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "ubx/build.hpp"
#include "ubx/catalogue.hpp"
#include "ubx/message.hpp"

namespace zqsim {

inline constexpr uint8_t kClsNav = 0x01, kClsAck = 0x05, kClsCfg = 0x06, kClsMon = 0x0A,
                         kClsNmea = 0xF0;
inline constexpr uint8_t kCfgPrt = 0x00, kCfgMsg = 0x01, kCfgRst = 0x04, kCfgRate = 0x08,
                         kCfgCfg = 0x09, kCfgRxm = 0x11, kCfgNav5 = 0x24, kCfgValset = 0x8A,
                         kCfgValget = 0x8B, kCfgValdel = 0x8C;
inline constexpr uint8_t kMonVer = 0x04, kNavPvt = 0x07;

// A payload read field by field through the catalogue's form for it.
class Fields {
  public:
    // The form the codec decodes this payload with (its length and, where forms share a
    // length, its discriminating byte, e.g. CFG-PRT's portID); nullopt when none admits it.
    static std::optional<Fields> of(uint8_t cls, uint8_t id, std::span<const uint8_t> payload);
    // The four-byte header of a CFG-VALSET, VALGET or VALDEL, read whatever version it names,
    // so that a version the receiver does not take is refused by number rather than unread.
    // nullopt for a shorter payload.
    static std::optional<Fields> header(uint8_t cls, uint8_t id, std::span<const uint8_t> payload);
    // The integer value of a field; 0 when the form has no such field.
    int64_t operator[](std::string_view name) const;
    bool has(std::string_view name) const { return msg_.get(name).has_value(); }

  private:
    explicit Fields(ubx::Message m) : msg_(m) {}
    ubx::Message msg_;
};

// A whole frame appended to out.
void append_frame(std::vector<uint8_t>& out, uint8_t cls, uint8_t id,
                  std::span<const uint8_t> payload);

}  // namespace zqsim
