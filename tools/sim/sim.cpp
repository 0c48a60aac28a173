// The event loop (see sim.hpp).
#include "sim.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include "epoch_messages.hpp"
#include "log.hpp"
#include "messages.hpp"
#include "nav_pvt.hpp"
#include "nmea.hpp"
#include "sky.hpp"

namespace zqsim {
namespace {

constexpr size_t kFastLowWater = 16 * 1024;  // fast replay tops the queue up below this

// A UART's transmit buffer: bursts beyond it are dropped, so a line too slow for what the
// receiver is asked to send loses whole epochs rather than lagging ever further behind.
constexpr size_t kUartCap = 2048;

ReceiverSetup receiver_setup(const Options& o) {
    ReceiverSetup r;
    r.generation = o.generation;
    r.pvt84 = o.pvt84;
    r.fresh = o.fresh;
    r.nmea = o.nmea;
    r.rate_hz = o.rate;
    r.uart_baud = o.uart;
    r.flash = o.flash;
    r.sky = o.sky;
    r.utc = o.utc_host;
    return r;
}

std::shared_ptr<const Sky> make_sky(const Options& o) {
    if (!o.sky) return nullptr;
    const Generation g = generation(o.generation, o.pvt84);
    return std::make_shared<Sky>(o.lat, o.lon, constellations(o.generation, g.short_pvt),
                                 o.sky_speed);
}

RoverTiming rover_timing(const Options& o) {
    return {o.rtk_converge, o.rtk_hold, o.rtk_timeout};
}

std::string frame_bytes(uint8_t cls, uint8_t id, const std::vector<uint8_t>& payload) {
    const auto f = ubx::make_frame(cls, id, payload);
    return std::string(f.begin(), f.end());
}

}  // namespace

Sim::Sim(Options o)
    : opt_(std::move(o)),
      port_(opt_.link),
      rx_(receiver_setup(opt_)),
      traj_(opt_.lat, opt_.lon, opt_.speed, opt_.heading, opt_.acquire, make_sky(opt_)),
      damage_(opt_.seed, opt_.noise, opt_.bad_every, opt_.stall_seconds),
      rover_(rover_timing(opt_)) {
    log_quiet() = opt_.quiet;
    time_.host = opt_.utc_host;
    time_.offset_ns = static_cast<int64_t>(std::llround(opt_.utc_offset * 1e9));
    if (opt_.uart) uart_.emplace(rx_.output().baud);
}

Sim::~Sim() {
    if (rtcm_out_) std::fclose(rtcm_out_);
}

bool Sim::send(std::string bytes, std::vector<OutputQueue::Mark> marks,
               const std::string& epoch_truth, bool answer) {
    const char* refused = nullptr;
    if (!port_.plugged())
        refused = "unplugged";
    else if (paused_)
        refused = "paused";
    else if (damage_.stalled(clock_s(CLOCK_MONOTONIC)))
        refused = "stall";
    // Answers are few and come only when asked for, and a recording already fitted the line
    // it was made on: only synthetic epochs are held to a UART's buffer.
    const size_t cap = uart_ && !answer && !replay_ ? kUartCap : OutputQueue::kCap;
    const bool queued = out_.push(std::move(bytes), std::move(marks), epoch_truth, refused, cap);
    flush();
    return queued;
}

void Sim::flush() {
    if (!port_.plugged()) return;
    if (!uart_) {
        out_.flush(port_.master());
        return;
    }
    const size_t budget = uart_->budget(clock_s(CLOCK_MONOTONIC));
    if (budget == 0 || out_.pending() == 0) return;
    const uint32_t host = UartLine::host_speed(port_.master());
    if (host == uart_->baud()) {
        uart_->sent(out_.flush(port_.master(), budget));
        return;
    }
    const OutputQueue::Garble garble = [&](std::string_view b) { return uart_->garble(b, host); };
    uart_->sent(out_.flush(port_.master(), budget, &garble));
}

void Sim::switch_baud(uint32_t baud) {
    if (!uart_ || uart_->baud() == baud) return;
    uart_->set_baud(baud);
    log("UART1 now at %u baud", baud);
}

void Sim::unplug() {
    if (!port_.plugged()) return;
    port_.unplug();
    out_.drop_all("unplugged");
    scanner_.reset();
    demux_.reset();
    log("device removed: %s", opt_.link.c_str());
}

void Sim::replug() {
    if (port_.plugged()) return;
    port_.plug();
    rx_.power_cycle();
    rover_.reset();
    if (uart_) switch_baud(rx_.output().baud);
    arm_epoch_timer();
    log("device replugged: %s -> %s", opt_.link.c_str(), port_.slave_path().c_str());
}

void Sim::apply(const Command& c) {
    const double now = clock_s(CLOCK_MONOTONIC);
    if (c.name == "noise") {
        damage_.set_noise(static_cast<int>(c.x));
    } else if (c.name == "badck") {
        damage_.add_bad_checksums(c.arg.empty() ? 1 : static_cast<int>(c.x));
    } else if (c.name == "stall") {
        damage_.stall(now, c.arg.empty() ? -1 : c.x);
    } else if (c.name == "unplug") {
        unplug();
        if (c.x > 0) events_.emplace(now + c.x, "replug");
    } else if (c.name == "replug") {
        replug();
    } else if (c.name == "rate" && c.x >= 1 && c.x <= 25) {
        rx_.set_rate(c.x);
        arm_epoch_timer();
    } else if (c.name == "pvt") {
        rx_.set_pvt(c.arg == "on");
    } else if (c.name == "nmea") {
        rx_.set_nmea(c.arg == "on");
    } else if (c.name == "pause") {
        paused_ = true;
    } else if (c.name == "resume") {
        if (paused_ && replay_ && opt_.pace != "fast" && replay_->resume(now)) timer_->arm_at(now);
        paused_ = false;
    } else if (c.name == "time") {
        if (!time_.command(c.arg)) {
            log("unknown command: %s (time valid|invalid|unconfirmed|rollover|leap)",
                c.line.c_str());
            return;
        }
    } else if (c.name == "quit") {
        stop_ = true;
    } else {
        log("unknown command: %s", c.line.c_str());
        return;
    }
    log("command: %s", c.line.c_str());
}

void Sim::arm_epoch_timer() {
    if (replay_) return;
    // With an offset the receiver's whole seconds fall that much off the host's.
    const int64_t shift = time_.host ? time_.offset_ns / 1000000 : 0;
    next_epoch_ms_ = timer_->arm_on_grid(rx_.output().period_ms, shift);
}

void Sim::synthetic_epoch(int64_t epoch_ms) {
    const Output c = rx_.output();
    if (!c.gnss) return;  // stopped by CFG-RST: no solutions
    Solution s = traj_.advance(epoch_ms);
    s.psm_state = c.psm_state;
    const int64_t utc_ns = time_.host ? receiver_utc_ns(time_) : s.unix_ms * 1000000;
    apply_time(s, time_, utc_ns);
    const double now = clock_s(CLOCK_MONOTONIC);
    rover_.apply(s, now);
    if (s.diff_soln != last_diff_ || s.carr_soln != last_carr_) {
        static constexpr const char* kCarr[] = {"none", "float", "fixed"};
        log("solution: diffSoln %d carrSoln %d (%s)", s.diff_soln, s.carr_soln, kCarr[s.carr_soln]);
        last_diff_ = s.diff_soln;
        last_carr_ = s.carr_soln;
    }
    ++epoch_count_;
    const auto due = [&](uint8_t every) { return every > 0 && epoch_count_ % every == 0; };
    const bool pvt = c.pvt_rate > 0 && epoch_count_ % c.pvt_rate == 0;
    bool nmea_on[6];
    for (int i = 0; i < 6; ++i)
        nmea_on[i] = c.nmea_rate[i] > 0 && epoch_count_ % c.nmea_rate[i] == 0;

    std::string burst = damage_.noise();
    std::string pvt_frame;
    bool damaged = false;
    if (pvt) {
        ++pvt_count_;
        auto f = ubx::make_frame(0x01, 0x07, nav_pvt_payload(s, rx_.short_pvt()));
        pvt_frame.assign(f.begin(), f.end());
        damaged = damage_.damage_pvt(pvt_count_);
        if (damaged) Damage::spoil(pvt_frame, pvt_frame.size());
    }
    // The other UBX messages of the epoch, in the receiver's order around NAV-PVT.
    std::string before_pvt, after_pvt;
    if (due(c.dop_rate)) before_pvt = frame_bytes(0x01, 0x04, nav_dop_payload(s));
    if (due(c.timels_rate)) {
        after_pvt +=
            frame_bytes(0x01, 0x26, nav_timels_payload(s.itow, utc_ns / 1000000000, time_.leap));
    }
    if (due(c.sat_rate)) {
        const Generation& g = rx_.generation();
        after_pvt += g.nav_sat()
                         ? frame_bytes(0x01, 0x35, nav_sat_payload(s))
                         : frame_bytes(0x01, 0x30, nav_svinfo_payload(s, g.number == 6 ? 2 : 3));
    }
    const std::string nmea = nmea_burst(s, nmea_on);
    size_t pvt_end = 0;
    if (opt_.nmea_first) {
        burst += nmea + before_pvt + pvt_frame;
        pvt_end = burst.size();
        burst += after_pvt;
    } else {
        burst += before_pvt + pvt_frame;
        pvt_end = burst.size();
        burst += after_pvt + nmea;
    }
    std::string t = synthetic_truth(epoch_count_, s, pvt, damaged, nmea.size());
    // What --utc and the time commands, and corrections, made of the epoch; runs without them
    // keep their lines as they were.
    if (time_.host || time_.spoiled() || time_.leap) {
        char more[128];
        std::snprintf(more, sizeof more, ",\"nano\":%d,\"valid\":%d,\"flags2\":%d,\"tAcc\":%u%s",
                      s.nano, s.valid, s.flags2, s.t_acc, time_.leap ? ",\"leap\":1" : "");
        t += more;
    }
    if (s.diff_soln) t += ",\"diffSoln\":1,\"carrSoln\":" + std::to_string(s.carr_soln);
    std::vector<OutputQueue::Mark> marks;
    if (pvt) marks.push_back({pvt_end, std::move(t)});
    send(std::move(burst), std::move(marks), pvt ? std::string() : t);
}

bool Sim::replay_epoch() {
    const ReplayEpoch* e = replay_->next();
    if (!e) return false;
    ++epoch_count_;
    std::string bytes = damage_.noise() + e->bytes;
    const size_t shift = bytes.size() - e->bytes.size();
    std::vector<OutputQueue::Mark> marks;
    for (const auto& p : e->pvts) {
        ++pvt_count_;
        const bool damaged = damage_.damage_pvt(pvt_count_);
        if (damaged) Damage::spoil(bytes, shift + p.end);
        marks.push_back({shift + p.end, replay_truth(pvt_count_, p, damaged)});
    }
    send(std::move(bytes), std::move(marks), "");
    return true;
}

void Sim::read_host() {
    uint8_t buf[4096];
    for (;;) {
        ssize_t n = ::read(port_.master(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        if (damage_.stalled(clock_s(CLOCK_MONOTONIC))) continue;  // a hung receiver hears nothing
        if (uart_ && !uart_->host_matches(port_.master())) {
            // Sent at another speed: framing errors, nothing the receiver can parse.
            scanner_.reset();
            log("ignored %zd bytes sent at %u baud: UART1 is at %u", n,
                UartLine::host_speed(port_.master()), uart_->baud());
            continue;
        }
        const double now = clock_s(CLOCK_MONOTONIC);
        if (demux_.expire(now - rtcm_patience()) == InputDemux::Candidate::Rtcm)
            log("bad RTCM3 truncated frame");
        demux_.feed(std::span<const uint8_t>(buf, static_cast<size_t>(n)), now);
        take_input();
    }
}

double Sim::rtcm_patience() const {
    // Long enough for the largest RTCM 3 frame, or a UBX command of a few kilobytes, to cross
    // the line.
    return 1.0 + (uart_ ? 4096.0 * 10 / uart_->baud() : 0);
}

void Sim::scan_ubx(const std::string& bytes) {
    scanner_.feed(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    while (auto f = scanner_.next())
        answer(*f);
}

void Sim::take_input() {
    while (auto it = demux_.next()) {
        switch (it->kind) {
            case InputDemux::Item::Rtcm:
                on_rtcm(it->bytes);
                break;
            case InputDemux::Item::BadRtcm:
                on_bad_rtcm(it->reason, it->type);
                scan_ubx(it->bytes);
                break;
            default:
                scan_ubx(it->bytes);
                break;
        }
    }
}

void Sim::on_rtcm(const std::string& bytes) {
    if (rtcm_out_) {
        std::fwrite(bytes.data(), 1, bytes.size(), rtcm_out_);
        std::fflush(rtcm_out_);
    }
    const RtcmFrame f = describe_rtcm(bytes);
    const Output o = rx_.output();
    if (!o.rtcm3_in) {
        log("ignored RTCM3 %d: RTCM 3 input is off on this port", f.type);
        return;
    }
    log("heard RTCM3 %d len %d", f.type, f.length);
    const bool used = Rover::uses(f.type);
    if (used) rover_.heard(clock_s(CLOCK_MONOTONIC));
    if (o.rxm_rtcm) {
        send(frame_bytes(0x02, 0x32,
                         rxm_rtcm_payload(false, used ? 2 : 1, f.type, f.station, f.sub_type)),
             {}, "", true);
    }
}

void Sim::on_bad_rtcm(const std::string& reason, int type) {
    log("bad RTCM3 %s", reason.c_str());
    const Output o = rx_.output();
    if (o.rtcm3_in && o.rxm_rtcm)
        send(frame_bytes(0x02, 0x32, rxm_rtcm_payload(true, 0, type, 0, 0)), {}, "", true);
}

void Sim::answer(const ubx::Frame& f) {
    log("heard %s (%02X %02X) len %zu", ubx::identity(f.cls, f.id).c_str(), f.cls, f.id,
        f.payload.size());
    Reply r = rx_.handle(f);
    log("%s", rx_.last_event().c_str());
    const bool queued =
        !r.bytes.empty() && send(std::string(r.bytes.begin(), r.bytes.end()), {}, "", true);
    if (r.baud_changed) {
        // The new speed applies once the answer has left at the old one.
        const uint32_t baud = rx_.output().baud;
        if (queued)
            out_.after_written([this, baud] { switch_baud(baud); });
        else
            switch_baud(baud);
    }
    if (r.timing_changed) arm_epoch_timer();
}

void Sim::finish() {
    done_ = true;
    done_at_ = clock_s(CLOCK_MONOTONIC);
}

void Sim::on_signals() {
    for (int sig : signals_.read()) {
        const char* line = sig == SIGUSR1   ? (port_.plugged() ? "unplug" : "replug")
                           : sig == SIGUSR2 ? "stall"
                                            : nullptr;
        if (!line)
            stop_ = true;
        else if (auto c = parse_command(line))
            apply(*c);
    }
}

void Sim::on_timer() {
    if (!timer_->fired()) return;
    if (!replay_) {
        synthetic_epoch(next_epoch_ms_);
        arm_epoch_timer();
    } else if (paused_) {
        // resume re-arms the timer
    } else if (!done_ && !replay_epoch()) {
        finish();
    } else if (!done_) {
        timer_->arm_at(replay_->due());
    }
    if (opt_.epochs > 0 && epoch_count_ >= opt_.epochs && !done_) {
        finish();
        timer_->disarm();
    }
}

int Sim::prepare() {
    if (!truth_.open(opt_.truth)) {
        std::fprintf(stderr, "zq-sim: cannot write %s: %s\n", opt_.truth.c_str(),
                     std::strerror(errno));
        return 1;
    }
    if (!opt_.rtcm_out.empty() && !(rtcm_out_ = std::fopen(opt_.rtcm_out.c_str(), "ab"))) {
        std::fprintf(stderr, "zq-sim: cannot write %s: %s\n", opt_.rtcm_out.c_str(),
                     std::strerror(errno));
        return 1;
    }
    if (!opt_.replay.empty()) {
        std::vector<ReplayEpoch> epochs;
        try {
            epochs = load_replay(opt_.replay);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "zq-sim: %s\n", e.what());
            return 1;
        }
        double fixed_hz = 0;
        if (opt_.pace != "recorded" && opt_.pace != "fast") {
            fixed_hz = std::strtod(opt_.pace.c_str(), nullptr);
            if (fixed_hz <= 0) {
                std::fprintf(stderr, "zq-sim: --pace must be recorded, fast or a rate in Hz\n");
                return 2;
            }
        }
        replay_ = std::make_unique<ReplaySchedule>(std::move(epochs), fixed_hz, opt_.loops);
        log("replaying %s: %zu epochs", opt_.replay.c_str(), replay_->size());
    }

    signals_.open();
    timer_ = std::make_unique<EpochTimer>(replay_ != nullptr);
    control_.open(opt_.control);

    try {
        port_.plug();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zq-sim: cannot create device: %s\n", e.what());
        return 1;
    }
    log("device %s -> %s, control %s", opt_.link.c_str(), port_.slave_path().c_str(),
        opt_.control.c_str());
    const Generation& g = rx_.generation();
    const std::string kind = g.number ? "generation " + std::to_string(g.number) : "classic";
    log("receiver: %s (protocol %d.%02d), %s%s", kind.c_str(), g.protver_x100 / 100,
        g.protver_x100 % 100, uart_ ? "UART1" : "USB", opt_.flash ? "" : ", no flash");
    if (uart_) log("UART1 at %u baud", uart_->baud());
    const double start = clock_s(CLOCK_MONOTONIC);
    paused_ = opt_.paused;
    for (auto& [t, c] : opt_.at)
        events_.emplace(start + t, c);
    if (opt_.duration > 0) events_.emplace(start + opt_.duration, "quit");

    if (!replay_) {
        arm_epoch_timer();
    } else if (opt_.pace != "fast") {
        replay_->start(start);
        if (!paused_) timer_->arm_at(start);
    }
    return 0;
}

void Sim::loop() {
    const bool replaying = replay_ != nullptr;
    const bool fast = replaying && opt_.pace == "fast";
    while (!stop_) {
        if (fast && !done_ && !paused_ && out_.pending() < kFastLowWater && port_.plugged() &&
            !damage_.stalled(clock_s(CLOCK_MONOTONIC))) {
            if (!replay_epoch()) finish();
            continue;
        }
        pollfd fds[4] = {{signals_.fd(), POLLIN, 0},
                         {timer_->fd(), POLLIN, 0},
                         {control_.fd(), POLLIN, 0},
                         {port_.master(), POLLIN, 0}};
        double timeout = 3600;
        const double now = clock_s(CLOCK_MONOTONIC);
        if (out_.pending() > 0) {
            // A UART takes the next bytes only when the line has room for them.
            if (!uart_ || uart_->budget(now) > 0)
                fds[3].events |= POLLOUT;
            else
                timeout = std::min(timeout, uart_->ready_at(out_.pending()) - now);
        }
        if (!events_.empty()) timeout = std::min(timeout, events_.begin()->first - now);
        if (demux_.candidate_since() >= 0)
            timeout = std::min(timeout, demux_.candidate_since() + rtcm_patience() - now);
        if (fast && damage_.stalled(now)) timeout = std::min(timeout, damage_.stall_until() - now);
        if (done_ && (!replaying || opt_.exit_when_done))
            timeout = std::min(timeout, 0.02);  // waiting for the host to drain the pty
        timeout = std::max(timeout, 0.0);
        timespec ts{static_cast<time_t>(timeout),
                    static_cast<long>((timeout - std::floor(timeout)) * 1e9)};
        const int n = ppoll(fds, port_.plugged() ? 4 : 3, &ts, nullptr);
        if (n < 0 && errno != EINTR) {
            log("poll: %s", std::strerror(errno));
            break;
        }
        if (fds[0].revents & POLLIN) on_signals();
        if (fds[1].revents & POLLIN) on_timer();
        if (control_.fd() >= 0 && (fds[2].revents & POLLIN)) {
            for (const auto& line : control_.read_lines())
                if (auto c = parse_command(line)) apply(*c);
        }
        if (port_.plugged() && n > 0) {
            if (fds[3].revents & POLLIN) read_host();
            if (fds[3].revents & POLLOUT) flush();
        }
        const double t = clock_s(CLOCK_MONOTONIC);
        if (const auto gave_up = demux_.expire(t - rtcm_patience());
            gave_up != InputDemux::Candidate::None) {
            // An incomplete candidate held up what came after it: look at that afresh.
            if (gave_up == InputDemux::Candidate::Rtcm) log("bad RTCM3 truncated frame");
            take_input();
        }
        while (!events_.empty() && events_.begin()->first <= t) {
            const std::string c = events_.begin()->second;
            events_.erase(events_.begin());
            if (auto cmd = parse_command(c)) apply(*cmd);
        }
        if (done_ && (!replaying || opt_.exit_when_done) && out_.pending() == 0) {
            // Leave once the host has read everything still in the pty, or after a grace time.
            int pending = 0;
            if (!port_.plugged() || ioctl(port_.slave(), FIONREAD, &pending) != 0) pending = 0;
            if (pending == 0 || t - done_at_ > 5) stop_ = true;
        }
    }
}

int Sim::run() {
    if (const int rc = prepare()) return rc;
    loop();
    log("exit: %lld epochs, %lld NAV-PVT, %llu bytes written, %lld bursts dropped", epoch_count_,
        pvt_count_, static_cast<unsigned long long>(out_.written()), out_.dropped());
    port_.unplug();
    return 0;
}

}  // namespace zqsim
