// Keys, factory values and accepted values (see settings.hpp).
#include "settings.hpp"

#include <cmath>

#include "ubx/keys.hpp"

namespace zqsim {
namespace {

// The I2C key of each message; the other ports follow at +1 (UART1) .. +4 (SPI).
constexpr uint32_t kNavPvtI2c = 0x20910006, kNavSatI2c = 0x20910015, kNavDopI2c = 0x20910038;
// Not in the codec's key table: the receiver knows them all the same.
constexpr uint32_t kNavTimelsI2c = 0x20910060, kRxmRtcmI2c = 0x20910268;
// NMEA msg id order: GGA, GLL, GSA, GSV, RMC, VTG.
constexpr uint32_t kNmeaI2c[6] = {0x209100ba, 0x209100c9, 0x209100bf,
                                  0x209100c4, 0x209100ab, 0x209100b0};

constexpr ProtoKeys kUsb{0x10770001, 0x10770002, 0x10770004, 0x10780001, 0x10780002};
constexpr ProtoKeys kUart1{0x10730001, 0x10730002, 0x10730004, 0x10740001, 0x10740002};

}  // namespace

uint32_t msgout_key(uint8_t cls, uint8_t id, int port) {
    if (port < kPortI2c || port > kPortSpi) return 0;
    const auto p = static_cast<uint32_t>(port);
    if (cls == 0x01 && id == 0x07) return kNavPvtI2c + p;
    if (cls == 0x01 && id == 0x35) return kNavSatI2c + p;
    if (cls == 0x01 && id == 0x04) return kNavDopI2c + p;
    if (cls == 0x01 && id == 0x26) return kNavTimelsI2c + p;
    if (cls == 0x02 && id == 0x32) return kRxmRtcmI2c + p;
    if (cls == 0xF0 && id < 6) return kNmeaI2c[id] + p;
    return 0;
}

uint32_t msgout_key(const Generation& g, uint8_t cls, uint8_t id, int port) {
    if (cls == 0x01 && id == 0x30) return g.nav_sat() ? 0 : msgout_key(0x01, 0x35, port);
    if (cls == 0x01 && (id == 0x35 || id == 0x26) && !g.nav_sat()) return 0;
    if (cls == 0x02 && id == 0x32 && !g.rxm_rtcm()) return 0;
    return msgout_key(cls, id, port);
}

const ProtoKeys* proto_keys(int port) {
    if (port == kPortUsb) return &kUsb;
    if (port == kPortUart1) return &kUart1;
    return nullptr;
}

std::map<uint32_t, uint64_t> factory_defaults(const Factory& f) {
    std::map<uint32_t, uint64_t> d;
    for (const ubx::KeyDef& k : ubx::config_keys()) {
        // Signals, protocols and interference detection are on; rates and modes 0 unless
        // set below.
        const bool on = k.type == ubx::KeyType::L && k.name.find("HW-") == std::string_view::npos;
        d[k.id] = on ? 1 : 0;
    }
    d[key::kRateMeas] = static_cast<uint64_t>(std::lround(1000.0 / f.rate_hz));
    d[key::kRateNav] = 1;
    d[key::kRateTimeref] = 1;  // GPS time
    d[key::kFixMode] = 3;      // auto 2D/3D
    d[key::kUart1Baud] = f.baud;
    for (int port = kPortI2c; port <= kPortSpi; ++port) {
        if (port == kPortUart2) continue;  // no NMEA on the second UART out of the box
        for (int s = 0; s < 6; ++s)
            d[nmea_key(s, port)] = f.nmea ? 1 : 0;
    }
    for (int port = kPortI2c; port <= kPortSpi; ++port) {
        d[msgout_key(0x01, 0x26, port)] = 0;
        d[msgout_key(0x02, 0x32, port)] = 0;
    }
    d[msgout_key(0x01, 0x07, f.port)] = f.pvt ? 1 : 0;
    d[msgout_key(0x01, 0x35, f.port)] = static_cast<uint64_t>(f.sky_every);
    d[msgout_key(0x01, 0x04, f.port)] = static_cast<uint64_t>(f.sky_every);
    d[msgout_key(0x01, 0x26, f.port)] = static_cast<uint64_t>(f.timels_every);
    if (!f.rtcm3_in) {
        for (int port : {kPortUart1, kPortUsb})
            d[proto_keys(port)->in_rtcm3] = 0;
    }
    return d;
}

bool standard_baud(uint64_t baud) {
    for (uint64_t b : {4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600})
        if (baud == b) return true;
    return false;
}

bool valid_value(const Generation& g, uint32_t id, uint64_t raw) {
    const ubx::KeyDef* k = ubx::find_key(id);
    if (k && k->type == ubx::KeyType::L && raw > 1) return false;
    switch (id) {
        case key::kRateMeas:
            // 25 Hz is the fastest solution rate of the receivers this one stands for.
            return raw >= 40 && raw <= 10000;
        case key::kRateNav:
            return raw >= 1 && raw <= 127;
        case key::kRateTimeref:
            return raw <= 4;
        case key::kFixMode:
            return raw >= 1 && raw <= 3;
        case key::kDynModel:
            return raw != 1 && raw <= static_cast<uint64_t>(g.max_dynmodel());
        case key::kOperateMode:
            return raw <= 2;
        case key::kUart1Baud:
            return standard_baud(raw);
        default:
            return true;
    }
}

}  // namespace zqsim
