// Receiver time (see utc.hpp).
#include "utc.hpp"

#include <time.h>

namespace zqsim {
namespace {

constexpr int64_t kGpsEpochUnix = 315964800;  // 1980-01-06T00:00:00Z
constexpr int64_t kLeapSeconds = 18;
constexpr int64_t kWeek = 604800;
constexpr int64_t kNs = 1000000000;

int64_t floor_div(int64_t a, int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0);
}

}  // namespace

bool TimeState::command(const std::string& what) {
    if (what == "valid") {
        invalid = unconfirmed = rollover = leap = false;
    } else if (what == "invalid") {
        invalid = true;
    } else if (what == "unconfirmed") {
        unconfirmed = true;
        invalid = false;
    } else if (what == "rollover") {
        rollover = true;
    } else if (what == "leap") {
        leap = true;
    } else {
        return false;
    }
    return true;
}

int64_t receiver_utc_ns(const TimeState& t) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNs + ts.tv_nsec + t.offset_ns;
}

void gps_time(int64_t utc_ns, int* week, uint32_t* itow) {
    const int64_t gps_ms = floor_div(utc_ns, 1000000) + (kLeapSeconds - kGpsEpochUnix) * 1000;
    *week = static_cast<int>(floor_div(gps_ms, kWeek * 1000));
    *itow = static_cast<uint32_t>(gps_ms - static_cast<int64_t>(*week) * kWeek * 1000);
}

void apply_time(Solution& s, const TimeState& t, int64_t utc_ns) {
    if (!t.host && !t.spoiled()) return;
    int64_t unix_s = floor_div(s.unix_ms, 1000);
    if (t.host) {
        unix_s = floor_div(utc_ns, kNs);
        s.nano = static_cast<int32_t>(utc_ns - unix_s * kNs);
        s.millis = s.nano / 1000000;
        s.unix_ms = floor_div(utc_ns, 1000000);
        int week = 0;
        gps_time(utc_ns, &week, &s.itow);
    }
    set_utc_date(s, t.rollover ? unix_s - 1024 * kWeek : unix_s);
    s.valid = t.invalid ? 0 : 0x07;
    s.flags2 = t.invalid || t.unconfirmed ? 0x20 : 0xE0;  // confirmedAvai (+ date and time)
    s.t_acc = t.invalid ? 0xFFFFFFFFu : 25;
}

}  // namespace zqsim
