// Legacy configuration messages on top of the key store (see legacy.hpp).
#include "legacy.hpp"

#include <cstdio>
#include <iterator>
#include <vector>

#include "messages.hpp"
#include "settings.hpp"
#include "ubx/build.hpp"

namespace zqsim {
namespace {

constexpr uint16_t kProtoUbx = 1 << 0, kProtoNmea = 1 << 1, kProtoRtcm3 = 1 << 5;
constexpr uint32_t kMode8N1 = 0x000008C0;
// CFG-CFG deviceMask.
constexpr int64_t kDevBbr = 1 << 0, kDevFlash = 1 << 1, kDevEeprom = 1 << 2, kDevSpiFlash = 1 << 4;

void set_ram(CommandContext& c, uint32_t id, uint64_t v) {
    c.store.set(id, v, Layer::Ram);
}

std::string printf_string(const char* fmt, auto... args) {
    char buf[160];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

}  // namespace

bool cfg_msg(CommandContext& c, const ubx::Frame& f) {
    const auto m = Fields::of(f.cls, f.id, f.payload);
    if (!m) return false;
    const auto cls = static_cast<uint8_t>((*m)["msgClass"]);
    const auto id = static_cast<uint8_t>((*m)["msgID"]);
    const uint32_t here = msgout_key(c.gen, cls, id, c.port);
    if (here == 0) return false;
    if (m->has("rateUSB")) {
        static constexpr const char* kRates[] = {"rateDDC", "rateUART1", "rateUART2", "rateUSB",
                                                 "rateSPI"};
        for (int port = kPortI2c; port <= kPortSpi; ++port)
            set_ram(c, msgout_key(c.gen, cls, id, port), static_cast<uint64_t>((*m)[kRates[port]]));
    } else if (m->has("rate")) {
        set_ram(c, here, static_cast<uint64_t>((*m)["rate"]));
    } else {  // a poll: the three-byte answer, for the port it came on
        const ubx::NamedValue a[] = {
            {"msgClass", cls}, {"msgID", id}, {"rate", static_cast<int64_t>(c.store.get(here))}};
        append_frame(c.answer, kClsCfg, kCfgMsg,
                     ubx::build_payload(*ubx::find_form(kClsCfg, kCfgMsg, 3), a));
    }
    c.event = printf_string("CFG-MSG %02X %02X rate %u", cls, id,
                            static_cast<unsigned>(c.store.get(here)));
    return true;
}

bool cfg_rate(CommandContext& c, const ubx::Frame& f) {
    if (f.payload.empty()) {
        append_frame(c.answer, kClsCfg, kCfgRate,
                     ubx::build_payload(
                         kClsCfg, kCfgRate, ubx::Mode::Get,
                         {{"measRate", static_cast<int64_t>(c.store.get(key::kRateMeas))},
                          {"navRate", static_cast<int64_t>(c.store.get(key::kRateNav))},
                          {"timeRef", static_cast<int64_t>(c.store.get(key::kRateTimeref))}}));
        return true;
    }
    const auto m = Fields::of(f.cls, f.id, f.payload);
    if (!m) return false;
    const int64_t meas = (*m)["measRate"], nav = (*m)["navRate"], ref = (*m)["timeRef"];
    if (!valid_value(c.gen, key::kRateMeas, static_cast<uint64_t>(meas)) ||
        !valid_value(c.gen, key::kRateNav, static_cast<uint64_t>(nav)) || ref > 1)
        return false;
    set_ram(c, key::kRateMeas, static_cast<uint64_t>(meas));
    set_ram(c, key::kRateNav, static_cast<uint64_t>(nav));
    set_ram(c, key::kRateTimeref, static_cast<uint64_t>(ref));
    c.event = printf_string("CFG-RATE measRate %lld navRate %lld", static_cast<long long>(meas),
                            static_cast<long long>(nav));
    return true;
}

bool cfg_rxm(CommandContext& c, const ubx::Frame& f) {
    if (f.payload.empty()) {
        const int64_t lp = c.store.get(key::kOperateMode) == 0 ? 0 : 1;
        append_frame(c.answer, kClsCfg, kCfgRxm,
                     ubx::build_payload(kClsCfg, kCfgRxm, ubx::Mode::Get, {{"lpMode", lp}}));
        return true;
    }
    const auto m = Fields::of(f.cls, f.id, f.payload);
    if (!m) return false;
    const int64_t lp = (*m)["lpMode"];
    if (lp != 0 && lp != 1 && lp != 4) return false;
    set_ram(c, key::kOperateMode, lp == 1 ? 1 : 0);
    c.event = printf_string("CFG-RXM lpMode %lld", static_cast<long long>(lp));
    return true;
}

bool cfg_nav5(CommandContext& c, const ubx::Frame& f) {
    if (f.payload.empty()) {
        const ubx::NamedValue a[] = {
            {"mask", 0x05FF},
            {"dynModel", static_cast<int64_t>(c.store.get(key::kDynModel))},
            {"fixMode", static_cast<int64_t>(c.store.get(key::kFixMode))},
            {"fixedAltVar", 10000},
            {"minElev", 5},
            {"pDop", 250},
            {"tDop", 250},
            {"pAcc", 100},
            {"tAcc", 350},
            {"dgnssTimeout", 60},
        };
        append_frame(c.answer, kClsCfg, kCfgNav5,
                     ubx::build_payload(kClsCfg, kCfgNav5, ubx::Mode::Get, a));
        return true;
    }
    const auto m = Fields::of(f.cls, f.id, f.payload);
    if (!m) return false;
    const int64_t mask = (*m)["mask"], dyn = (*m)["dynModel"], fix = (*m)["fixMode"];
    if ((mask & 0x01) && !valid_value(c.gen, key::kDynModel, static_cast<uint64_t>(dyn)))
        return false;
    if ((mask & 0x04) && !valid_value(c.gen, key::kFixMode, static_cast<uint64_t>(fix)))
        return false;
    if (mask & 0x01) set_ram(c, key::kDynModel, static_cast<uint64_t>(dyn));
    if (mask & 0x04) set_ram(c, key::kFixMode, static_cast<uint64_t>(fix));
    c.event = printf_string("CFG-NAV5 mask %#llx dynModel %lld fixMode %lld",
                            static_cast<unsigned long long>(mask), static_cast<long long>(dyn),
                            static_cast<long long>(fix));
    return true;
}

namespace {

uint16_t proto_mask(const CommandContext& c, const ProtoKeys* k, bool in) {
    if (!k) return kProtoUbx | kProtoNmea;  // ports without keys: the factory protocols
    uint16_t m = 0;
    if (c.store.get(in ? k->in_ubx : k->out_ubx)) m |= kProtoUbx;
    if (c.store.get(in ? k->in_nmea : k->out_nmea)) m |= kProtoNmea;
    if (in && c.store.get(k->in_rtcm3)) m |= kProtoRtcm3;
    return m;
}

void prt_answer(CommandContext& c, int port) {
    const ProtoKeys* k = proto_keys(port);
    const bool uart = port == kPortUart1 || port == kPortUart2;
    std::vector<ubx::NamedValue> a = {
        {"portID", port},
        {"inProtoMask", proto_mask(c, k, true)},
        {"outProtoMask", proto_mask(c, k, false)},
    };
    // Only the UART layout has a line mode and speed; the portID picks the catalogue's layout.
    if (uart) {
        const uint64_t baud = port == kPortUart1 ? c.store.get(key::kUart1Baud) : 9600;
        a.push_back({"mode", kMode8N1});
        a.push_back({"baudRate", static_cast<int64_t>(baud)});
    }
    append_frame(c.answer, kClsCfg, kCfgPrt,
                 ubx::build_payload(kClsCfg, kCfgPrt, ubx::Mode::Get, a));
}

}  // namespace

bool cfg_prt(CommandContext& c, const ubx::Frame& f) {
    const auto p = f.payload;
    if (p.empty() || p.size() == 1) {
        const int port = p.empty() ? c.port : p[0];
        if (port > kPortSpi) return false;
        prt_answer(c, port);
        return true;
    }
    if (p.size() % 20 != 0) return false;
    // Every port's block is checked before any is applied. A block for a port the catalogue
    // has no layout for (portID above 4) has no form.
    std::vector<Fields> blocks;
    for (size_t at = 0; at < p.size(); at += 20) {
        const auto m = Fields::of(f.cls, f.id, p.subspan(at, 20));
        if (!m || (*m)["portID"] > kPortSpi) return false;
        if ((*m)["portID"] == kPortUart1 && !standard_baud(static_cast<uint64_t>((*m)["baudRate"])))
            return false;
        blocks.push_back(*m);
    }
    c.event = "CFG-PRT";
    for (const Fields& m : blocks) {
        const int port = static_cast<int>(m["portID"]);
        const ProtoKeys* k = proto_keys(port);
        const int64_t in = m["inProtoMask"], out = m["outProtoMask"];
        if (k) {
            set_ram(c, k->in_ubx, (in & kProtoUbx) ? 1 : 0);
            set_ram(c, k->in_nmea, (in & kProtoNmea) ? 1 : 0);
            // A receiver without RTCM 3 input does not keep the bit.
            set_ram(c, k->in_rtcm3, (in & kProtoRtcm3) && c.gen.rtcm3() ? 1 : 0);
            set_ram(c, k->out_ubx, (out & kProtoUbx) ? 1 : 0);
            set_ram(c, k->out_nmea, (out & kProtoNmea) ? 1 : 0);
        }
        if (port == kPortUart1) set_ram(c, key::kUart1Baud, static_cast<uint64_t>(m["baudRate"]));
        c.event +=
            printf_string(" port %d in %#llx out %#llx", port, static_cast<unsigned long long>(in),
                          static_cast<unsigned long long>(out));
        if (port == kPortUart1)
            c.event += printf_string(" baud %lld", static_cast<long long>(m["baudRate"]));
    }
    return true;
}

bool cfg_cfg(CommandContext& c, const ubx::Frame& f) {
    const auto m = Fields::of(f.cls, f.id, f.payload);
    if (!m) return false;
    const int64_t clear = (*m)["clearMask"], save = (*m)["saveMask"], load = (*m)["loadMask"];
    // Without a device mask (or with an empty one) the receiver uses the memories it has.
    const int64_t devices =
        m->has("deviceMask") && (*m)["deviceMask"] != 0 ? (*m)["deviceMask"] : kDevBbr | kDevFlash;
    const bool bbr = devices & kDevBbr;
    const bool flash = c.has_flash && (devices & (kDevFlash | kDevEeprom | kDevSpiFlash));
    if ((clear || save || load) && !bbr && !flash) return false;  // none of those memories
    // In the receiver's order: clear, then save, then load.
    if (clear) {
        if (bbr) c.store.clear(Layer::Bbr);
        if (flash) c.store.clear(Layer::Flash);
    }
    if (save) {
        if (bbr) c.store.save(Layer::Bbr);
        if (flash) c.store.save(Layer::Flash);
    }
    if (load) c.store.reload(bbr, flash);
    c.event = printf_string(
        "CFG-CFG clear %#llx save %#llx load %#llx", static_cast<unsigned long long>(clear),
        static_cast<unsigned long long>(save), static_cast<unsigned long long>(load));
    if (clear || save || load)
        c.event += std::string(" on") + (bbr ? " BBR" : "") + (flash ? " flash" : "");
    return true;
}

bool cfg_rst(CommandContext& c, const ubx::Frame& f) {
    const auto m = Fields::of(f.cls, f.id, f.payload);
    if (!m) {
        c.event = "CFG-RST of a wrong length: ignored";
        return false;
    }
    const int64_t nav_bbr = (*m)["navBbrMask"], mode = (*m)["resetMode"];
    const char* start = nav_bbr == 0        ? "hot"
                        : nav_bbr == 1      ? "warm"
                        : nav_bbr == 0xFFFF ? "cold"
                                            : "partial";
    bool reloaded = false;
    switch (mode) {
        case 0:  // hardware reset
        case 1:  // controlled software reset
        case 4:  // hardware reset after shutdown
            c.store.reload();
            reloaded = true;
            c.gnss = true;
            break;
        case 2:  // GNSS only: the configuration stays
        case 9:
            c.gnss = true;
            break;
        case 8:
            c.gnss = false;
            break;
        default:
            break;
    }
    c.event = printf_string("CFG-RST %s start (navBbrMask %#llx) resetMode %lld%s", start,
                            static_cast<unsigned long long>(nav_bbr), static_cast<long long>(mode),
                            reloaded ? ": configuration reloaded from the saved layers" : "");
    return reloaded;
}

}  // namespace zqsim
