// ubxdump: one JSON line per UBX message in a recorded stream or from a live serial port.
// Everything that is not a UBX frame (NMEA, RTCM3, noise, '#' comment lines) is stepped over.
// On a live port (a device or a pipe) it gives up when no UBX frame comes for --timeout
// seconds and says what did come.
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "json_out.hpp"
#include "printer.hpp"
#include "ubx/ubx.hpp"

#ifndef ZQ_VERSION
#define ZQ_VERSION "unknown"
#endif

namespace {

// The name the tool was called by (argv[0]'s last part): zq-ubxdump on PATH, ubxdump built.
const char* g_prog = "ubxdump";

// A live port that has sent no UBX frame for this long is given up on. A receiver outputs its
// solution every second by default (NAV-PVT each epoch, fix or not), so 5 s is five missed
// epochs: not a pause, but a receiver that sends no UBX (NMEA only, as from the factory), a
// line at another speed, or one that went quiet.
constexpr double kLiveTimeout = 5.0;

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
    double timeout = -1;  // live port: give up after this long without a frame; < 0: default
    speed_t baud = B9600;
};

void usage(FILE* to) {
    std::fprintf(to, "usage: %s [options] [FILE|DEVICE|-]\n\n", g_prog);
    std::fputs(
        "One JSON line per UBX message of a recording, a device or a pipe (- or none: standard\n"
        "input): identity, class, id, length, fields; a repeated group as \"blocks\": [{...},\n"
        "...]; a message outside the catalogue as \"payload\" hex.\n"
        "\n"
        "options:\n"
        "  --only LIST      print only these identities: comma-separated catalogue names\n"
        "                   (e.g. NAV-PVT,NAV-SAT, any case) or UNKNOWN-0xCC-0xII; may be\n"
        "                   repeated, the lists add up; an unknown name is an error (status 2)\n"
        "  --raw            add the frame's bytes as hex\n"
        "  --count          print only a count per identity at the end\n"
        "  --stats          statistics on stderr at the end (frames, checksum failures, rate)\n"
        "  --max N          stop after N messages (0: no limit)\n"
        "  --timeout S      live port (a device or a pipe): give up when no UBX frame came\n"
        "                   for S seconds, saying what did (default 5; 0: wait for ever);\n"
        "                   a file never times out\n"
        "  --baud N         live device: line speed, 4800 to 921600 (default 9600)\n"
        "  -h, --help       this help\n"
        "  --version        the project's version\n"
        "\n"
        "exit status:\n"
        "  0 done, 1 input or output failed or no UBX frame within --timeout, 2 bad arguments\n",
        to);
}

[[noreturn]] void bad_usage(const std::string& what) {
    std::fprintf(stderr, "%s: %s (see %s --help)\n", g_prog, what.c_str(), g_prog);
    std::exit(2);
}

[[noreturn]] void bad_selection(const std::string& what) {
    std::fprintf(stderr, "%s: %s\n", g_prog, what.c_str());
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

enum : int { kOnly = 256, kRaw, kCount, kStats, kMax, kTimeout, kBaud, kVersion };

const option kOptions[] = {
    {"only", required_argument, nullptr, kOnly}, {"raw", no_argument, nullptr, kRaw},
    {"count", no_argument, nullptr, kCount},     {"stats", no_argument, nullptr, kStats},
    {"max", required_argument, nullptr, kMax},   {"timeout", required_argument, nullptr, kTimeout},
    {"baud", required_argument, nullptr, kBaud}, {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kVersion}, {nullptr, 0, nullptr, 0},
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
            case kVersion:
                std::printf("%s (zq_gps) %s\n", g_prog, ZQ_VERSION);
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
        std::fprintf(stderr, "%s: cannot open %s: %s\n", g_prog, o.input.c_str(),
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

// What a live port sent while no UBX frame came: bytes, and NMEA sentences among them ('$',
// printable characters, a line end; at most 82 characters, the most the standard allows).
class Seen {
  public:
    void feed(std::span<const uint8_t> bytes) {
        bytes_ += bytes.size();
        for (const uint8_t b : bytes) {
            if (b == '$') {
                len_ = 1;
            } else if (len_ == 0) {
                continue;
            } else if (b == '\r' || b == '\n') {
                if (len_ >= 6) ++sentences_;  // "$GPGGA" at the least
                len_ = 0;
            } else if (b < 0x20 || b > 0x7E || ++len_ > 82) {
                len_ = 0;
            }
        }
    }
    void restart() { bytes_ = sentences_ = 0; }
    unsigned long long bytes() const noexcept { return bytes_; }
    unsigned long long sentences() const noexcept { return sentences_; }

  private:
    unsigned long long bytes_ = 0, sentences_ = 0;
    std::size_t len_ = 0;
};

// 3390 as "3,390". Appends only: g++ 12 with fortify warns falsely (-Wrestrict) on insert().
std::string grouped(unsigned long long v) {
    const std::string digits = std::to_string(v);
    std::string s;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) s += ',';
        s += digits[i];
    }
    return s;
}

void report_silence(double seconds, const Seen& seen, unsigned long long frames) {
    char secs[32];
    std::snprintf(secs, sizeof secs, "%g", seconds);
    std::string what = "no UBX frame in ";
    what += secs;
    what += " s";
    if (frames) {
        what += " after ";
        what += grouped(frames);
        what += frames == 1 ? " frame" : " frames";
    }
    what += ": ";
    what += grouped(seen.bytes());
    what += seen.bytes() == 1 ? " byte, " : " bytes, ";
    what += grouped(seen.sentences());
    what += seen.sentences() == 1 ? " NMEA sentence" : " NMEA sentences";
    if (!frames && seen.sentences())
        what += " (NMEA only, as a receiver leaves the factory: ubxconfig setup turns NAV-PVT on)";
    std::fprintf(stderr, "%s: %s\n", g_prog, what.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 0 && argv[0] && *argv[0]) {
        const char* slash = std::strrchr(argv[0], '/');
        g_prog = slash && slash[1] ? slash + 1 : argv[0];
    }
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
    const double limit = o.timeout >= 0 ? o.timeout : kLiveTimeout;
    const bool watch = live && limit > 0;
    auto last_msg = watch ? Clock::now() : Clock::time_point{};
    Seen seen;
    unsigned long long frames = 0;
    bool done = false;
    while (!done && !g_stop) {
        if (live) {
            pollfd p{fd, POLLIN, 0};
            int wait_ms = -1;
            if (watch) {
                const double left =
                    limit - std::chrono::duration<double>(Clock::now() - last_msg).count();
                if (left <= 0) {
                    report_silence(limit, seen, frames);
                    status = 1;
                    break;
                }
                wait_ms = static_cast<int>(std::min(left * 1000, 1e9)) + 1;
            }
            int r = poll(&p, 1, wait_ms);
            if (r < 0 && errno == EINTR) continue;
            if (r == 0) continue;
        }
        ssize_t n = ::read(fd, buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            if (!g_stop) {
                std::fprintf(stderr, "%s: read %s: %s\n", g_prog, o.input.c_str(),
                             std::strerror(errno));
                status = 1;
            }
            break;
        }
        if (n == 0) break;
        const std::span<const uint8_t> chunk(buf.data(), static_cast<size_t>(n));
        if (watch) seen.feed(chunk);
        scanner.feed(chunk);
        bool got = false;
        while (auto f = scanner.next()) {
            got = true;
            ++frames;
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
        if (got && watch) {
            last_msg = Clock::now();
            seen.restart();
        }
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
        std::fprintf(stderr, "%s: write: %s\n", g_prog, std::strerror(out.error()));
        status = 1;
    }
    if (o.stats) {
        const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
        const auto& s = scanner.stats();
        std::fprintf(stderr,
                     "%s: frames %llu, bad checksums %llu, oversize %llu, skipped bytes "
                     "%llu, %.3f s, %.0f frames/s\n",
                     g_prog, static_cast<unsigned long long>(s.frames),
                     static_cast<unsigned long long>(s.bad_checksums),
                     static_cast<unsigned long long>(s.oversize),
                     static_cast<unsigned long long>(s.skipped_bytes), secs,
                     secs > 0 ? s.frames / secs : 0.0);
    }
    return status;
}
