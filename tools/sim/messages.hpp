// How the receiver reads the commands it is sent: through the codec's message catalogue, and
// for the configuration messages that catalogue does not hold, through rows of the same shape
// kept here (CFG-PRT, CFG-RST, CFG-NAV5 and the headers of CFG-VALSET / VALGET / VALDEL).
// Where both know a message, a field the catalogue names is read from the catalogue's row.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

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

// The simulator's own row for a message of this length, or nullptr.
const ubx::MessageDef* local_form(uint8_t cls, uint8_t id, size_t len) noexcept;

// A payload read field by field through whichever row knows the field.
class Fields {
  public:
    // nullopt when no row (catalogue or local) has a form of this length.
    static std::optional<Fields> of(uint8_t cls, uint8_t id, std::span<const uint8_t> payload);
    // The integer value of a field; 0 when no row names it.
    int64_t operator[](std::string_view name) const;
    bool has(std::string_view name) const;

  private:
    Fields(ubx::Message codec, ubx::Message local) : codec_(codec), local_(local) {}
    std::optional<ubx::Value> find(std::string_view name) const;
    ubx::Message codec_, local_;
};

// A payload for one of the simulator's own rows, built by the codec's builder.
std::vector<uint8_t> build_local(uint8_t cls, uint8_t id, size_t len,
                                 std::span<const ubx::NamedValue> fields);

// "CFG-VALSET": the catalogue's name, the local row's, or the codec's UNKNOWN-... identity.
std::string message_name(uint8_t cls, uint8_t id);

// A whole frame appended to out.
void append_frame(std::vector<uint8_t>& out, uint8_t cls, uint8_t id,
                  std::span<const uint8_t> payload);

}  // namespace zqsim
