// Command handling of the simulated receiver (see receiver.hpp).
#include "receiver.hpp"

#include <cstdio>
#include <optional>

#include "ubx/build.hpp"
#include "ubx/catalogue.hpp"
#include "ubx/message.hpp"

namespace zqsim {
namespace {

constexpr uint8_t kClsNav = 0x01, kClsAck = 0x05, kClsCfg = 0x06, kClsMon = 0x0A, kClsNmea = 0xF0;
constexpr uint8_t kIdPvt = 0x07;
constexpr uint8_t kCfgMsg = 0x01, kCfgRate = 0x08, kCfgCfg = 0x09, kCfgRxm = 0x11;
constexpr uint8_t kMonVer = 0x04;

void append(std::vector<uint8_t>& out, const std::vector<uint8_t>& frame) {
    out.insert(out.end(), frame.begin(), frame.end());
}

// The frame decoded by the catalogue form that its length selects; nullopt when no form of the
// message has that length (a poll, with its empty payload, included).
std::optional<ubx::Message> decoded(const ubx::Frame& f) {
    const ubx::MessageDef* form = ubx::find_form(f.cls, f.id, f.payload.size());
    if (!form) return std::nullopt;
    return ubx::Message(f.cls, f.id, form, f.payload);
}

int64_t field(const ubx::Message& m, std::string_view name) {
    return m.get(name).value_or(ubx::Value()).i;
}

}  // namespace

std::vector<uint8_t> mon_ver_payload(bool short_pvt) {
    const char* sw = short_pvt ? "1.00 (59842)" : "ROM CORE 3.01 (107888)";
    const char* hw = short_pvt ? "00070000" : "00080000";
    const char* ext[] = {short_pvt ? "PROTVER 14.00" : "FWVER=SPG 3.01",
                         short_pvt ? "GPS;GLO" : "PROTVER=18.00", "GPS;GLO;GAL;BDS",
                         "SBAS;IMES;QZSS", "ZQ-SIM simulated receiver"};
    std::vector<std::string> names;
    std::vector<ubx::NamedValue> fields = {{"swVersion", ubx::Value::of_text(sw)},
                                           {"hwVersion", ubx::Value::of_text(hw)}};
    for (size_t i = 0; i < std::size(ext); ++i) {
        char name[24];
        std::snprintf(name, sizeof name, "extension_%02zu", i + 1);
        names.emplace_back(name);
    }
    for (size_t i = 0; i < std::size(ext); ++i)
        fields.push_back({names[i], ubx::Value::of_text(ext[i])});
    return ubx::build_payload(kClsMon, kMonVer, ubx::Mode::Get, fields);
}

bool Receiver::cfg_msg(const ubx::Frame& f, std::vector<uint8_t>& out) {
    const auto m = decoded(f);
    if (!m) return false;
    const auto cls = static_cast<uint8_t>(field(*m, "msgClass"));
    const auto id = static_cast<uint8_t>(field(*m, "msgID"));
    uint8_t* slot = nullptr;
    if (cls == kClsNav && id == kIdPvt) slot = &cfg_.pvt_rate;
    if (cls == kClsNmea && id <= 5) slot = &cfg_.nmea_rate[id];
    if (!slot) return false;
    if (m->get("rateUSB")) {
        *slot = static_cast<uint8_t>(field(*m, "rateUSB"));
    } else if (m->get("rate")) {
        *slot = static_cast<uint8_t>(field(*m, "rate"));
    } else {  // a poll: the three-byte answer, for the port it came on
        const ubx::NamedValue a[] = {{"msgClass", cls}, {"msgID", id}, {"rate", *slot}};
        append(out, ubx::make_frame(kClsCfg, kCfgMsg,
                                    ubx::build_payload(*ubx::find_form(kClsCfg, kCfgMsg, 3), a)));
    }
    char buf[96];
    std::snprintf(buf, sizeof buf, "CFG-MSG %02X %02X rate %u", cls, id, *slot);
    event_ = buf;
    return true;
}

bool Receiver::cfg_rate(const ubx::Frame& f, std::vector<uint8_t>& out) {
    if (f.payload.empty()) {
        append(out, ubx::build_frame(kClsCfg, kCfgRate, ubx::Mode::Get,
                                     {{"measRate", cfg_.meas_rate_ms},
                                      {"navRate", cfg_.nav_rate},
                                      {"timeRef", cfg_.time_ref}}));
        return true;
    }
    const auto m = decoded(f);
    if (!m) return false;
    const int64_t meas = field(*m, "measRate"), nav = field(*m, "navRate"),
                  ref = field(*m, "timeRef");
    // 25 Hz is the fastest solution rate of the receivers this one stands for.
    if (meas < 40 || meas > 10000 || nav < 1 || nav > 127 || ref > 1) return false;
    cfg_.meas_rate_ms = static_cast<uint16_t>(meas);
    cfg_.nav_rate = static_cast<uint16_t>(nav);
    cfg_.time_ref = static_cast<uint16_t>(ref);
    char buf[96];
    std::snprintf(buf, sizeof buf, "CFG-RATE measRate %lld navRate %lld",
                  static_cast<long long>(meas), static_cast<long long>(nav));
    event_ = buf;
    return true;
}

bool Receiver::cfg_cfg(const ubx::Frame& f) {
    const auto m = decoded(f);
    if (!m) return false;
    const int64_t clear = field(*m, "clearMask"), save = field(*m, "saveMask"),
                  load = field(*m, "loadMask");
    if (clear) saved_ = Config{};
    if (save) saved_ = cfg_;
    if (load) cfg_ = saved_;
    char buf[96];
    std::snprintf(buf, sizeof buf, "CFG-CFG clear %#llx save %#llx load %#llx",
                  static_cast<unsigned long long>(clear), static_cast<unsigned long long>(save),
                  static_cast<unsigned long long>(load));
    event_ = buf;
    return true;
}

bool Receiver::cfg_rxm(const ubx::Frame& f, std::vector<uint8_t>& out) {
    if (f.payload.empty()) {
        append(out, ubx::build_frame(kClsCfg, kCfgRxm, ubx::Mode::Get, {{"lpMode", cfg_.lp_mode}}));
        return true;
    }
    const auto m = decoded(f);
    if (!m) return false;
    const int64_t lp = field(*m, "lpMode");
    if (lp != 0 && lp != 1 && lp != 4) return false;
    cfg_.lp_mode = static_cast<uint8_t>(lp);
    char buf[64];
    std::snprintf(buf, sizeof buf, "CFG-RXM lpMode %lld", static_cast<long long>(lp));
    event_ = buf;
    return true;
}

std::vector<uint8_t> Receiver::handle(const ubx::Frame& f, bool* rate_changed) {
    std::vector<uint8_t> out;
    char buf[128];
    std::snprintf(buf, sizeof buf, "command %02X %02X len %zu", f.cls, f.id, f.payload.size());
    event_ = buf;
    if (f.cls == kClsMon && f.id == kMonVer && f.payload.empty()) {
        append(out, ubx::make_frame(kClsMon, kMonVer, mon_ver_payload(short_pvt_)));
        event_ = "MON-VER poll";
        return out;
    }
    if (f.cls != kClsCfg) return out;  // a real receiver ignores what it does not know

    const int64_t old_period = cfg_.period_ms();
    bool ok = false;
    switch (f.id) {
        case kCfgMsg:
            ok = cfg_msg(f, out);
            break;
        case kCfgRate:
            ok = cfg_rate(f, out);
            break;
        case kCfgCfg:
            ok = cfg_cfg(f);
            break;
        case kCfgRxm:
            ok = cfg_rxm(f, out);
            break;
        default:
            break;
    }
    append(out, ubx::build_frame(kClsAck, ok ? 0x01 : 0x00, ubx::Mode::Get,
                                 {{"clsID", f.cls}, {"msgID", f.id}}));
    if (!ok) event_ += " -> NAK";
    *rate_changed = ok && cfg_.period_ms() != old_period;
    return out;
}

}  // namespace zqsim
