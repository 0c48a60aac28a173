// NAV-PVT payload, byte by byte from the protocol notes (see nav_pvt.hpp for why it stands alone).
#include "nav_pvt.hpp"

#include <cmath>

namespace zqsim {
namespace {

constexpr double kDeg = 3.14159265358979323846 / 180.0;

void put(std::vector<uint8_t>& b, size_t off, uint64_t v, int size) {
    for (int i = 0; i < size; ++i)
        b[off + i] = static_cast<uint8_t>(v >> (8 * i));
}
int64_t e(double v, double scale) {
    return std::llround(v * scale);
}

}  // namespace

std::vector<uint8_t> nav_pvt_payload(const Solution& s, bool short_form) {
    std::vector<uint8_t> b(short_form ? 84 : 92, 0);
    const double head_rad = s.heading * kDeg;
    put(b, 0, s.itow, 4);
    put(b, 4, s.year, 2);
    put(b, 6, s.month, 1);
    put(b, 7, s.day, 1);
    put(b, 8, s.hour, 1);
    put(b, 9, s.min, 1);
    put(b, 10, s.sec, 1);
    put(b, 11, static_cast<uint32_t>(s.valid), 1);  // validDate, validTime, fullyResolved
    put(b, 12, s.t_acc, 4);
    put(b, 16, static_cast<uint32_t>(s.nano), 4);
    put(b, 20, s.fix_type, 1);
    put(b, 21, (s.fix_ok ? 1 : 0) | (s.diff_soln << 1) | (s.psm_state << 2) | (s.carr_soln << 6),
        1);
    put(b, 22, short_form ? 0 : static_cast<uint32_t>(s.flags2), 1);
    put(b, 23, s.num_sv(), 1);
    put(b, 24, static_cast<uint32_t>(e(s.lon, 1e7)), 4);
    put(b, 28, static_cast<uint32_t>(e(s.lat, 1e7)), 4);
    put(b, 32, static_cast<uint32_t>(e(s.hmsl + s.geoid_sep, 1e3)), 4);
    put(b, 36, static_cast<uint32_t>(e(s.hmsl, 1e3)), 4);
    put(b, 40, static_cast<uint32_t>(e(s.fix_ok ? s.h_acc : 4294967.0, 1e3)), 4);
    put(b, 44, static_cast<uint32_t>(e(s.fix_ok ? s.v_acc : 4294967.0, 1e3)), 4);
    put(b, 48, static_cast<uint32_t>(e(s.speed * std::cos(head_rad), 1e3)), 4);
    put(b, 52, static_cast<uint32_t>(e(s.speed * std::sin(head_rad), 1e3)), 4);
    put(b, 56, static_cast<uint32_t>(e(s.vel_down, 1e3)), 4);
    put(b, 60, static_cast<uint32_t>(e(s.speed, 1e3)), 4);
    put(b, 64, static_cast<uint32_t>(e(s.heading, 1e5)), 4);
    put(b, 68, static_cast<uint32_t>(e(s.fix_ok ? s.s_acc : 20.0, 1e3)), 4);
    put(b, 72, static_cast<uint32_t>(e(s.fix_ok ? s.head_acc : 180.0, 1e5)), 4);
    put(b, 76, static_cast<uint32_t>(e(s.pdop, 100)), 2);
    if (!short_form) {
        put(b, 78, static_cast<uint32_t>(s.corr_age) << 1, 1);  // flags3 lastCorrectionAge
        put(b, 84, static_cast<uint32_t>(e(s.heading, 1e5)), 4);
    }
    return b;
}

}  // namespace zqsim
