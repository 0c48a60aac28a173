// The simulator's own encoders for the other messages of an epoch and for the RTCM report, laid
// out by byte offset from the protocol notes like NAV-PVT (nav_pvt.hpp), for the same reason:
// what they produce is an oracle for the codec and the hub.
#pragma once

#include <cstdint>
#include <vector>

#include "trajectory.hpp"

namespace zqsim {

// NAV-SAT (01 35), version 1: every satellite of the solution's sky.
std::vector<uint8_t> nav_sat_payload(const Solution& s);
// NAV-SVINFO (01 30), what protocol 14 reports instead; chip_gen 2 u-blox 6, 3 u-blox 7.
std::vector<uint8_t> nav_svinfo_payload(const Solution& s, int chip_gen);
// NAV-DOP (01 04).
std::vector<uint8_t> nav_dop_payload(const Solution& s);

// The leap second as NAV-TIMELS (01 26) tells it at GPS time of week itow and UTC unix_s:
// without an announcement the last event (the end of 2016) and no change; with one, an
// inserted second at the end of the current UTC month.
std::vector<uint8_t> nav_timels_payload(uint32_t itow, int64_t unix_s, bool leap_announced);

// RXM-RTCM (02 32), version 2: one RTCM 3 message's fate. used: 2 used, 1 not used, 0 unknown.
std::vector<uint8_t> rxm_rtcm_payload(bool crc_failed, int used, int type, int ref_station,
                                      int sub_type);

}  // namespace zqsim
