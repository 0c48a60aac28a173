// ubxdump: one JSON line per UBX message in a recorded stream or from a live serial port.
// Everything that is not a UBX frame (NMEA, RTCM3, noise, '#' comment lines) is stepped over.
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "json_out.hpp"
#include "printer.hpp"
#include "ubx/ubx.hpp"

namespace {

volatile sig_atomic_t g_stop = 0;
void on_signal(int) {
    g_stop = 1;
}

struct Baud {
    int rate;
    speed_t speed;
};
constexpr Baud kBauds[] = {{4800, B4800},     {9600, B9600},     {19200, B19200},
                           {38400, B38400},   {57600, B57600},   {115200, B115200},
                           {230400, B230400}, {460800, B460800}, {921600, B921600}};

struct Options {
    std::string input = "-";
    bool summary_only = false;  // --count
    bool stats = false;
    bool raw = false;
    ubxdump::Selection only;
    long long max = 0;
    double timeout = 0;  // live port: stop after this long without a message
    speed_t baud = B9600;
};

void usage(FILE* to) {
    std::fputs(
        "usage: ubxdump [options] [FILE|DEVICE|-]\n"
        "  one JSON line per UBX message: identity, class, id, length, fields; a repeated\n"
        "  group as \"blocks\": [{...}, ...]; a message outside the catalogue as \"payload\" hex\n"
        "  --only LIST      print only these identities: comma-separated catalogue names\n"
        "                   (e.g. NAV-PVT,NAV-SAT, any case) or UNKNOWN-0xCC-0xII; may be\n"
        "                   repeated, the lists add up; an unknown name is an error (status 2)\n"
        "  --raw            add the frame's bytes as hex\n"
        "  --count          print only a count per identity at the end\n"
        "  --stats          statistics on stderr at the end (frames, checksum failures, rate)\n"
        "  --max N          stop after N messages (0: no limit)\n"
        "  --timeout S      live device: stop when no message came for S seconds\n"
        "  --baud N         live device: line speed, 4800 to 921600 (default 9600)\n"
        "  -h, --help       this help\n"
        "  exit status: 0 done, 1 input or output failed, 2 bad arguments\n",
        to);
}

[[noreturn]] void bad_usage(const std::string& what) {
    std::fprintf(stderr, "ubxdump: %s (see ubxdump --help)\n", what.c_str());
    std::exit(2);
}

[[noreturn]] void bad_selection(const std::string& what) {
    std::fprintf(stderr, "ubxdump: %s\n", what.c_str());
    std::exit(2);
}

long long parse_count(const char* opt, const char* s) {
    long long v = 0;
    const char* end = s + std::strlen(s);
    const auto r = std::from_chars(s, end, v);
    if (r.ec != std::errc() || r.ptr != end || v < 0)
        bad_usage(std::string(opt) + " takes a whole number >= 0, not \"" + s + "\"");
    return v;
}

double parse_seconds(const char* opt, const char* s) {
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(s, &end);
    if (*s == '\0' || *end != '\0' || errno != 0 || !std::isfinite(v) || v < 0)
        bad_usage(std::string(opt) + " takes seconds >= 0, not \"" + s + "\"");
    return v;
}

speed_t parse_baud(const char* s) {
    long long v = -1;
    const char* end = s + std::strlen(s);
    const auto r = std::from_chars(s, end, v);
    if (r.ec == std::errc() && r.ptr == end) {
        for (const Baud& b : kBauds) {
            if (b.rate == v) return b.speed;
        }
    }
    std::string rates;
    for (const Baud& b : kBauds)
        rates += (rates.empty() ? "" : ", ") + std::to_string(b.rate);
    bad_usage(std::string("--baud takes one of ") + rates + ", not \"" + s + "\"");
}

enum : int { kOnly = 256, kRaw, kCount, kStats, kMax, kTimeout, kBaud };

const option kOptions[] = {
    {"only", required_argument, nullptr, kOnly},
    {"raw", no_argument, nullptr, kRaw},
    {"count", no_argument, nullptr, kCount},
    {"stats", no_argument, nullptr, kStats},
    {"max", required_argument, nullptr, kMax},
    {"timeout", required_argument, nullptr, kTimeout},
    {"baud", required_argument, nullptr, kBaud},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

Options parse_options(int argc, char** argv) {
    Options o;
    opterr = 0;  // the errors below are ours: one line each
    int c;
    while ((c = getopt_long(argc, argv, ":h", kOptions, nullptr)) != -1) {
        switch (c) {
            case kOnly:
                if (std::string err = o.only.add(optarg); !err.empty()) bad_selection(err);
                break;
            case kRaw:
                o.raw = true;
                break;
            case kCount:
                o.summary_only = true;
                break;
            case kStats:
                o.stats = true;
                break;
            case kMax:
                o.max = parse_count("--max", optarg);
                break;
            case kTimeout:
                o.timeout = parse_seconds("--timeout", optarg);
                break;
            case kBaud:
                o.baud = parse_baud(optarg);
                break;
            case 'h':
                usage(stdout);
                std::exit(0);
            case ':':
                bad_usage(std::string(argv[optind - 1]) + " needs a value");
            default:
                if (optopt > 0 && optopt < kOnly)
                    bad_usage(std::string("unknown option -") + static_cast<char>(optopt));
                bad_usage(std::string("unknown or misused option ") + argv[optind - 1]);
        }
    }
    if (argc - optind > 1)
        bad_usage(std::string("one input only, not ") + argv[optind] + " and " + argv[optind + 1]);
    if (optind < argc) o.input = argv[optind];
    return o;
}

int open_input(const Options& o, bool* live) {
    *live = false;
    if (o.input == "-") {
        struct stat st {};
        *live = fstat(0, &st) == 0 && (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode));
        return 0;
    }
    int fd = ::open(o.input.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "ubxdump: cannot open %s: %s\n", o.input.c_str(),
                     std::strerror(errno));
        std::exit(1);
    }
    struct stat st {};
    fstat(fd, &st);
    *live = S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode);
    if (isatty(fd)) {
        termios tio{};
        tcgetattr(fd, &tio);
        cfmakeraw(&tio);
        cfsetspeed(&tio, o.baud);
        tcsetattr(fd, TCSANOW, &tio);
        tcflush(fd, TCIFLUSH);
    }
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    // Everything is checked before the input is opened: a bad argument dumps nothing.
    const Options o = parse_options(argc, argv);

    bool live = false;
    const int fd = open_input(o, &live);
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    using Clock = std::chrono::steady_clock;
    ubxdump::Out out(STDOUT_FILENO, live);
    ubxdump::Printer printer(o.raw);
    // Every checksum-valid frame is shown, also one whose length no form of its message has.
    ubx::Scanner scanner(ubx::kDefaultMaxPayload, false);
    std::vector<unsigned long long> counts(o.summary_only ? 1 << 16 : 0);
    long long printed = 0;
    int status = 0;
    std::vector<uint8_t> buf(live ? 4096 : (1 << 20));
    const auto t0 = o.stats ? Clock::now() : Clock::time_point{};
    const bool watch = live && o.timeout > 0;
    auto last_msg = watch ? Clock::now() : Clock::time_point{};
    bool done = false;
    while (!done && !g_stop) {
        if (live) {
            pollfd p{fd, POLLIN, 0};
            int wait_ms = -1;
            if (watch) {
                const double left =
                    o.timeout - std::chrono::duration<double>(Clock::now() - last_msg).count();
                if (left <= 0) break;
                wait_ms = static_cast<int>(left * 1000) + 1;
            }
            int r = poll(&p, 1, wait_ms);
            if (r < 0 && errno == EINTR) continue;
            if (r == 0) continue;
        }
        ssize_t n = ::read(fd, buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            if (!g_stop) {
                std::fprintf(stderr, "ubxdump: read %s: %s\n", o.input.c_str(),
                             std::strerror(errno));
                status = 1;
            }
            break;
        }
        if (n == 0) break;
        scanner.feed(std::span<const uint8_t>(buf.data(), static_cast<size_t>(n)));
        bool got = false;
        while (auto f = scanner.next()) {
            got = true;
            if (!o.only.everything() && !o.only.contains(f->cls, f->id)) continue;
            if (o.summary_only) {
                ++counts[f->cls << 8 | f->id];
            } else {
                printer.print(out, *f);
                if (!out.ok()) {
                    done = true;
                    break;
                }
            }
            if (o.max > 0 && ++printed >= o.max) {
                done = true;
                break;
            }
        }
        if (got && watch) last_msg = Clock::now();
    }
    if (o.summary_only) {
        std::map<std::string, unsigned long long> by_name;
        for (std::size_t key = 0; key < counts.size(); ++key) {
            if (counts[key])
                by_name[ubx::identity(static_cast<uint8_t>(key >> 8), static_cast<uint8_t>(key))] +=
                    counts[key];
        }
        unsigned long long total = 0;
        for (const auto& [name, c] : by_name) {
            char* p = out.reserve(ubxdump::text_max(name.size()) + 48);
            p = ubxdump::put(p, "{\"identity\":");
            p = ubxdump::put_text(p, name);
            p = ubxdump::put(p, ",\"count\":");
            p = ubxdump::put_int(p, static_cast<int64_t>(c));
            *p++ = '}';
            out.commit_line(p);
            total += c;
        }
        char* p = out.reserve(48);
        p = ubxdump::put(p, "{\"total\":");
        p = ubxdump::put_int(p, static_cast<int64_t>(total));
        *p++ = '}';
        out.commit_line(p);
    }
    out.flush();
    if (!out.ok()) {
        std::fprintf(stderr, "ubxdump: write: %s\n", std::strerror(out.error()));
        status = 1;
    }
    if (o.stats) {
        const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
        const auto& s = scanner.stats();
        std::fprintf(stderr,
                     "ubxdump: frames %llu, bad checksums %llu, oversize %llu, skipped bytes "
                     "%llu, %.3f s, %.0f frames/s\n",
                     static_cast<unsigned long long>(s.frames),
                     static_cast<unsigned long long>(s.bad_checksums),
                     static_cast<unsigned long long>(s.oversize),
                     static_cast<unsigned long long>(s.skipped_bytes), secs,
                     secs > 0 ? s.frames / secs : 0.0);
    }
    return status;
}
