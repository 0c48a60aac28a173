// The simulated drive and sky: a vehicle moving with gentle bends and speed changes, and
// satellites whose elevation drifts slowly, so every message of an epoch tells one story.
#include "trajectory.hpp"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <span>

#include "sky.hpp"

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

Trajectory::Trajectory(double lat, double lon, double speed, double heading, double acquire_seconds,
                       std::shared_ptr<const Sky> sky)
    : lat_(lat),
      lon_(lon),
      speed0_(speed),
      heading_(heading),
      acquire_s_(acquire_seconds),
      sky_(std::move(sky)) {}

void set_utc_date(Solution& s, int64_t unix_s) {
    const time_t tt = static_cast<time_t>(unix_s);
    tm utc{};
    gmtime_r(&tt, &utc);
    s.year = utc.tm_year + 1900;
    s.month = utc.tm_mon + 1;
    s.day = utc.tm_mday;
    s.hour = utc.tm_hour;
    s.min = utc.tm_min;
    s.sec = utc.tm_sec;
}

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
    set_utc_date(s, secs);
    s.nano = s.millis * 1000000;
    const int64_t gps_ms = (secs - kGpsEpochUnix + kLeapSeconds) * 1000 + s.millis;
    s.itow = static_cast<uint32_t>(gps_ms % (604800LL * 1000));

    const bool acquiring = t < acquire_s_;
    if (sky_) sky_->fill(s, t, acquiring);
    for (const auto& seed : sky_ ? std::span<const SatSeed>() : std::span<const SatSeed>(kSky)) {
        Satellite sat{seed.system, seed.prn, 0, 0, 0, false};
        sat.gnss_id = seed.system == 'L' ? 6 : 0;
        sat.sv_id = seed.system == 'L' ? seed.prn - 64 : seed.prn;
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
        if (!sky_) {
            s.pdop = 0.8 + 8.0 / std::max(nsv, 4);
            s.hdop = s.pdop * 0.55;
            s.vdop = s.pdop * 0.83;
            // Not sent by the classic receiver unless NAV-DOP is switched on: in proportion.
            s.tdop = s.pdop * 0.52;
            s.gdop = std::hypot(s.pdop, s.tdop);
            s.ndop = s.edop = s.hdop / std::sqrt(2.0);
        }
        s.h_acc = 0.9 + 0.3 * s.hdop;
        s.v_acc = 1.4 + 0.5 * s.vdop;
        s.s_acc = 0.12;
        s.head_acc = speed > 0.5 ? 0.4 + 2.0 / speed : 180.0;
    }
    return s;
}

}  // namespace zqsim
