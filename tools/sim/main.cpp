// zq-sim: a simulated u-blox receiver on a pseudo-terminal. See tools/README.md for the options,
// the control commands and the ground-truth lines it writes.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "pty_port.hpp"
#include "receiver.hpp"
#include "replay.hpp"
#include "solution.hpp"
#include "ubx/frame.hpp"

namespace zqsim {
namespace {

constexpr size_t kQueueCap = 64 * 1024;  // bytes waiting for the host; beyond it bursts drop
constexpr size_t kFastLowWater = 16 * 1024;

double clock_s(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}
int64_t realtime_ms() {
    return static_cast<int64_t>(std::floor(clock_s(CLOCK_REALTIME) * 1000));
}

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
};

[[noreturn]] void usage(int rc) {
    std::fputs(
        "usage: zq-sim [options]\n"
        "  --link PATH            device symlink to publish (default /tmp/zq-sim/ttyGPS0)\n"
        "  --control PATH         control FIFO (default LINK.ctl)\n"
        "  --truth FILE           ground truth JSON lines (default -, stdout)\n"
        "  --rate HZ              solutions per second, 1..25 (default 1)\n"
        "  --lat DEG --lon DEG    start position (default 47.3769 8.5417)\n"
        "  --speed M/S --heading DEG   motion (default 12 45)\n"
        "  --acquire SEC          no fix for the first SEC seconds (default 0)\n"
        "  --pvt84                84-byte NAV-PVT (protocol 14) instead of 92\n"
        "  --fresh                start as a fresh receiver: NMEA only, NAV-PVT off\n"
        "  --no-nmea              no NMEA sentences\n"
        "  --nmea-first           NMEA before NAV-PVT in each burst (default: UBX first)\n"
        "  --noise N              N noise bytes before every burst\n"
        "  --bad-checksum-every K damage the checksum of every K-th NAV-PVT\n"
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
        "control commands (FIFO, --at): noise N | badck N | stall S | unplug [S] | replug |\n"
        "  rate HZ | pvt on|off | nmea on|off | pause | resume | quit   (\"unplug=2\" = \"unplug "
        "2\")\n"
        "signals: SIGUSR1 unplug/replug toggle, SIGUSR2 stall, SIGINT/SIGTERM exit\n",
        rc ? stderr : stdout);
    std::exit(rc);
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto val = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "zq-sim: %s needs a value\n", a.c_str());
                usage(2);
            }
            return argv[++i];
        };
        auto num = [&]() {
            std::string v = val();
            char* end = nullptr;
            double d = std::strtod(v.c_str(), &end);
            if (v.empty() || *end) {
                std::fprintf(stderr, "zq-sim: %s: not a number: %s\n", a.c_str(), v.c_str());
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
        } else if (a == "-h" || a == "--help")
            usage(0);
        else {
            std::fprintf(stderr, "zq-sim: unknown option %s\n", a.c_str());
            usage(2);
        }
    }
    if (o.rate < 1 || o.rate > 25) {
        std::fprintf(stderr, "zq-sim: --rate must be 1..25\n");
        std::exit(2);
    }
    if (o.control.empty()) o.control = o.link + ".ctl";
    return o;
}

class Sim {
  public:
    explicit Sim(Options o);
    int run();

  private:
    void log(const char* fmt, auto... args) {
        if (opt_.quiet) return;
        std::fprintf(stderr, "zq-sim: ");
        std::fprintf(stderr, fmt, args...);
        std::fputc('\n', stderr);
    }
    void command(const std::string& line);
    void synthetic_epoch(int64_t epoch_ms);
    bool replay_epoch();
    void enqueue(std::string bytes, std::vector<std::pair<size_t, std::string>> marks,
                 const std::string& unsent_truth);
    void flush_out();
    void read_host();
    void arm_epoch_timer();
    void emit_truth(const std::string& partial, bool sent, const char* reason, double t_mono,
                    double t_wall);
    std::string noise_bytes(int n);
    void unplug();
    void replug();

    Options opt_;
    PtyPort port_;
    Receiver rx_;
    Trajectory traj_;
    std::FILE* truth_ = stdout;
    std::mt19937 rng_;

    int timer_fd_ = -1, sig_fd_ = -1, ctl_fd_ = -1, ctl_keep_ = -1;
    std::string ctl_buf_;
    // Commands of a wrong length must reach the receiver, which answers them with ACK-NAK.
    ubx::Scanner scanner_{ubx::kDefaultMaxPayload, false};

    std::string out_;
    size_t out_head_ = 0;
    uint64_t queued_total_ = 0, written_total_ = 0;
    struct Mark {
        uint64_t end;
        std::string truth;
    };
    std::deque<Mark> marks_;

    // Pending timed events: monotonic deadline -> command.
    std::multimap<double, std::string> events_;
    double stall_until_ = 0;
    bool paused_ = false;
    void rearm_replay(double at);
    int badck_pending_ = 0;
    long long epoch_count_ = 0, pvt_count_ = 0, dropped_ = 0;
    int64_t next_epoch_ms_ = 0;
    bool done_ = false, stop_ = false;
    double start_mono_ = 0, done_at_ = 0;

    std::vector<ReplayEpoch> replay_;
    std::vector<double> replay_offset_;
    size_t replay_pos_ = 0;
    long long replay_loop_ = 0;
    double replay_base_ = 0, replay_period_ = 1.0;
};

Config start_config(const Options& o) {
    Config c;
    c.meas_rate_ms = static_cast<uint16_t>(std::lround(1000.0 / o.rate));
    c.pvt_rate = o.fresh ? 0 : 1;
    for (auto& r : c.nmea_rate)
        r = o.nmea ? 1 : 0;
    return c;
}

Sim::Sim(Options o)
    : opt_(std::move(o)),
      port_(opt_.link),
      rx_(start_config(opt_), opt_.pvt84),
      traj_(opt_.lat, opt_.lon, opt_.speed, opt_.heading, opt_.acquire),
      rng_(opt_.seed) {}

void Sim::emit_truth(const std::string& partial, bool sent, const char* reason, double t_mono,
                     double t_wall) {
    if (!truth_) return;
    std::fprintf(truth_, "{%s,\"sent\":%s,\"reason\":\"%s\",\"t_mono\":%.6f,\"t_wall\":%.6f}\n",
                 partial.c_str(), sent ? "true" : "false", reason, t_mono, t_wall);
    std::fflush(truth_);
}

std::string Sim::noise_bytes(int n) {
    std::string s;
    std::uniform_int_distribution<int> byte(0, 255), pick(0, 15);
    for (int i = 0; i < n; ++i) {
        // Mostly random bytes, with sync pairs and '$' mixed in to tempt the framers.
        switch (pick(rng_)) {
            case 0:
                s += "\xB5\x62";
                break;
            case 1:
                s += '$';
                break;
            default:
                s += static_cast<char>(byte(rng_));
        }
    }
    return s.substr(0, static_cast<size_t>(n));
}

void Sim::enqueue(std::string bytes, std::vector<std::pair<size_t, std::string>> marks,
                  const std::string& unsent_truth) {
    const double now = clock_s(CLOCK_MONOTONIC), wall = clock_s(CLOCK_REALTIME);
    const char* reason = nullptr;
    if (!port_.plugged())
        reason = "unplugged";
    else if (paused_)
        reason = "paused";
    else if (now < stall_until_)
        reason = "stall";
    else if (out_.size() - out_head_ + bytes.size() > kQueueCap)
        reason = "overflow";
    if (reason) {
        if (std::strcmp(reason, "overflow") == 0) ++dropped_;
        for (auto& m : marks)
            emit_truth(m.second, false, reason, now, wall);
        if (marks.empty() && !unsent_truth.empty())
            emit_truth(unsent_truth, false, reason, now, wall);
        return;
    }
    for (auto& m : marks)
        marks_.push_back({queued_total_ + m.first, std::move(m.second)});
    if (marks.empty() && !unsent_truth.empty()) {
        marks_.push_back({queued_total_ + bytes.size(), unsent_truth});
    }
    out_ += bytes;
    queued_total_ += bytes.size();
    flush_out();
}

void Sim::flush_out() {
    while (port_.plugged() && out_head_ < out_.size()) {
        ssize_t n = ::write(port_.master(), out_.data() + out_head_, out_.size() - out_head_);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN) log("write: %s", std::strerror(errno));
            break;
        }
        out_head_ += static_cast<size_t>(n);
        written_total_ += static_cast<uint64_t>(n);
    }
    if (out_head_ == out_.size()) {
        out_.clear();
        out_head_ = 0;
    } else if (out_head_ > kQueueCap) {
        out_.erase(0, out_head_);
        out_head_ = 0;
    }
    if (!marks_.empty() && marks_.front().end <= written_total_) {
        const double now = clock_s(CLOCK_MONOTONIC), wall = clock_s(CLOCK_REALTIME);
        while (!marks_.empty() && marks_.front().end <= written_total_) {
            emit_truth(marks_.front().truth, true, "", now, wall);
            marks_.pop_front();
        }
    }
}

void Sim::unplug() {
    if (!port_.plugged()) return;
    port_.unplug();
    const double now = clock_s(CLOCK_MONOTONIC), wall = clock_s(CLOCK_REALTIME);
    for (auto& m : marks_)
        emit_truth(m.truth, false, "unplugged", now, wall);
    marks_.clear();
    out_.clear();
    out_head_ = 0;
    written_total_ = queued_total_;
    scanner_.reset();
    log("device removed: %s", opt_.link.c_str());
}

void Sim::replug() {
    if (port_.plugged()) return;
    port_.plug();
    rx_.power_cycle();
    arm_epoch_timer();
    log("device replugged: %s -> %s", opt_.link.c_str(), port_.slave_path().c_str());
}

void Sim::command(const std::string& text) {
    // "unplug=2" is accepted for "unplug 2", so a command survives shell word splitting.
    std::string line = text;
    for (char& ch : line)
        ch = ch == '=' ? ' ' : ch;
    std::istringstream in(line);
    std::string cmd, arg;
    in >> cmd >> arg;
    if (cmd.empty()) return;
    const double now = clock_s(CLOCK_MONOTONIC);
    const double x = arg.empty() ? 0.0 : std::strtod(arg.c_str(), nullptr);
    // Counts and seconds from a line are bounded before use: a huge, negative or NaN value
    // would otherwise be undefined as an int or keep the simulator busy for ever.
    const auto limit = [&](double lo, double hi) {
        if (std::isfinite(x) && x >= lo && x <= hi) return true;
        log("command out of range (%g to %g): %s", lo, hi, line.c_str());
        return false;
    };
    if ((cmd == "noise" && !limit(0, 65536)) || (cmd == "badck" && !limit(0, 1e6)) ||
        ((cmd == "stall" || cmd == "unplug") && !limit(0, 86400)))
        return;
    if (cmd == "noise") {
        opt_.noise = static_cast<int>(x);
    } else if (cmd == "badck") {
        badck_pending_ =
            std::min(badck_pending_ + (arg.empty() ? 1 : static_cast<int>(x)), 1000000);
    } else if (cmd == "stall") {
        stall_until_ = now + (arg.empty() ? opt_.stall_seconds : x);
    } else if (cmd == "unplug") {
        unplug();
        if (x > 0) events_.emplace(now + x, "replug");
    } else if (cmd == "replug") {
        replug();
    } else if (cmd == "rate" && x >= 1 && x <= 25) {
        rx_.config().meas_rate_ms = static_cast<uint16_t>(std::lround(1000.0 / x));
        rx_.config().nav_rate = 1;
        arm_epoch_timer();
    } else if (cmd == "pvt") {
        rx_.config().pvt_rate = arg == "on" ? 1 : 0;
    } else if (cmd == "nmea") {
        for (auto& r : rx_.config().nmea_rate)
            r = arg == "on" ? 1 : 0;
    } else if (cmd == "pause") {
        paused_ = true;
    } else if (cmd == "resume") {
        if (paused_ && !replay_.empty() && opt_.pace != "fast" && replay_pos_ < replay_.size()) {
            replay_base_ = now - replay_offset_[replay_pos_];
            rearm_replay(now);
        }
        paused_ = false;
    } else if (cmd == "quit") {
        stop_ = true;
    } else {
        log("unknown command: %s", line.c_str());
        return;
    }
    log("command: %s", line.c_str());
}

void Sim::rearm_replay(double at) {
    itimerspec its{};
    its.it_value.tv_sec = static_cast<time_t>(at);
    its.it_value.tv_nsec = std::max(1L, static_cast<long>((at - std::floor(at)) * 1e9));
    timerfd_settime(timer_fd_, TFD_TIMER_ABSTIME, &its, nullptr);
}

void Sim::arm_epoch_timer() {
    if (!replay_.empty()) return;
    // Epochs fall on whole multiples of the period in UTC, as a receiver's do in GPS time.
    const int64_t period = rx_.config().period_ms();
    const int64_t now = realtime_ms();
    next_epoch_ms_ = (now / period + 1) * period;
    itimerspec its{};
    its.it_value.tv_sec = next_epoch_ms_ / 1000;
    its.it_value.tv_nsec = (next_epoch_ms_ % 1000) * 1000000;
    timerfd_settime(timer_fd_, TFD_TIMER_ABSTIME, &its, nullptr);
}

void Sim::synthetic_epoch(int64_t epoch_ms) {
    Solution s = traj_.advance(epoch_ms);
    const Config& c = rx_.config();
    s.psm_state = c.lp_mode == 1 ? 1 : 0;
    ++epoch_count_;
    const bool pvt = c.pvt_rate > 0 && epoch_count_ % c.pvt_rate == 0;
    bool nmea_on[6];
    for (int i = 0; i < 6; ++i)
        nmea_on[i] = c.nmea_rate[i] > 0 && epoch_count_ % c.nmea_rate[i] == 0;

    std::string burst = noise_bytes(opt_.noise);
    std::string pvt_frame;
    bool damaged = false;
    if (pvt) {
        ++pvt_count_;
        auto f = ubx::make_frame(0x01, 0x07, nav_pvt_payload(s, rx_.short_pvt()));
        damaged = badck_pending_ > 0 || (opt_.bad_every > 0 && pvt_count_ % opt_.bad_every == 0);
        if (badck_pending_ > 0) --badck_pending_;
        if (damaged) f.back() ^= 0x5A;
        pvt_frame.assign(f.begin(), f.end());
    }
    const std::string nmea = nmea_burst(s, nmea_on);
    size_t pvt_end = 0;
    if (opt_.nmea_first) {
        burst += nmea + pvt_frame;
        pvt_end = burst.size();
    } else {
        burst += pvt_frame;
        pvt_end = burst.size();
        burst += nmea;
    }

    char t[512];
    std::snprintf(t, sizeof t,
                  "\"seq\":%lld,\"time\":\"%04d-%02d-%02dT%02d:%02d:%02d.%03dZ\",\"iTOW\":%u,"
                  "\"lat\":%.9f,\"lon\":%.9f,\"lat_e7\":%lld,\"lon_e7\":%lld,\"hMSL\":%.3f,"
                  "\"gSpeed\":%lld,\"headMot\":%lld,\"numSV\":%d,\"pDOP\":%lld,\"fixType\":%d,"
                  "\"gnssFixOk\":%d,\"pvt\":%s,\"pvt_damaged\":%s,\"nmea\":%zu",
                  epoch_count_, s.year, s.month, s.day, s.hour, s.min, s.sec, s.millis, s.itow,
                  s.lat, s.lon, std::llround(s.lat * 1e7), std::llround(s.lon * 1e7), s.hmsl,
                  std::llround(s.speed * 1e3), std::llround(s.heading * 1e5), s.num_sv(),
                  std::llround(s.pdop * 100), s.fix_type, s.fix_ok ? 1 : 0, pvt ? "true" : "false",
                  damaged ? "true" : "false", nmea.size());
    std::vector<std::pair<size_t, std::string>> marks;
    if (pvt) marks.emplace_back(pvt_end, t);
    enqueue(std::move(burst), std::move(marks), pvt ? std::string() : std::string(t));
}

bool Sim::replay_epoch() {
    if (replay_pos_ >= replay_.size()) {
        ++replay_loop_;
        if (opt_.loops != 0 && replay_loop_ >= opt_.loops) return false;
        replay_base_ += replay_offset_.back() + replay_period_;
        replay_pos_ = 0;
    }
    const ReplayEpoch& e = replay_[replay_pos_++];
    ++epoch_count_;
    std::string bytes = noise_bytes(opt_.noise) + e.bytes;
    const size_t shift = bytes.size() - e.bytes.size();
    std::vector<std::pair<size_t, std::string>> marks;
    for (const auto& p : e.pvts) {
        ++pvt_count_;
        const bool damaged =
            badck_pending_ > 0 || (opt_.bad_every > 0 && pvt_count_ % opt_.bad_every == 0);
        if (badck_pending_ > 0) --badck_pending_;
        if (damaged) bytes[shift + p.end - 1] ^= 0x5A;
        char t[256];
        std::snprintf(t, sizeof t,
                      "\"seq\":%lld,\"iTOW\":%u,\"lat\":%.9f,\"lon\":%.9f,\"lat_e7\":%d,"
                      "\"lon_e7\":%d,\"pvt\":true,\"pvt_damaged\":%s",
                      pvt_count_, p.itow, p.lat / 1e7, p.lon / 1e7, p.lat, p.lon,
                      damaged ? "true" : "false");
        marks.emplace_back(shift + p.end, t);
    }
    enqueue(std::move(bytes), std::move(marks), "");
    return true;
}

void Sim::read_host() {
    uint8_t buf[4096];
    for (;;) {
        ssize_t n = ::read(port_.master(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        if (clock_s(CLOCK_MONOTONIC) < stall_until_) continue;  // a hung receiver hears nothing
        scanner_.feed(std::span<const uint8_t>(buf, static_cast<size_t>(n)));
        while (auto f = scanner_.next()) {
            bool rate_changed = false;
            auto answer = rx_.handle(*f, &rate_changed);
            log("%s", rx_.last_event().c_str());
            if (!answer.empty()) enqueue(std::string(answer.begin(), answer.end()), {}, "");
            if (rate_changed) arm_epoch_timer();
        }
    }
}

int Sim::run() {
    if (opt_.truth != "-") {
        truth_ = std::fopen(opt_.truth.c_str(), "w");
        if (!truth_) {
            std::fprintf(stderr, "zq-sim: cannot write %s: %s\n", opt_.truth.c_str(),
                         std::strerror(errno));
            return 1;
        }
    }
    const bool replaying = !opt_.replay.empty();
    double fixed_hz = 0;
    if (replaying) {
        try {
            replay_ = load_replay(opt_.replay);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "zq-sim: %s\n", e.what());
            return 1;
        }
        if (opt_.pace != "recorded" && opt_.pace != "fast") {
            fixed_hz = std::strtod(opt_.pace.c_str(), nullptr);
            if (fixed_hz <= 0) {
                std::fprintf(stderr, "zq-sim: --pace must be recorded, fast or a rate in Hz\n");
                return 2;
            }
        }
        // Offsets of each epoch from the start; gaps and jumps in the recording count as one
        // nominal period.
        std::optional<double> last_t;
        double off = 0;
        for (const auto& e : replay_) {
            if (fixed_hz > 0) {
                replay_period_ = 1.0 / fixed_hz;
                if (!replay_offset_.empty()) off += replay_period_;
            } else if (e.time_s && last_t) {
                double d = *e.time_s - *last_t;
                if (d > 0 && d <= 30) replay_period_ = d;
                off += (d > 0 && d <= 30) ? d : replay_period_;
            }
            if (e.time_s) last_t = e.time_s;
            replay_offset_.push_back(off);
        }
        log("replaying %s: %zu epochs", opt_.replay.c_str(), replay_.size());
    }

    sigset_t mask;
    sigemptyset(&mask);
    for (int s : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2, SIGHUP})
        sigaddset(&mask, s);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    signal(SIGPIPE, SIG_IGN);
    sig_fd_ = signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK);
    timer_fd_ =
        timerfd_create(replaying ? CLOCK_MONOTONIC : CLOCK_REALTIME, TFD_CLOEXEC | TFD_NONBLOCK);

    std::error_code ec;
    std::filesystem::remove(opt_.control, ec);
    if (!opt_.control.empty() && opt_.control != "none" &&
        mkfifo(opt_.control.c_str(), 0600) == 0) {
        ctl_fd_ = ::open(opt_.control.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        // A writer of our own keeps the FIFO from reporting end-of-file between commands.
        ctl_keep_ = ::open(opt_.control.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    }

    try {
        port_.plug();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zq-sim: cannot create device: %s\n", e.what());
        return 1;
    }
    log("device %s -> %s, control %s", opt_.link.c_str(), port_.slave_path().c_str(),
        opt_.control.c_str());
    start_mono_ = clock_s(CLOCK_MONOTONIC);
    paused_ = opt_.paused;
    for (auto& [t, c] : opt_.at)
        events_.emplace(start_mono_ + t, c);
    if (opt_.duration > 0) events_.emplace(start_mono_ + opt_.duration, "quit");

    if (!replaying) {
        arm_epoch_timer();
    } else if (opt_.pace != "fast") {
        replay_base_ = start_mono_;
        if (!paused_) rearm_replay(start_mono_);
    }

    while (!stop_) {
        const bool fast = replaying && opt_.pace == "fast";
        if (fast && !done_ && !paused_ && out_.size() - out_head_ < kFastLowWater &&
            port_.plugged() && clock_s(CLOCK_MONOTONIC) >= stall_until_) {
            if (!replay_epoch()) {
                done_ = true;
                done_at_ = clock_s(CLOCK_MONOTONIC);
            }
            continue;
        }
        pollfd fds[4] = {{sig_fd_, POLLIN, 0},
                         {timer_fd_, POLLIN, 0},
                         {ctl_fd_, POLLIN, 0},
                         {port_.master(), POLLIN, 0}};
        if (out_head_ < out_.size()) fds[3].events |= POLLOUT;
        double timeout = 3600;
        const double now = clock_s(CLOCK_MONOTONIC);
        if (!events_.empty()) timeout = std::min(timeout, events_.begin()->first - now);
        if (fast && now < stall_until_) timeout = std::min(timeout, stall_until_ - now);
        if (done_ && (!replaying || opt_.exit_when_done))
            timeout = std::min(timeout, 0.02);  // waiting for the host to drain the pty
        timeout = std::max(timeout, 0.0);
        timespec ts{static_cast<time_t>(timeout),
                    static_cast<long>((timeout - std::floor(timeout)) * 1e9)};
        int n = ppoll(fds, port_.plugged() ? 4 : 3, &ts, nullptr);
        if (n < 0 && errno != EINTR) {
            log("poll: %s", std::strerror(errno));
            break;
        }
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo si{};
            while (::read(sig_fd_, &si, sizeof si) == sizeof si) {
                if (si.ssi_signo == SIGUSR1)
                    command(port_.plugged() ? "unplug" : "replug");
                else if (si.ssi_signo == SIGUSR2)
                    command("stall");
                else
                    stop_ = true;
            }
        }
        if (fds[1].revents & POLLIN) {
            uint64_t expirations = 0;
            if (::read(timer_fd_, &expirations, sizeof expirations) == sizeof expirations) {
                if (!replaying) {
                    synthetic_epoch(next_epoch_ms_);
                    arm_epoch_timer();
                } else if (paused_) {
                    // resume re-arms the timer
                } else if (!done_ && !replay_epoch()) {
                    done_ = true;
                    done_at_ = clock_s(CLOCK_MONOTONIC);
                } else if (!done_) {
                    double next = replay_base_ + replay_offset_[replay_pos_ % replay_.size()];
                    if (replay_pos_ >= replay_.size()) {
                        next = replay_base_ + replay_offset_.back() + replay_period_;
                    }
                    rearm_replay(next);
                }
                if (opt_.epochs > 0 && epoch_count_ >= opt_.epochs && !done_) {
                    done_ = true;
                    done_at_ = clock_s(CLOCK_MONOTONIC);
                    itimerspec off{};
                    timerfd_settime(timer_fd_, 0, &off, nullptr);
                }
            }
        }
        if (ctl_fd_ >= 0 && (fds[2].revents & POLLIN)) {
            char buf[512];
            ssize_t r;
            while ((r = ::read(ctl_fd_, buf, sizeof buf)) > 0) {
                ctl_buf_.append(buf, static_cast<size_t>(r));
                if (ctl_buf_.size() > 4096) ctl_buf_.clear();
            }
            size_t nl;
            while ((nl = ctl_buf_.find('\n')) != std::string::npos) {
                const std::string line = ctl_buf_.substr(0, nl);
                ctl_buf_.erase(0, nl + 1);
                command(line);
            }
        }
        if (port_.plugged() && n > 0) {
            if (fds[3].revents & POLLIN) read_host();
            if (fds[3].revents & POLLOUT) flush_out();
        }
        const double t = clock_s(CLOCK_MONOTONIC);
        while (!events_.empty() && events_.begin()->first <= t) {
            const std::string c = events_.begin()->second;
            events_.erase(events_.begin());
            command(c);
        }
        if (done_ && (!replaying || opt_.exit_when_done) && out_head_ == out_.size()) {
            // Leave once the host has read everything still in the pty, or after a grace time.
            int pending = 0;
            if (!port_.plugged() || ioctl(port_.slave(), FIONREAD, &pending) != 0) pending = 0;
            if (pending == 0 || t - done_at_ > 5) stop_ = true;
        }
    }

    log("exit: %lld epochs, %lld NAV-PVT, %llu bytes written, %lld bursts dropped", epoch_count_,
        pvt_count_, static_cast<unsigned long long>(written_total_), dropped_);
    port_.unplug();
    if (ctl_fd_ >= 0) {
        ::close(ctl_fd_);
        ::close(ctl_keep_);
        std::filesystem::remove(opt_.control, ec);
    }
    if (truth_ && truth_ != stdout) std::fclose(truth_);
    return 0;
}

}  // namespace
}  // namespace zqsim

int main(int argc, char** argv) {
    zqsim::Sim sim(zqsim::parse(argc, argv));
    return sim.run();
}
