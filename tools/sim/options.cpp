// Command-line parsing and the usage text.
#include "options.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "settings.hpp"

#ifndef ZQ_VERSION
#define ZQ_VERSION "unknown"
#endif

namespace zqsim {

namespace {

// The name the simulator was called by (argv[0]'s last part), for its usage and errors.
const char* g_prog = "zq-sim";

}  // namespace

[[noreturn]] void usage(int rc) {
    FILE* to = rc ? stderr : stdout;
    std::fprintf(to, "usage: %s [options]\n\n", g_prog);
    std::fputs(
        "A simulated u-blox receiver on a pseudo-terminal: the NAV-PVT and NMEA of a receiver\n"
        "on the move, answers to configuration, ground truth as JSON lines, faults on command.\n"
        "\n"
        "options:\n"
        "  --link PATH            device symlink to publish (default /tmp/zq-sim/ttyGPS0)\n"
        "  --control PATH         control FIFO (default LINK.ctl)\n"
        "  --truth FILE           ground truth JSON lines (default -, stdout)\n"
        "  --rate HZ              solutions per second, 1..25 (default 1)\n"
        "  --lat DEG --lon DEG    start position (default 47.3769 8.5417)\n"
        "  --speed M/S --heading DEG   motion (default 12 45)\n"
        "  --acquire SEC          no fix for the first SEC seconds (default 0)\n"
        "  --generation 6..10     receiver generation: MON-VER, NAV-PVT length and the\n"
        "                         configuration interface it answers; starts in the factory\n"
        "                         state (NMEA only). Without it: a u-blox 8 with NAV-PVT on\n"
        "  --uart BAUD            the receiver sits on UART1 at BAUD instead of USB\n"
        "  --no-flash             a receiver without flash: the flash layer is refused\n"
        "  --pvt84                84-byte NAV-PVT (protocol 14) instead of 92\n"
        "  --sky                  a sky of several constellations (which, by generation) on\n"
        "                         their orbits, and NAV-SAT (NAV-SVINFO on protocol 14) and\n"
        "                         NAV-DOP on out of the box once a second; numSV, the DOPs and\n"
        "                         NMEA follow it. Configuration changes those rates like any\n"
        "                         message's; without --sky they are off until configured\n"
        "  --sky-speed F          the satellites move F times as fast as real ones (default 1)\n"
        "  --utc host             solutions carry the host's clock (CLOCK_REALTIME when sent),\n"
        "                         the epochs on its whole multiples of the period; NAV-TIMELS\n"
        "                         on out of the box once a second (generation 8 and later)\n"
        "  --utc-offset S         with --utc host: S seconds (negative, fractional) added\n"
        "  --rtk-converge S       RTCM 3 input: seconds of steady corrections from DGPS to RTK\n"
        "                         fixed, float from half of it (default 4)\n"
        "  --rtk-hold S           seconds without corrections before fixed falls back to\n"
        "                         float (default 5)\n"
        "  --rtk-timeout S        seconds without corrections before they are no longer used\n"
        "                         (default 15)\n"
        "  --rtcm-out FILE        append every CRC-valid RTCM 3 frame the port takes in (used\n"
        "                         or ignored) to FILE, byte for byte\n"
        "  --fresh                start as a fresh receiver: NMEA only, NAV-PVT off\n"
        "  --no-nmea              no NMEA sentences\n"
        "  --nmea-first           NMEA before NAV-PVT in each burst (default: UBX first)\n"
        "  --noise N              N noise bytes before every burst\n"
        "  --bad-checksum-every K  damage the checksum of every K-th NAV-PVT\n"
        "  --stall-seconds S      length of the stall that SIGUSR2 causes (default 3)\n"
        "  --at T:COMMAND         run a control command T seconds after start (repeatable)\n"
        "  --epochs N --duration S   stop after N epochs / S seconds\n"
        "  --replay FILE          send a recorded stream instead of the synthetic one\n"
        "  --pace recorded|fast|HZ   replay pace (default recorded)\n"
        "  --loop N               replay N times, 0 = forever (default 1)\n"
        "  --exit-when-done       replay: exit once the host has read everything\n"
        "  --paused               send nothing until the control command resume\n"
        "  --seed N               noise generator seed\n"
        "  --quiet                no log on stderr\n"
        "  -h, --help             this help\n"
        "  --version              the project's version\n"
        "\n"
        "control commands (FIFO, --at):\n"
        "  noise N | badck N | stall S | unplug [S] | replug | rate HZ | pvt on|off |\n"
        "  nmea on|off | pause | resume | quit   (\"unplug=2\" = \"unplug 2\")\n"
        "  time valid | time invalid | time unconfirmed | time rollover | time leap\n"
        "    the time NAV-PVT reports: valid (and confirmed; clears the others), invalid\n"
        "    (valid bits clear, tAcc unknown), unconfirmed (flags2 without confirmedDate and\n"
        "    confirmedTime, on the 92-byte NAV-PVT), the date 1024 weeks back, an inserted\n"
        "    leap second announced for the end of the month (NAV-TIMELS)\n"
        "\n"
        "input:\n"
        "  UBX commands, and RTCM 3 frames (CRC-24Q checked) where the port's input protocol\n"
        "  takes them (CFG-PRT inProtoMask bit 5, CFG-USBINPROT-/UART1INPROT-RTCM3X; on out of\n"
        "  the box from generation 8, none on 6 and 7): logged as heard RTCM3 TYPE len N, bad\n"
        "  RTCM3 REASON, or ignored RTCM3 TYPE with the input off. Corrections make the solution\n"
        "  DGPS, then RTK float, then fixed; RXM-RTCM reports each (generation 9 and 10, when\n"
        "  enabled)\n"
        "\n"
        "signals:\n"
        "  SIGUSR1 unplug/replug toggle, SIGUSR2 stall, SIGINT/SIGTERM exit\n",
        to);
    std::exit(rc);
}

namespace {

constexpr const char* kBadBaud =
    "--uart must be 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800 or 921600";

// A whole number in lo..hi, or exit 2 with the message.
int whole(double v, int lo, int hi, const char* message) {
    if (!(v >= lo && v <= hi) || v != std::floor(v)) {
        std::fprintf(stderr, "%s: %s\n", g_prog, message);
        std::exit(2);
    }
    return static_cast<int>(v);
}

}  // namespace

Options parse_options(int argc, char** argv) {
    if (argc > 0 && argv[0] && *argv[0]) {
        const char* slash = std::strrchr(argv[0], '/');
        g_prog = slash && slash[1] ? slash + 1 : argv[0];
    }
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto val = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s: %s needs a value\n", g_prog, a.c_str());
                usage(2);
            }
            return argv[++i];
        };
        auto num = [&]() {
            std::string v = val();
            char* end = nullptr;
            double d = std::strtod(v.c_str(), &end);
            if (v.empty() || *end) {
                std::fprintf(stderr, "%s: %s: not a number: %s\n", g_prog, a.c_str(), v.c_str());
                usage(2);
            }
            return d;
        };
        if (a == "--link")
            o.link = val();
        else if (a == "--control")
            o.control = val();
        else if (a == "--truth")
            o.truth = val();
        else if (a == "--rate")
            o.rate = num();
        else if (a == "--lat")
            o.lat = num();
        else if (a == "--lon")
            o.lon = num();
        else if (a == "--speed")
            o.speed = num();
        else if (a == "--heading")
            o.heading = num();
        else if (a == "--acquire")
            o.acquire = num();
        else if (a == "--pvt84")
            o.pvt84 = true;
        else if (a == "--generation")
            o.generation = whole(num(), 6, 10, "--generation must be 6, 7, 8, 9 or 10");
        else if (a == "--uart")
            o.uart = static_cast<unsigned>(whole(num(), 1, 921600, kBadBaud));
        else if (a == "--no-flash")
            o.flash = false;
        else if (a == "--sky")
            o.sky = true;
        else if (a == "--sky-speed")
            o.sky_speed = num();
        else if (a == "--utc") {
            if (val() != "host") {
                std::fprintf(stderr, "%s: --utc takes host\n", g_prog);
                std::exit(2);
            }
            o.utc_host = true;
        } else if (a == "--utc-offset")
            o.utc_offset = num();
        else if (a == "--rtk-converge")
            o.rtk_converge = num();
        else if (a == "--rtk-hold")
            o.rtk_hold = num();
        else if (a == "--rtk-timeout")
            o.rtk_timeout = num();
        else if (a == "--rtcm-out")
            o.rtcm_out = val();
        else if (a == "--fresh")
            o.fresh = true;
        else if (a == "--no-nmea")
            o.nmea = false;
        else if (a == "--nmea-first")
            o.nmea_first = true;
        else if (a == "--noise")
            o.noise = static_cast<int>(num());
        else if (a == "--bad-checksum-every")
            o.bad_every = static_cast<int>(num());
        else if (a == "--stall-seconds")
            o.stall_seconds = static_cast<int>(num());
        else if (a == "--epochs")
            o.epochs = static_cast<long long>(num());
        else if (a == "--duration")
            o.duration = num();
        else if (a == "--replay")
            o.replay = val();
        else if (a == "--pace")
            o.pace = val();
        else if (a == "--loop")
            o.loops = static_cast<long long>(num());
        else if (a == "--seed")
            o.seed = static_cast<unsigned>(num());
        else if (a == "--quiet")
            o.quiet = true;
        else if (a == "--paused")
            o.paused = true;
        else if (a == "--exit-when-done")
            o.exit_when_done = true;
        else if (a == "--at") {
            std::string v = val();
            size_t c = v.find(':');
            if (c == std::string::npos) usage(2);
            o.at.emplace_back(std::strtod(v.substr(0, c).c_str(), nullptr), v.substr(c + 1));
        } else if (a == "-h" || a == "--help") {
            usage(0);
        } else if (a == "--version") {
            std::printf("%s (zq_gps) %s\n", g_prog, ZQ_VERSION);
            std::exit(0);
        } else {
            std::fprintf(stderr, "%s: unknown option %s\n", g_prog, a.c_str());
            usage(2);
        }
    }
    if (o.rate < 1 || o.rate > 25) {
        std::fprintf(stderr, "%s: --rate must be 1..25\n", g_prog);
        std::exit(2);
    }
    const auto within = [](double v, double lo, double hi) {
        return std::isfinite(v) && v >= lo && v <= hi;
    };
    if (!within(o.sky_speed, 0, 1e6) || !within(o.utc_offset, -1e9, 1e9) ||
        !within(o.rtk_converge, 0, 86400) || !within(o.rtk_hold, 0, 86400) ||
        !within(o.rtk_timeout, 0, 86400)) {
        std::fprintf(stderr,
                     "%s: --sky-speed 0..1e6, --utc-offset within 1e9 s, --rtk-* 0..86400\n",
                     g_prog);
        std::exit(2);
    }
    if (o.utc_offset != 0 && !o.utc_host) {
        std::fprintf(stderr, "%s: --utc-offset needs --utc host\n", g_prog);
        std::exit(2);
    }
    if (o.uart != 0 && !standard_baud(o.uart)) {
        std::fprintf(stderr, "%s: %s\n", g_prog, kBadBaud);
        std::exit(2);
    }
    if (o.control.empty()) o.control = o.link + ".ctl";
    return o;
}

}  // namespace zqsim
