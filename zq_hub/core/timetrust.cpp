// The trust rule for the receiver's time, and the thread every time feed runs.
#include "timetrust.hpp"

#include <cmath>
#include <cstdio>
#include <exception>
#include <string_view>

namespace zq::hub {
namespace {

constexpr uint16_t kNavPvt = 0x0107;
constexpr uint16_t kNavTimels = 0x0126;

}  // namespace

const char* to_string(Verdict v) noexcept {
    switch (v) {
        case Verdict::trusted:
            return "trusted";
        case Verdict::not_live:
            return "the reader has no live data (stale, stopped, or just back)";
        case Verdict::no_fix:
            return "no GNSS fix";
        case Verdict::invalid:
            return "date or time not valid";
        case Verdict::unresolved:
            return "time not fully resolved";
        case Verdict::unconfirmed:
            return "date or time not confirmed by the receiver";
        case Verdict::inaccurate:
            return "time accuracy (tAcc) above the bound";
        case Verdict::leap_second:
            return "inside a leap second";
        case Verdict::before_build:
            return "date before this build's";
        case Verdict::rollover:
            return "jumped by a multiple of 1024 weeks from the last trusted time";
        case Verdict::not_newer:
            return "not newer than the solution before";
        case Verdict::first:
            return "first solution with a time: waiting for the next to check it";
        case Verdict::unsteady:
            return "receive time disagrees with the solution before (late read)";
    }
    return "?";
}

int64_t build_floor() noexcept {
    // The release's date (YYYYMMDD), from the build (zq_hub/CMakeLists.txt).
    constexpr long v = ZQ_BUILD_DATE;
    static const int64_t days = days_from_civil(v / 10000, (v / 100) % 100, v % 100);
    return (days - 1) * 86400;
}

double TimeSample::offset() const noexcept {
    const double whole = std::floor(rx_real);
    return (static_cast<double>(utc_sec) - whole) + (utc_nsec * 1e-9 - (rx_real - whole));
}

// ---------------------------------------------------------------------------------------------
// TimeTrust

std::optional<TimeSample> TimeTrust::feed(const Item& item) {
    if (item.kind == Kind::state) {
        note_state(item.state);
        return std::nullopt;
    }
    if (item.kind != Kind::ubx) return std::nullopt;
    if (item.key() == kNavTimels) {
        note_timels(item.bytes, item.rx_mono);
        return std::nullopt;
    }
    if (item.key() != kNavPvt) return std::nullopt;
    const auto pvt = decode_pvt(item.bytes);
    if (!pvt) return std::nullopt;
    return judge(*pvt, item.state, item.rx_mono, item.rx_real);
}

void TimeTrust::note_state(State state) {
    if (state != State::live) {
        prev_bias_.reset();
        spell_bias_.reset();
    }
    state_ = state;
}

void TimeTrust::note_timels(std::span<const uint8_t> frame, double rx_mono) {
    // Payload offsets (24 bytes): lsChange I1 @11, timeToLsEvent I4 @12, valid X1 @23.
    if (frame.size() != 24 + 8) return;
    const uint8_t* p = frame.data() + 6;
    Timels t;
    t.rx_mono = rx_mono;
    t.ls_change = static_cast<int8_t>(p[11]);
    t.time_to_event = static_cast<int32_t>(
        static_cast<uint32_t>(p[12]) | static_cast<uint32_t>(p[13]) << 8 |
        static_cast<uint32_t>(p[14]) << 16 | static_cast<uint32_t>(p[15]) << 24);
    t.valid_event = (p[23] & 0x02) != 0;
    timels_ = t;
}

Leap TimeTrust::leap_for(int64_t utc_sec, double rx_mono) const {
    if (!timels_ || !timels_->valid_event || timels_->ls_change == 0) return Leap::none;
    const double age = rx_mono - timels_->rx_mono;
    if (age < -1 || age > kTimelsMaxAge) return Leap::none;
    const double remaining = timels_->time_to_event - age;
    if (remaining <= 0) return Leap::none;
    // The event ends a UTC day; announce it only in the month whose end it is.
    const auto event = utc_sec + static_cast<int64_t>(std::llround(remaining));
    const Civil now = civil_from_days(utc_sec >= 0 ? utc_sec / 86400 : (utc_sec - 86399) / 86400);
    const int64_t last = event - 1;
    const Civil before = civil_from_days(last >= 0 ? last / 86400 : (last - 86399) / 86400);
    if (now.year != before.year || now.month != before.month) return Leap::none;
    return timels_->ls_change > 0 ? Leap::insert : Leap::remove;
}

TimeSample TimeTrust::judge(const Pvt& pvt, State state, double rx_mono, double rx_real) {
    TimeSample s;
    s.accuracy = pvt.tAcc * 1e-9;
    s.rx_mono = rx_mono;
    s.rx_real = rx_real;
    if (pvt.validDate && pvt.validTime) {
        if (const auto secs = pvt.utc_seconds()) {
            int64_t sec = *secs;
            int64_t ns = pvt.nano;
            sec += ns / 1'000'000'000;
            ns %= 1'000'000'000;
            if (ns < 0) {
                ns += 1'000'000'000;
                --sec;
            }
            s.utc_sec = sec;
            s.utc_nsec = static_cast<int32_t>(ns);
            s.has_time = true;
        }
    }
    if (state != State::live) note_state(state);
    const bool fix = pvt.gnssFixOk && pvt.fixType >= 2 && pvt.fixType <= 5;
    // UTC minus the monotonic receive time: steady while the reader keeps up, whatever the
    // system clock does.
    const double bias =
        s.has_time ? (static_cast<double>(s.utc_sec) - rx_mono) + s.utc_nsec * 1e-9 : 0;
    const auto prev = prev_bias_;
    const double prev_utc = prev_utc_;
    // The history follows every solution with a time (a leap second's has no POSIX time).
    if (s.has_time && pvt.second != 60) {
        prev_bias_ = bias;
        prev_utc_ = s.utc();
    }
    Verdict v = Verdict::trusted;
    if (state != State::live) {
        v = Verdict::not_live;
    } else if (!fix) {
        v = Verdict::no_fix;
    } else if (!s.has_time) {
        v = Verdict::invalid;
    } else if (!pvt.fullyResolved) {
        v = Verdict::unresolved;
    } else if (pvt.confirmedAvai && !(pvt.confirmedDate && pvt.confirmedTime)) {
        v = Verdict::unconfirmed;
    } else if (pvt.tAcc > rule_.max_tacc_ns) {
        v = Verdict::inaccurate;
    } else if (pvt.second == 60) {
        v = Verdict::leap_second;
    } else if (s.utc_sec < rule_.not_before) {
        v = Verdict::before_build;
    } else {
        const double jump = anchor_bias_ ? bias - *anchor_bias_ : 0;
        const double periods = std::nearbyint(jump / kRolloverPeriod);
        if (periods != 0 && std::fabs(jump - periods * kRolloverPeriod) < kRolloverSlack) {
            v = Verdict::rollover;
        } else if (!prev) {
            v = Verdict::first;
        } else if (s.utc() <= prev_utc) {
            v = Verdict::not_newer;
        } else {
            // Steady with the solution before, or with the last trusted one of this spell (so
            // that one late read does not also spoil the solution after it).
            const double limit = std::min(kMaxStep, (s.utc() - prev_utc) / 2);
            const bool steady = std::fabs(bias - *prev) <= limit ||
                                (spell_bias_ && std::fabs(bias - *spell_bias_) <= limit);
            if (!steady) v = Verdict::unsteady;
        }
    }
    s.verdict = v;
    if (v == Verdict::trusted) {
        anchor_bias_ = bias;
        spell_bias_ = bias;
        s.leap = leap_for(s.utc_sec, rx_mono);
    }
    return s;
}

// ---------------------------------------------------------------------------------------------
// TimeFeed

TimeFeed::TimeFeed(Tap& tap, std::shared_ptr<const std::atomic<uint32_t>> max_tacc_ns, LogFn log,
                   int64_t not_before)
    : tap_(tap), max_tacc_ns_(std::move(max_tacc_ns)), log_(std::move(log)) {
    Interest interest;
    interest.ubx_keys = {kNavPvt, kNavTimels};
    consumer_ = tap_.subscribe(interest, kQueue);
    trust_.set_rule({max_tacc_ns_->load(), not_before});
}

TimeFeed::~TimeFeed() {
    stop();
}

void TimeFeed::start() {
    thread_ = std::thread([this] { run(); });
}

void TimeFeed::stop() {
    std::call_once(stopped_, [this] {
        consumer_->close();
        if (thread_.joinable()) thread_.join();
        tap_.unsubscribe(consumer_);
    });
}

FeedStats TimeFeed::stats() const {
    std::lock_guard lock(mu_);
    FeedStats s = stats_;
    s.dropped = consumer_->dropped();
    return s;
}

void TimeFeed::log(LogLevel level, const std::string& text) const {
    try {
        if (log_) log_(level, text);
    } catch (const std::exception&) {
        // A line that cannot be made or queued is lost; the feed goes on.
    }
}

void TimeFeed::note_trust(const TimeSample& s) {
    const double now = s.rx_mono;
    if (first_at_ < 0) first_at_ = now;
    const bool trusted = s.trusted();
    const bool changed = logged_trusted_ ? *logged_trusted_ != trusted : trusted;
    // Never trusted for a while: say why once, so a silent feed explains itself.
    const bool overdue = !logged_trusted_ && !trusted && now - first_at_ >= kTrustLogEvery;
    if (!(changed || overdue) || now - logged_at_ < kTrustLogEvery) return;
    logged_trusted_ = trusted;
    logged_at_ = now;
    char buf[160];
    if (trusted) {
        std::snprintf(buf, sizeof buf, "receiver time trusted (accuracy %.0f ns): sending to ",
                      s.accuracy * 1e9);
        log(LogLevel::info, buf + target());
    } else {
        log(LogLevel::warning, "receiver time not trusted (" + std::string(to_string(s.verdict)) +
                                   "): nothing goes to " + target() + " until it is");
    }
}

void TimeFeed::run() {
    while (ItemPtr item = consumer_->pop()) {
        trust_.set_rule({max_tacc_ns_->load(std::memory_order_relaxed), trust_.rule().not_before});
        const auto s = trust_.feed(*item);
        if (!s) continue;
        bool sent = false;
        if (s->trusted()) {
            try {
                sent = deliver(*s);
            } catch (const std::exception&) {
                sent = false;
            }
        }
        {
            std::lock_guard lock(mu_);
            ++stats_.solutions;
            stats_.last = s->verdict;
            if (!s->trusted()) {
                ++stats_.refused;
            } else if (sent) {
                ++stats_.sent;
            } else {
                ++stats_.lost;
            }
        }
        note_trust(*s);
    }
}

}  // namespace zq::hub
