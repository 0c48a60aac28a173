// Payloads by byte offset (see epoch_messages.hpp).
#include "epoch_messages.hpp"

#include <algorithm>
#include <cmath>
#include <ctime>

namespace zqsim {
namespace {

constexpr int64_t kGpsEpochUnix = 315964800;  // 1980-01-06T00:00:00Z
constexpr int kLeapSeconds = 18;
constexpr int64_t kLastLeapUnix = 1483228800;  // 2017-01-01T00:00:00Z, after 2016-12-31T23:59:60

void put(std::vector<uint8_t>& b, size_t off, uint64_t v, int size) {
    for (int i = 0; i < size; ++i)
        b[off + i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t dop(double v) {
    return static_cast<uint32_t>(std::clamp<long long>(std::llround(v * 100), 0, 9999));
}

// The flags of a satellite in NAV-SAT: quality, used, health, corrections, orbit.
uint32_t sat_flags(const Solution& s, const Satellite& sat) {
    if (sat.cno == 0) return 1;     // searching
    uint32_t f = sat.used ? 7 : 4;  // code and carrier locked / code locked
    if (sat.used) f |= 1u << 3;     // svUsed
    f |= 1u << 4;                   // healthy
    f |= (1u << 8) | (1u << 11);    // orbit from the ephemeris, ephemeris available
    if (sat.used && s.diff_soln) {
        f |= 1u << 6;                    // diffCorr
        f |= (1u << 17) | (1u << 20);    // rtcmCorrUsed, prCorrUsed
        if (s.carr_soln) f |= 1u << 21;  // crCorrUsed
    }
    return f;
}

}  // namespace

std::vector<uint8_t> nav_sat_payload(const Solution& s) {
    const size_t n = std::min<size_t>(s.sats.size(), 255);
    std::vector<uint8_t> b(8 + 12 * n, 0);
    put(b, 0, s.itow, 4);
    put(b, 4, 1, 1);
    put(b, 5, n, 1);
    for (size_t i = 0; i < n; ++i) {
        const Satellite& sat = s.sats[i];
        const size_t at = 8 + 12 * i;
        put(b, at, static_cast<uint32_t>(sat.gnss_id), 1);
        put(b, at + 1, static_cast<uint32_t>(sat.sv_id), 1);
        put(b, at + 2, static_cast<uint32_t>(sat.cno), 1);
        put(b, at + 3, static_cast<uint32_t>(sat.elev), 1);
        put(b, at + 4, static_cast<uint32_t>(sat.azim), 2);
        put(b, at + 6, static_cast<uint32_t>(sat.pr_res), 2);
        put(b, at + 8, sat_flags(s, sat), 4);
    }
    return b;
}

std::vector<uint8_t> nav_svinfo_payload(const Solution& s, int chip_gen) {
    const size_t n = std::min<size_t>(s.sats.size(), 255);
    std::vector<uint8_t> b(8 + 12 * n, 0);
    put(b, 0, s.itow, 4);
    put(b, 4, n, 1);
    put(b, 5, static_cast<uint32_t>(chip_gen), 1);
    for (size_t i = 0; i < n; ++i) {
        const Satellite& sat = s.sats[i];
        const size_t at = 8 + 12 * i;
        // Legacy numbering: GPS 1-32, SBAS 120-158, GLONASS 65-96.
        const int svid = sat.gnss_id == 1 ? sat.sv_id : sat.prn;
        uint32_t flags = sat.cno ? (1u << 2) | (1u << 3) : 0;  // orbit available, ephemeris
        if (sat.used) flags |= 1;
        if (sat.used && s.diff_soln) flags |= 1u << 1;
        put(b, at, i, 1);
        put(b, at + 1, static_cast<uint32_t>(svid), 1);
        put(b, at + 2, flags, 1);
        put(b, at + 3, sat.cno == 0 ? 1u : sat.used ? 7u : 4u, 1);
        put(b, at + 4, static_cast<uint32_t>(sat.cno), 1);
        put(b, at + 5, static_cast<uint32_t>(sat.elev), 1);
        put(b, at + 6, static_cast<uint32_t>(sat.azim), 2);
        put(b, at + 8, static_cast<uint32_t>(sat.pr_res * 10), 4);  // cm
    }
    return b;
}

std::vector<uint8_t> nav_dop_payload(const Solution& s) {
    std::vector<uint8_t> b(18, 0);
    put(b, 0, s.itow, 4);
    const double v[] = {s.gdop, s.pdop, s.tdop, s.vdop, s.hdop, s.ndop, s.edop};
    for (int i = 0; i < 7; ++i)
        put(b, 4 + 2 * static_cast<size_t>(i), dop(v[i]), 2);
    return b;
}

std::vector<uint8_t> nav_timels_payload(uint32_t itow, int64_t unix_s, bool leap_announced) {
    std::vector<uint8_t> b(24, 0);
    int64_t event = kLastLeapUnix;
    if (leap_announced) {
        // The first second of next month (UTC), after the inserted 23:59:60.
        const time_t tt = static_cast<time_t>(unix_s);
        tm utc{};
        gmtime_r(&tt, &utc);
        tm next{};
        next.tm_year = utc.tm_mon == 11 ? utc.tm_year + 1 : utc.tm_year;
        next.tm_mon = (utc.tm_mon + 1) % 12;
        next.tm_mday = 1;
        event = static_cast<int64_t>(timegm(&next));
    }
    const int64_t gps_event = event - kGpsEpochUnix + kLeapSeconds + (leap_announced ? 1 : 0);
    put(b, 0, itow, 4);
    put(b, 8, 2, 1);  // current leap seconds from GPS
    put(b, 9, kLeapSeconds, 1);
    put(b, 10, 2, 1);  // the change, from GPS
    put(b, 11, leap_announced ? 1 : 0, 1);
    put(b, 12, static_cast<uint32_t>(static_cast<int32_t>(event - unix_s)), 4);
    put(b, 16, static_cast<uint64_t>(gps_event / 604800), 2);
    put(b, 18, static_cast<uint64_t>(gps_event % 604800 / 86400), 2);
    put(b, 23, 0x03, 1);  // validCurrLs, validTimeToLsEvent
    return b;
}

std::vector<uint8_t> rxm_rtcm_payload(bool crc_failed, int used, int type, int ref_station,
                                      int sub_type) {
    std::vector<uint8_t> b(8, 0);
    put(b, 0, 2, 1);
    put(b, 1, (crc_failed ? 1u : 0u) | (static_cast<uint32_t>(used) << 1), 1);
    put(b, 2, static_cast<uint32_t>(sub_type), 2);
    put(b, 4, static_cast<uint32_t>(ref_station), 2);
    put(b, 6, static_cast<uint32_t>(type), 2);
    return b;
}

}  // namespace zqsim
