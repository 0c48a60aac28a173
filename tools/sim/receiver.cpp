// The receiver's command dispatch and the output its configuration asks for (see receiver.hpp).
#include "receiver.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "legacy.hpp"
#include "messages.hpp"
#include "settings.hpp"
#include "ubx/build.hpp"

namespace zqsim {
namespace {

Factory factory(const ReceiverSetup& s, int port) {
    Factory f;
    f.rate_hz = s.rate_hz;
    // A receiver of a given generation comes as it leaves the factory: NMEA only.
    f.pvt = s.generation == 0 && !s.fresh;
    f.nmea = s.nmea;
    f.port = port;
    f.baud = s.uart_baud ? s.uart_baud : s.generation == 9 ? 38400 : 9600;
    // Once a second at the starting rate.
    const int per_second = std::max(1, static_cast<int>(std::lround(s.rate_hz)));
    f.sky_every = s.sky ? per_second : 0;
    f.timels_every = s.utc ? per_second : 0;
    f.rtcm3_in = zqsim::generation(s.generation, s.pvt84).rtcm3();
    return f;
}

}  // namespace

Receiver::Receiver(const ReceiverSetup& s)
    : gen_(zqsim::generation(s.generation, s.pvt84)),
      port_(s.uart_baud ? kPortUart1 : kPortUsb),
      flash_(s.flash),
      store_(factory_defaults(factory(s, port_))) {}

Output Receiver::output() const {
    Output o;
    o.period_ms = static_cast<int64_t>(store_.get(key::kRateMeas) * store_.get(key::kRateNav));
    const ProtoKeys* pk = proto_keys(port_);
    o.ubx_in = store_.get(pk->in_ubx) != 0;
    o.ubx_out = store_.get(pk->out_ubx) != 0;
    const bool nmea_out = store_.get(pk->out_nmea) != 0;
    o.pvt_rate = o.ubx_out ? static_cast<uint8_t>(store_.get(msgout_key(0x01, 0x07, port_))) : 0;
    for (int i = 0; i < 6; ++i)
        o.nmea_rate[i] = nmea_out ? static_cast<uint8_t>(store_.get(nmea_key(i, port_))) : 0;
    const auto rate = [&](uint8_t cls, uint8_t id) -> uint8_t {
        const uint32_t k = msgout_key(gen_, cls, id, port_);
        return o.ubx_out && k ? static_cast<uint8_t>(store_.get(k)) : 0;
    };
    o.sat_rate = rate(0x01, 0x35);
    if (!gen_.nav_sat()) o.sat_rate = rate(0x01, 0x30);
    o.dop_rate = rate(0x01, 0x04);
    o.timels_rate = rate(0x01, 0x26);
    o.rxm_rtcm = rate(0x02, 0x32) != 0;
    o.rtcm3_in = gen_.rtcm3() && store_.get(pk->in_rtcm3) != 0;
    o.psm_state = store_.get(key::kOperateMode) != 0 ? 1 : 0;
    o.baud = port_ == kPortUart1 ? static_cast<uint32_t>(store_.get(key::kUart1Baud)) : 0;
    o.gnss = gnss_;
    return o;
}

void Receiver::power_cycle() {
    store_.reload();
    keys_.forget();
    gnss_ = true;
}

void Receiver::set_rate(double hz) {
    store_.set(key::kRateMeas, static_cast<uint64_t>(std::lround(1000.0 / hz)), Layer::Ram);
    store_.set(key::kRateNav, 1, Layer::Ram);
}

void Receiver::set_pvt(bool on) {
    store_.set(msgout_key(0x01, 0x07, port_), on ? 1 : 0, Layer::Ram);
}

void Receiver::set_nmea(bool on) {
    for (int i = 0; i < 6; ++i)
        store_.set(nmea_key(i, port_), on ? 1 : 0, Layer::Ram);
}

bool Receiver::dispatch(CommandContext& c, const ubx::Frame& f, bool* answer_ack) {
    *answer_ack = false;
    if (f.cls == kClsMon && f.id == kMonVer) {
        if (f.payload.empty()) {
            append_frame(c.answer, kClsMon, kMonVer, gen_.mon_ver());
            c.event = "MON-VER poll";
        }
        return true;
    }
    if (f.cls != kClsCfg) return false;  // a real receiver ignores what it does not know
    *answer_ack = true;
    const auto refused = [&](const char* why) {
        c.event = ubx::identity(f.cls, f.id) + " refused: " + why;
        return false;
    };
    switch (f.id) {
        case kCfgRst:
            *answer_ack = false;
            if (cfg_rst(c, f)) keys_.forget();
            return true;
        case kCfgCfg:
            return cfg_cfg(c, f);
        case kCfgValset:
        case kCfgValget:
        case kCfgValdel:
            if (!gen_.key_config) return refused("this generation has no configuration by key");
            if (f.id == kCfgValset) return keys_.valset(c, f);
            if (f.id == kCfgValget) return keys_.valget(c, f);
            return keys_.valdel(c, f);
        case kCfgPrt:
        case kCfgMsg:
        case kCfgRate:
        case kCfgRxm:
        case kCfgNav5:
            if (!gen_.legacy_config) return refused("legacy configuration message");
            if (f.id == kCfgPrt) return cfg_prt(c, f);
            if (f.id == kCfgMsg) return cfg_msg(c, f);
            if (f.id == kCfgRate) return cfg_rate(c, f);
            if (f.id == kCfgRxm) return cfg_rxm(c, f);
            return cfg_nav5(c, f);
        default:
            return false;
    }
}

Reply Receiver::handle(const ubx::Frame& f) {
    Reply r;
    char buf[96];
    std::snprintf(buf, sizeof buf, "command %02X %02X len %zu", f.cls, f.id, f.payload.size());
    event_ = buf;
    const Output before = output();
    if (!before.ubx_in) {
        event_ += ": ignored, UBX input is off on this port";
        return r;
    }
    CommandContext c{store_, gen_, port_, flash_, {}, event_, {}};
    bool ack = false;
    const bool ok = dispatch(c, f, &ack);
    event_ = std::move(c.event);
    r.bytes = std::move(c.answer);
    if (ack) {
        append_frame(r.bytes, kClsAck, ok ? 0x01 : 0x00,
                     ubx::build_payload(kClsAck, ok ? 0x01 : 0x00, ubx::Mode::Get,
                                        {{"clsID", f.cls}, {"msgID", f.id}}));
        if (!ok) event_ += " -> NAK";
    }
    if (c.gnss) gnss_ = *c.gnss;
    const Output after = output();
    if (!after.ubx_out && !r.bytes.empty()) {
        r.bytes.clear();
        event_ += " (not answered: UBX output is off on this port)";
    }
    r.timing_changed = before.period_ms != after.period_ms || before.gnss != after.gnss;
    r.baud_changed = before.baud != after.baud;
    return r;
}

}  // namespace zqsim
