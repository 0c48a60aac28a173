// ubxdump: one JSON line per UBX message in a recorded stream or from a live serial port.
// Everything that is not a UBX frame (NMEA, RTCM3, noise, '#' comment lines) is stepped over.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "ubx/ubx.hpp"

namespace {

volatile sig_atomic_t g_stop = 0;
void on_signal(int) {
    g_stop = 1;
}

struct Options {
    std::string input = "-";
    bool summary_only = false;  // --count
    bool stats = false;
    bool raw = false;
    std::string only;
    long long max = 0;
    double timeout = 0;  // live port: stop after this long without a message
    int baud = 9600;
};

[[noreturn]] void usage(int rc) {
    std::fputs(
        "usage: ubxdump [options] [FILE|DEVICE|-]\n"
        "  one JSON line per UBX message: identity, class, id, length, fields\n"
        "  --only NAME      print only messages of this identity (e.g. NAV-PVT)\n"
        "  --raw            add the frame's bytes as hex\n"
        "  --count          print only a count per identity at the end\n"
        "  --stats          statistics on stderr at the end (frames, checksum failures, rate)\n"
        "  --max N          stop after N messages\n"
        "  --timeout S      live device: stop when no message came for S seconds\n"
        "  --baud N         live device: line speed (default 9600)\n",
        rc ? stderr : stdout);
    std::exit(rc);
}

class Out {
  public:
    explicit Out(bool line_flush) : line_flush_(line_flush) { buf_.reserve(1 << 20); }
    ~Out() { flush(); }
    void put(std::string_view s) { buf_.append(s); }
    void put(char c) { buf_.push_back(c); }
    void num(int64_t v) {
        char tmp[24];
        auto r = std::to_chars(tmp, tmp + sizeof tmp, v);
        buf_.append(tmp, r.ptr);
    }
    void str(std::string_view s) {
        static const char* hex = "0123456789abcdef";
        buf_.push_back('"');
        for (unsigned char c : s) {
            if (c == '"' || c == '\\') {
                buf_.push_back('\\');
                buf_.push_back(static_cast<char>(c));
            } else if (c < 0x20 || c >= 0x7F) {
                buf_.append("\\u00");
                buf_.push_back(hex[c >> 4]);
                buf_.push_back(hex[c & 15]);
            } else {
                buf_.push_back(static_cast<char>(c));
            }
        }
        buf_.push_back('"');
    }
    void hexstr(std::span<const uint8_t> b) {
        static const char* hex = "0123456789abcdef";
        buf_.push_back('"');
        for (uint8_t c : b) {
            buf_.push_back(hex[c >> 4]);
            buf_.push_back(hex[c & 15]);
        }
        buf_.push_back('"');
    }
    void end_line() {
        buf_.push_back('\n');
        if (line_flush_ || buf_.size() > (1 << 20) - 4096) flush();
    }
    void flush() {
        if (!buf_.empty()) {
            std::fwrite(buf_.data(), 1, buf_.size(), stdout);
            std::fflush(stdout);
            buf_.clear();
        }
    }

  private:
    std::string buf_;
    bool line_flush_;
};

void print_message(Out& out, const ubx::Frame& f, bool raw) {
    out.put("{\"identity\":");
    out.str(ubx::identity(f.cls, f.id));
    out.put(",\"class\":");
    out.num(f.cls);
    out.put(",\"id\":");
    out.num(f.id);
    out.put(",\"length\":");
    out.num(static_cast<int64_t>(f.payload.size()));
    try {
        const ubx::Message m = ubx::decode(f);
        if (m.def()) {
            out.put(",\"fields\":{");
            bool first = true;
            m.for_each([&](const ubx::FieldRef& ref, const ubx::Value& v) {
                if (!first) out.put(',');
                first = false;
                out.str(ref.name());
                out.put(':');
                switch (v.kind) {
                    case ubx::Value::Kind::Int:
                        out.num(v.i);
                        break;
                    case ubx::Value::Kind::Text:
                        out.str(v.text());
                        break;
                    case ubx::Value::Kind::Bytes:
                        out.hexstr(v.bytes);
                        break;
                }
            });
            out.put('}');
        } else {
            out.put(",\"payload\":");
            out.hexstr(f.payload);
        }
    } catch (const ubx::Error& e) {
        out.put(",\"error\":");
        out.str(e.what());
        out.put(",\"payload\":");
        out.hexstr(f.payload);
    }
    if (raw) {
        out.put(",\"raw\":");
        out.hexstr(f.raw);
    }
    out.put('}');
    out.end_line();
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
        speed_t sp = B9600;
        switch (o.baud) {
            case 4800:
                sp = B4800;
                break;
            case 19200:
                sp = B19200;
                break;
            case 38400:
                sp = B38400;
                break;
            case 57600:
                sp = B57600;
                break;
            case 115200:
                sp = B115200;
                break;
            case 230400:
                sp = B230400;
                break;
            case 460800:
                sp = B460800;
                break;
            default:
                break;
        }
        cfsetspeed(&tio, sp);
        tcsetattr(fd, TCSANOW, &tio);
        tcflush(fd, TCIFLUSH);
    }
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto val = [&]() -> std::string {
            if (i + 1 >= argc) usage(2);
            return argv[++i];
        };
        if (a == "--count")
            o.summary_only = true;
        else if (a == "--stats")
            o.stats = true;
        else if (a == "--raw")
            o.raw = true;
        else if (a == "--only")
            o.only = val();
        else if (a == "--max")
            o.max = std::atoll(val().c_str());
        else if (a == "--timeout")
            o.timeout = std::atof(val().c_str());
        else if (a == "--baud")
            o.baud = std::atoi(val().c_str());
        else if (a == "-h" || a == "--help")
            usage(0);
        else if (!a.empty() && a[0] == '-' && a != "-") {
            std::fprintf(stderr, "ubxdump: unknown option %s\n", a.c_str());
            usage(2);
        } else
            o.input = a;
    }

    bool live = false;
    const int fd = open_input(o, &live);
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    Out out(live);
    // Every checksum-valid frame is shown, also one whose length no form of its message has.
    ubx::Scanner scanner(ubx::kDefaultMaxPayload, false);
    std::map<std::string, long long> counts;
    long long printed = 0;
    std::vector<uint8_t> buf(live ? 4096 : (1 << 20));
    const auto t0 = std::chrono::steady_clock::now();
    auto last_msg = t0;
    bool done = false;
    while (!done && !g_stop) {
        if (live) {
            pollfd p{fd, POLLIN, 0};
            int wait_ms = -1;
            if (o.timeout > 0) {
                const double left = o.timeout - std::chrono::duration<double>(
                                                    std::chrono::steady_clock::now() - last_msg)
                                                    .count();
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
            if (!g_stop) std::fprintf(stderr, "ubxdump: read: %s\n", std::strerror(errno));
            break;
        }
        if (n == 0) break;
        scanner.feed(std::span<const uint8_t>(buf.data(), static_cast<size_t>(n)));
        while (auto f = scanner.next()) {
            last_msg = std::chrono::steady_clock::now();
            if (!o.only.empty() && ubx::identity(f->cls, f->id) != o.only) continue;
            if (o.summary_only) {
                ++counts[ubx::identity(f->cls, f->id)];
            } else {
                print_message(out, *f, o.raw);
            }
            if (o.max > 0 && ++printed >= o.max) {
                done = true;
                break;
            }
        }
    }
    if (o.summary_only) {
        long long total = 0;
        for (const auto& [name, c] : counts) {
            out.put("{\"identity\":");
            out.str(name);
            out.put(",\"count\":");
            out.num(c);
            out.put('}');
            out.end_line();
            total += c;
        }
        out.put("{\"total\":");
        out.num(total);
        out.put('}');
        out.end_line();
    }
    out.flush();
    if (o.stats) {
        const double secs =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
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
    return 0;
}
