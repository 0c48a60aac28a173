// The simulator's command line: what a run is asked to simulate, as parsed from argv.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace zqsim {

// Every option of the command line; the defaults are those the usage text states.
struct Options {
    std::string link = "/tmp/zq-sim/ttyGPS0";
    std::string control;  // default: link + ".ctl"
    std::string truth = "-";
    double rate = 1, lat = 47.3769, lon = 8.5417, speed = 12.0, heading = 45.0, acquire = 0;
    bool pvt84 = false, fresh = false, nmea = true, nmea_first = false, quiet = false;
    bool paused = false, exit_when_done = false;
    int noise = 0, bad_every = 0, stall_seconds = 3;
    long long epochs = 0;  // 0 = unlimited
    double duration = 0;   // 0 = unlimited
    std::string replay, pace = "recorded";
    long long loops = 1;  // 0 = forever
    unsigned seed = 1;
    std::vector<std::pair<double, std::string>> at;
    int generation = 0;  // 6..10; 0 = not given: the classic receiver
    unsigned uart = 0;   // UART1 at this speed; 0 = USB
    bool flash = true;
    bool sky = false;       // --sky
    double sky_speed = 1;   // --sky-speed
    bool utc_host = false;  // --utc host
    double utc_offset = 0;  // --utc-offset, s
    double rtk_converge = 4, rtk_hold = 5, rtk_timeout = 15;
    std::string rtcm_out;  // --rtcm-out: every CRC-valid RTCM 3 frame taken in, as received
};

// Parses argv; prints usage and exits with status 2 on a bad option or value.
Options parse_options(int argc, char** argv);
// Prints the usage text (to stdout for rc 0, else stderr) and exits with rc.
[[noreturn]] void usage(int rc);

}  // namespace zqsim
