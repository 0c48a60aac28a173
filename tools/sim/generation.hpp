// Receiver generations: what each u-blox generation the simulator can stand for says about
// itself (MON-VER) and which configuration interface it accepts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zqsim {

struct Generation {
    // 6..10; 0 is the simulator's classic receiver (no --generation): a u-blox 8 whose
    // strings follow --pvt84 as they always have.
    int number = 0;
    int protver_x100 = 1800;  // protocol version times 100 (18.00 -> 1800)
    std::string sw, hw;
    std::vector<std::string> extensions;
    bool short_pvt = false;     // the 84-byte NAV-PVT of protocol 14
    bool legacy_config = true;  // answers CFG-MSG, CFG-RATE, CFG-RXM, CFG-PRT, CFG-NAV5
    bool key_config = false;    // answers CFG-VALSET, CFG-VALGET, CFG-VALDEL

    // RTCM 3 input (inProtoMask bit 5), and the RXM-RTCM report of each message, came with
    // protocol 15 and 20. Protocol 14 receivers take RTCM 2 at most.
    // NAV-SAT (and NAV-TIMELS) from protocol 15; protocol 14 reports NAV-SVINFO instead.
    bool nav_sat() const { return protver_x100 >= 1500; }
    bool rtcm3() const { return protver_x100 >= 1500; }
    bool rxm_rtcm() const { return protver_x100 >= 2000; }
    // NAV-PVT's flags2 (confirmedAvai, confirmedDate, confirmedTime): the 92-byte form fills it.
    bool confirms_time() const { return !short_pvt; }

    // Highest CFG-NAVSPG-DYNMODEL value the firmware knows (1 is never valid).
    int max_dynmodel() const;
    // MON-VER payload: software, hardware, then the extension strings.
    std::vector<uint8_t> mon_ver() const;
};

// The profile of generation 6..10, or of the classic receiver (number 0), whose NAV-PVT and
// strings are those of u-blox 7 with pvt84 and of u-blox 8 without.
Generation generation(int number, bool pvt84);

}  // namespace zqsim
