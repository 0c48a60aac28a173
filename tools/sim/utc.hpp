// The receiver's idea of the time: with --utc host its solutions carry the host's clock
// (CLOCK_REALTIME when the epoch is sent) plus --utc-offset, and the control commands `time
// valid|invalid|unconfirmed|rollover|leap` spoil or restore what it reports.
#pragma once

#include <cstdint>
#include <string>

#include "trajectory.hpp"

namespace zqsim {

struct TimeState {
    bool host = false;         // --utc host
    int64_t offset_ns = 0;     // --utc-offset
    bool invalid = false;      // validDate, validTime, fullyResolved clear; tAcc unknown
    bool unconfirmed = false;  // valid, but flags2 says neither date nor time is confirmed
    bool rollover = false;     // the date 1024 weeks back, as a receiver with a week-number bug
    bool leap = false;         // an inserted leap second announced for the end of this month

    bool spoiled() const { return invalid || unconfirmed || rollover; }
    // A control command's argument; false for an unknown one.
    bool command(const std::string& what);
};

// The receiver's UTC now, in ns since 1970: the host's clock plus the offset.
int64_t receiver_utc_ns(const TimeState& t);
// Puts the state into the solution: with host, its time fields (iTOW, date, time, nano) from
// utc_ns; then valid, flags2 and tAcc, and the date of a rollover. Leaves the solution as it is
// when nothing was asked for.
void apply_time(Solution& s, const TimeState& t, int64_t utc_ns);
// GPS week and time of week (ms) of a UTC time.
void gps_time(int64_t utc_ns, int* week, uint32_t* itow);

}  // namespace zqsim
