#include "receiver.hpp"

#include <cstdio>
#include <cstring>

namespace zqsim {
namespace {

constexpr uint8_t kClsNav = 0x01, kClsAck = 0x05, kClsCfg = 0x06, kClsMon = 0x0A, kClsNmea = 0xF0;
constexpr uint8_t kIdPvt = 0x07;
constexpr uint8_t kCfgMsg = 0x01, kCfgRate = 0x08, kCfgCfg = 0x09, kCfgRxm = 0x11;
constexpr uint8_t kMonVer = 0x04;
constexpr int kUsbPort = 3;  // index of USB in the six-port form of CFG-MSG

void append(std::vector<uint8_t>& out, uint8_t cls, uint8_t id, std::span<const uint8_t> p) {
    auto f = ubx::make_frame(cls, id, p);
    out.insert(out.end(), f.begin(), f.end());
}

uint16_t u2(std::span<const uint8_t> p, size_t off) {
    return static_cast<uint16_t>(p[off] | (p[off + 1] << 8));
}

}  // namespace

std::vector<uint8_t> mon_ver_payload(bool short_pvt) {
    const char* sw = short_pvt ? "1.00 (59842)" : "ROM CORE 3.01 (107888)";
    const char* hw = short_pvt ? "00070000" : "00080000";
    std::vector<const char*> ext = {short_pvt ? "PROTVER 14.00" : "FWVER=SPG 3.01",
                                    short_pvt ? "GPS;GLO" : "PROTVER=18.00", "GPS;GLO;GAL;BDS",
                                    "SBAS;IMES;QZSS", "ZQ-SIM simulated receiver"};
    std::vector<uint8_t> p(40 + 30 * ext.size(), 0);
    std::memcpy(p.data(), sw, std::strlen(sw));
    std::memcpy(p.data() + 30, hw, std::strlen(hw));
    for (size_t i = 0; i < ext.size(); ++i) {
        std::memcpy(p.data() + 40 + 30 * i, ext[i], std::min<size_t>(29, std::strlen(ext[i])));
    }
    return p;
}

std::vector<uint8_t> Receiver::cfg_msg(std::span<const uint8_t> p, bool* ok) {
    std::vector<uint8_t> out;
    const uint8_t cls = p[0], id = p[1];
    uint8_t* slot = nullptr;
    if (cls == kClsNav && id == kIdPvt) slot = &cfg_.pvt_rate;
    if (cls == kClsNmea && id <= 5) slot = &cfg_.nmea_rate[id];
    *ok = slot != nullptr;
    if (!slot) return out;
    if (p.size() == 2) {  // poll: the three-byte answer, current port only
        const uint8_t ans[3] = {cls, id, *slot};
        append(out, kClsCfg, kCfgMsg, ans);
    } else if (p.size() == 3) {
        *slot = p[2];
    } else {
        *slot = p[2 + kUsbPort];
    }
    char buf[96];
    std::snprintf(buf, sizeof buf, "CFG-MSG %02X %02X rate %u", cls, id, *slot);
    event_ = buf;
    return out;
}

std::vector<uint8_t> Receiver::handle(const ubx::Frame& f, bool* rate_changed) {
    std::vector<uint8_t> out;
    const auto p = f.payload;
    char buf[128];
    std::snprintf(buf, sizeof buf, "command %02X %02X len %zu", f.cls, f.id, p.size());
    event_ = buf;
    if (f.cls == kClsMon && f.id == kMonVer && p.empty()) {
        append(out, kClsMon, kMonVer, mon_ver_payload(short_pvt_));
        event_ = "MON-VER poll";
        return out;
    }
    if (f.cls != kClsCfg) return out;  // a real receiver ignores what it does not know

    bool ok = false;
    const int64_t old_period = cfg_.period_ms();
    switch (f.id) {
        case kCfgMsg:
            if (p.size() == 2 || p.size() == 3 || p.size() == 8) out = cfg_msg(p, &ok);
            break;
        case kCfgRate:
            if (p.empty()) {
                uint8_t a[6] = {static_cast<uint8_t>(cfg_.meas_rate_ms),
                                static_cast<uint8_t>(cfg_.meas_rate_ms >> 8),
                                static_cast<uint8_t>(cfg_.nav_rate),
                                static_cast<uint8_t>(cfg_.nav_rate >> 8),
                                static_cast<uint8_t>(cfg_.time_ref),
                                static_cast<uint8_t>(cfg_.time_ref >> 8)};
                append(out, kClsCfg, kCfgRate, a);
                ok = true;
            } else if (p.size() == 6) {
                const uint16_t meas = u2(p, 0), nav = u2(p, 2), ref = u2(p, 4);
                // 25 Hz is the fastest solution rate of the receivers this one stands for.
                ok = meas >= 40 && meas <= 10000 && nav >= 1 && nav <= 127 && ref <= 1;
                if (ok) {
                    cfg_.meas_rate_ms = meas;
                    cfg_.nav_rate = nav;
                    cfg_.time_ref = ref;
                    std::snprintf(buf, sizeof buf, "CFG-RATE measRate %u navRate %u", meas, nav);
                    event_ = buf;
                }
            }
            break;
        case kCfgCfg:
            if (p.size() == 12 || p.size() == 13) {
                const uint32_t clear = p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24;
                const uint32_t save = p[4] | p[5] << 8 | p[6] << 16 | uint32_t{p[7]} << 24;
                const uint32_t load = p[8] | p[9] << 8 | p[10] << 16 | uint32_t{p[11]} << 24;
                if (clear) saved_ = Config{};
                if (save) saved_ = cfg_;
                if (load) cfg_ = saved_;
                ok = true;
                std::snprintf(buf, sizeof buf, "CFG-CFG clear %#x save %#x load %#x", clear, save,
                              load);
                event_ = buf;
            }
            break;
        case kCfgRxm:
            if (p.empty()) {
                const uint8_t a[2] = {8, cfg_.lp_mode};
                append(out, kClsCfg, kCfgRxm, a);
                ok = true;
            } else if (p.size() == 2 && (p[1] == 0 || p[1] == 1 || p[1] == 4)) {
                cfg_.lp_mode = p[1];
                ok = true;
                std::snprintf(buf, sizeof buf, "CFG-RXM lpMode %u", p[1]);
                event_ = buf;
            }
            break;
        default:
            break;
    }
    const uint8_t ack[2] = {f.cls, f.id};
    append(out, kClsAck, ok ? 0x01 : 0x00, ack);
    if (!ok) event_ += " -> NAK";
    *rate_changed = ok && cfg_.period_ms() != old_period;
    return out;
}

}  // namespace zqsim
