// The simulator's own message rows and field access (see messages.hpp).
#include "messages.hpp"

#include <iterator>

#include "ubx/build.hpp"
#include "ubx/frame.hpp"

namespace zqsim {
namespace {

using T = ubx::Type;

// CFG-PRT, one port: the UART layout. On USB, mode and baudRate are reserved and read as 0.
constexpr ubx::Field kCfgPrtPort[] = {
    {"portID", T::U1, 0},        {"reserved1", T::U1, 1}, {"txReady", T::X2, 2},
    {"mode", T::X4, 4},          {"baudRate", T::U4, 8},  {"inProtoMask", T::X2, 12},
    {"outProtoMask", T::X2, 14}, {"flags", T::X2, 16},    {"reserved2", T::U1, 18, 2},
};
constexpr ubx::Field kCfgPrtPoll[] = {{"portID", T::U1, 0}};
constexpr ubx::Field kCfgRst[] = {
    {"navBbrMask", T::X2, 0}, {"resetMode", T::U1, 2}, {"reserved1", T::U1, 3}};
constexpr ubx::Field kCfgNav5[] = {
    {"mask", T::X2, 0},
    {"dynModel", T::U1, 2},
    {"fixMode", T::U1, 3},
    {"fixedAlt", T::I4, 4},
    {"fixedAltVar", T::U4, 8},
    {"minElev", T::I1, 12},
    {"drLimit", T::U1, 13},
    {"pDop", T::U2, 14},
    {"tDop", T::U2, 16},
    {"pAcc", T::U2, 18},
    {"tAcc", T::U2, 20},
    {"staticHoldThresh", T::U1, 22},
    {"dgnssTimeout", T::U1, 23},
    {"cnoThreshNumSVs", T::U1, 24},
    {"cnoThresh", T::U1, 25},
    {"reserved1", T::U1, 26, 2},
    {"staticHoldMaxDist", T::U2, 28},
    {"utcStandard", T::U1, 30},
    {"reserved2", T::U1, 31, 5},
};
// The four bytes in front of the key list; the list itself is read with the codec's key
// parsers.
constexpr ubx::Field kValsetHeader[] = {{"version", T::U1, 0},
                                        {"layers", T::X1, 1},
                                        {"transaction", T::X1, 2},
                                        {"reserved0", T::U1, 3}};
constexpr ubx::Field kValgetHeader[] = {
    {"version", T::U1, 0}, {"layer", T::U1, 1}, {"position", T::U2, 2}};

constexpr uint8_t kAll = ubx::kModeGet | ubx::kModeSet | ubx::kModePoll;

constexpr ubx::MessageDef kRows[] = {
    {0x0600, "CFG-PRT", 20, 20, kCfgPrtPort, kAll},
    {0x0600, "CFG-PRT", 1, 1, kCfgPrtPoll, ubx::kModePoll},
    {0x0604, "CFG-RST", 4, 4, kCfgRst, ubx::kModeSet},
    {0x0624, "CFG-NAV5", 36, 36, kCfgNav5, kAll},
    {0x068A, "CFG-VALSET", 4, 4, kValsetHeader, ubx::kModeSet},
    {0x068B, "CFG-VALGET", 4, 4, kValgetHeader, kAll},
    {0x068C, "CFG-VALDEL", 4, 4, kValsetHeader, ubx::kModeSet},
};

}  // namespace

const ubx::MessageDef* local_form(uint8_t cls, uint8_t id, size_t len) noexcept {
    const uint16_t key = static_cast<uint16_t>(cls << 8 | id);
    for (const auto& m : kRows)
        if (m.key == key && m.fits(len)) return &m;
    return nullptr;
}

std::optional<Fields> Fields::of(uint8_t cls, uint8_t id, std::span<const uint8_t> payload) {
    const ubx::MessageDef* codec = ubx::find_form(cls, id, payload.size());
    const ubx::MessageDef* local = local_form(cls, id, payload.size());
    if (!codec && !local) return std::nullopt;
    return Fields(ubx::Message(cls, id, codec, payload), ubx::Message(cls, id, local, payload));
}

std::optional<ubx::Value> Fields::find(std::string_view name) const {
    if (auto v = codec_.get(name)) return v;
    return local_.get(name);
}

int64_t Fields::operator[](std::string_view name) const {
    return find(name).value_or(ubx::Value()).i;
}

bool Fields::has(std::string_view name) const {
    return find(name).has_value();
}

std::vector<uint8_t> build_local(uint8_t cls, uint8_t id, size_t len,
                                 std::span<const ubx::NamedValue> fields) {
    return ubx::build_payload(*local_form(cls, id, len), fields);
}

std::string message_name(uint8_t cls, uint8_t id) {
    if (!ubx::forms_of(cls, id).empty()) return ubx::identity(cls, id);
    const uint16_t key = static_cast<uint16_t>(cls << 8 | id);
    for (const auto& m : kRows)
        if (m.key == key) return std::string(m.name);
    return ubx::identity(cls, id);
}

void append_frame(std::vector<uint8_t>& out, uint8_t cls, uint8_t id,
                  std::span<const uint8_t> payload) {
    const auto f = ubx::make_frame(cls, id, payload);
    out.insert(out.end(), f.begin(), f.end());
}

}  // namespace zqsim
