#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "solution.hpp"

namespace zqsim {
namespace {

constexpr double kEarthRadius = 6371008.8;
constexpr double kPi = 3.14159265358979323846;
constexpr double kDeg = kPi / 180.0;
constexpr int64_t kGpsEpochUnix = 315964800;  // 1980-01-06T00:00:00Z
constexpr int kLeapSeconds = 18;

struct SatSeed {
    char system;
    int prn, elev, azim;
};
// A sky that changes slowly over the run so GSV, GSA and numSV move together.
constexpr SatSeed kSky[] = {
    {'P', 2, 62, 40},   {'P', 5, 18, 284},  {'P', 7, 33, 94},   {'P', 8, 12, 141},
    {'P', 9, 40, 29},   {'P', 13, 39, 226}, {'P', 15, 5, 220},  {'P', 17, 32, 8},
    {'P', 19, 15, 357}, {'P', 28, 77, 211}, {'P', 30, 63, 135}, {'P', 21, 8, 320},
    {'L', 65, 34, 323}, {'L', 71, 43, 255}, {'L', 72, 12, 209}, {'L', 73, 47, 217},
    {'L', 80, 41, 141}, {'L', 81, 10, 153},
};

}  // namespace

int Solution::num_sv() const {
    int n = 0;
    for (const auto& s : sats)
        n += s.used ? 1 : 0;
    return n;
}

Trajectory::Trajectory(double lat, double lon, double speed, double heading, double acquire_seconds)
    : lat_(lat), lon_(lon), speed0_(speed), heading_(heading), acquire_s_(acquire_seconds) {}

Solution Trajectory::advance(int64_t unix_ms) {
    if (start_ms_ < 0) start_ms_ = last_ms_ = unix_ms;
    const double t = (unix_ms - start_ms_) / 1000.0;
    const double dt = (unix_ms - last_ms_) / 1000.0;
    last_ms_ = unix_ms;

    // A drive with gentle bends and speed changes: turn rate and speed vary smoothly.
    const double speed = speed0_ > 0 ? speed0_ * (1.0 + 0.15 * std::sin(t / 23.0)) : 0.0;
    if (speed > 0) heading_ += dt * 4.0 * std::sin(t / 37.0);
    heading_ = std::fmod(std::fmod(heading_, 360.0) + 360.0, 360.0);
    lat_ += speed * dt * std::cos(heading_ * kDeg) / kEarthRadius / kDeg;
    lon_ += speed * dt * std::sin(heading_ * kDeg) / (kEarthRadius * std::cos(lat_ * kDeg)) / kDeg;
    if (lon_ > 180) lon_ -= 360;
    if (lon_ < -180) lon_ += 360;
    lat_ = std::clamp(lat_, -89.9, 89.9);

    Solution s;
    s.unix_ms = unix_ms;
    const int64_t secs = unix_ms / 1000;
    s.millis = static_cast<int>(unix_ms % 1000);
    const time_t tt = static_cast<time_t>(secs);
    tm utc{};
    gmtime_r(&tt, &utc);
    s.year = utc.tm_year + 1900;
    s.month = utc.tm_mon + 1;
    s.day = utc.tm_mday;
    s.hour = utc.tm_hour;
    s.min = utc.tm_min;
    s.sec = utc.tm_sec;
    const int64_t gps_ms = (secs - kGpsEpochUnix + kLeapSeconds) * 1000 + s.millis;
    s.itow = static_cast<uint32_t>(gps_ms % (604800LL * 1000));

    const bool acquiring = t < acquire_s_;
    for (const auto& seed : kSky) {
        Satellite sat{seed.system, seed.prn, 0, 0, 0, false};
        const double phase = seed.prn * 0.7;
        sat.elev = std::clamp(
            static_cast<int>(std::lround(seed.elev + 8 * std::sin(t / 300 + phase))), 0, 90);
        sat.azim = static_cast<int>(std::lround(seed.azim + t / 120.0)) % 360;
        sat.cno = acquiring ? 0 : 18 + sat.elev / 3 + static_cast<int>(3 * std::sin(t / 7 + phase));
        sat.used = !acquiring && sat.elev >= 15;
        s.sats.push_back(sat);
    }
    const int nsv = s.num_sv();
    s.fix_type = acquiring ? 0 : 3;
    s.fix_ok = !acquiring;
    if (!acquiring) {
        s.lat = lat_;
        s.lon = lon_;
        s.hmsl = 48.0 + 2.0 * std::sin(t / 60.0);
        s.geoid_sep = 47.3;
        s.speed = speed;
        s.heading = heading_;
        s.vel_down = -2.0 * std::cos(t / 60.0) / 60.0;
        s.pdop = 0.8 + 8.0 / std::max(nsv, 4);
        s.hdop = s.pdop * 0.55;
        s.vdop = s.pdop * 0.83;
        s.h_acc = 0.9 + 0.3 * s.hdop;
        s.v_acc = 1.4 + 0.5 * s.vdop;
        s.s_acc = 0.12;
        s.head_acc = speed > 0.5 ? 0.4 + 2.0 / speed : 180.0;
    }
    return s;
}

namespace {

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
    put(b, 11, 0x07, 1);  // validDate, validTime, fullyResolved
    put(b, 12, 25, 4);
    put(b, 16, static_cast<uint32_t>(s.millis * 1000000), 4);
    put(b, 20, s.fix_type, 1);
    put(b, 21, (s.fix_ok ? 1 : 0) | (s.psm_state << 2), 1);
    put(b, 22, short_form ? 0 : 0xE0, 1);
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
    if (!short_form) put(b, 84, static_cast<uint32_t>(e(s.heading, 1e5)), 4);
    return b;
}

std::string nmea_sentence(const std::string& body) {
    unsigned ck = 0;
    for (unsigned char c : body)
        ck ^= c;
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", ck);
    return "$" + body + tail;
}

namespace {

std::string fmt(const char* f, auto... args) {
    char buf[160];
    int n = std::snprintf(buf, sizeof buf, f, args...);
    return std::string(buf,
                       static_cast<size_t>(std::clamp(n, 0, static_cast<int>(sizeof buf) - 1)));
}

// ddmm.mmmmm,N / dddmm.mmmmm,E; empty fields without a fix.
std::string latlon(const Solution& s) {
    if (!s.fix_ok) return ",,,";
    auto part = [](double v, int deg_digits, char pos, char neg) {
        const double a = std::fabs(v);
        int deg = static_cast<int>(a);
        double minutes = (a - deg) * 60.0;
        if (std::lround(minutes * 1e5) >= 6000000) {
            ++deg;
            minutes = 0;
        }
        return fmt("%0*d%08.5f,%c", deg_digits, deg, minutes, v < 0 ? neg : pos);
    };
    return part(s.lat, 2, 'N', 'S') + "," + part(s.lon, 3, 'E', 'W');
}

}  // namespace

std::string nmea_burst(const Solution& s, const bool on[6]) {
    const std::string hms = fmt("%02d%02d%02d.%02d", s.hour, s.min, s.sec, s.millis / 10);
    const std::string date = fmt("%02d%02d%02d", s.day, s.month, s.year % 100);
    const double knots = s.speed * 3600.0 / 1852.0;
    const char mode = s.fix_ok ? 'A' : 'N';
    std::string out;
    if (on[4]) {
        out += nmea_sentence("GNRMC," + hms + (s.fix_ok ? ",A," : ",V,") + latlon(s) + "," +
                             (s.fix_ok ? fmt("%.3f,%.2f", knots, s.heading) : ",") + "," + date +
                             ",,," + mode);
    }
    if (on[5]) {
        out += nmea_sentence(s.fix_ok ? fmt("GNVTG,%.2f,T,,M,%.3f,N,%.3f,K,%c", s.heading, knots,
                                            s.speed * 3.6, mode)
                                      : std::string("GNVTG,,,,,,,,,N"));
    }
    const int nsv = s.num_sv();
    if (on[0]) {
        out += nmea_sentence(
            "GNGGA," + hms + "," + latlon(s) + "," +
            (s.fix_ok ? fmt("1,%02d,%.2f,%.1f,M,%.1f,M,,", nsv, s.hdop, s.hmsl, s.geoid_sep)
                      : fmt("0,%02d,99.99,,,,,,", nsv)));
    }
    if (on[2]) {
        for (char sys : {'P', 'L'}) {
            std::string body = fmt("GNGSA,A,%d", s.fix_ok ? 3 : 1);
            int listed = 0;
            for (const auto& sat : s.sats) {
                if (sat.system == sys && sat.used && listed < 12) {
                    body += fmt(",%02d", sat.prn);
                    ++listed;
                }
            }
            for (; listed < 12; ++listed)
                body += ",";
            body += s.fix_ok ? fmt(",%.2f,%.2f,%.2f", s.pdop, s.hdop, s.vdop)
                             : std::string(",99.99,99.99,99.99");
            out += nmea_sentence(body);
        }
    }
    if (on[3]) {
        for (char sys : {'P', 'L'}) {
            std::vector<const Satellite*> list;
            for (const auto& sat : s.sats)
                if (sat.system == sys) list.push_back(&sat);
            const int total = static_cast<int>(list.size());
            const int pages = (total + 3) / 4;
            for (int p = 0; p < pages; ++p) {
                std::string body = fmt("G%cGSV,%d,%d,%02d", sys, pages, p + 1, total);
                for (int i = p * 4; i < std::min(total, p * 4 + 4); ++i) {
                    const Satellite& sat = *list[i];
                    body += fmt(",%02d,%02d,%03d,", sat.prn, sat.elev, sat.azim);
                    if (sat.cno > 0) body += fmt("%02d", sat.cno);
                }
                out += nmea_sentence(body);
            }
        }
    }
    if (on[1]) {
        out += nmea_sentence("GNGLL," + latlon(s) + "," + hms + (s.fix_ok ? ",A," : ",V,") + mode);
    }
    return out;
}

}  // namespace zqsim
