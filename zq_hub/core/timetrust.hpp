// When the receiver's time deserves trust: the one rule behind the chrony and NTP feeds and the
// host's view of GNSS time. Each NAV-PVT is judged from its own flags and from the solutions
// before it; NAV-TIMELS supplies the leap-second announcement.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>

#include "civil.hpp"
#include "hub.hpp"
#include "pvt.hpp"
#include "tap.hpp"

namespace zq::hub {

// Why a solution's time is not trusted (trusted: it is).
enum class Verdict : uint8_t {
    trusted,
    not_live,      // read while the reader had no live data, or the first after such a spell
    no_fix,        // no GNSS fix (fixType none or dead reckoning only, or gnssFixOk clear)
    invalid,       // validDate or validTime clear
    unresolved,    // fullyResolved clear
    unconfirmed,   // the receiver reports confirmation and did not confirm date and time
    inaccurate,    // tAcc above the bound
    leap_second,   // second 60: no POSIX time names it
    before_build,  // a date before the build's
    rollover,      // a multiple of 1024 weeks from the last trusted time
    not_newer,     // the same epoch again, or an earlier one
    first,         // the first with a time since the reader went live: nothing to check it by
    unsteady,      // its receive time disagrees with the solution before (a late read)
};

const char* to_string(Verdict v) noexcept;

enum class Leap : uint8_t { none = 0, insert = 1, remove = 2 };  // chrony's and NTP's codes

// The first day this build accepts: the release's date ZQ_BUILD_DATE (YYYYMMDD, from the
// changelog), one day earlier for time zones.
int64_t build_floor() noexcept;  // seconds since 1970

struct TrustRule {
    uint32_t max_tacc_ns = 1'000'000;  // tAcc bound
    int64_t not_before = build_floor();
};

// One NAV-PVT as judged.
struct TimeSample {
    int64_t utc_sec = 0;  // the solution's UTC (sec + nano, normalised)
    int32_t utc_nsec = 0;
    double accuracy = 0;  // tAcc, s
    double rx_mono = 0;   // CLOCK_MONOTONIC at the read that took its last byte
    double rx_real = 0;   // CLOCK_REALTIME at that read: the receive time
    Verdict verdict = Verdict::not_live;
    Leap leap = Leap::none;  // announced for the end of this UTC month
    bool has_time = false;   // utc_* hold a date and time (validDate and validTime, in range)

    bool trusted() const noexcept { return verdict == Verdict::trusted; }
    double utc() const noexcept { return static_cast<double>(utc_sec) + utc_nsec * 1e-9; }
    // Receiver UTC minus receive time, s, computed without losing the nanoseconds.
    double offset() const noexcept;
};

class TimeTrust {
  public:
    explicit TimeTrust(TrustRule rule = {}) : rule_(rule) {}

    // Every item the consumer receives: NAV-PVT gives a judged sample; NAV-TIMELS and state
    // changes only update what later judgements use.
    std::optional<TimeSample> feed(const Item& item);
    // Judges a decoded NAV-PVT read at (rx_mono, rx_real) with the reader in STATE.
    TimeSample judge(const Pvt& pvt, State state, double rx_mono, double rx_real);
    void note_timels(std::span<const uint8_t> frame, double rx_mono);
    void note_state(State state);

    const TrustRule& rule() const noexcept { return rule_; }
    void set_rule(TrustRule rule) noexcept { rule_ = rule; }

    // Consecutive solutions whose (UTC - monotonic receive time) differ by more than this are
    // unsteady (also never more than half the epoch interval).
    static constexpr double kMaxStep = 0.1;
    // A jump counts as a rollover within this much of a multiple of 1024 weeks.
    static constexpr double kRolloverSlack = 86400;
    static constexpr double kRolloverPeriod = 1024.0 * 7 * 86400;
    // NAV-TIMELS older than this is not used.
    static constexpr double kTimelsMaxAge = 3600;

  private:
    Leap leap_for(int64_t utc_sec, double rx_mono) const;

    TrustRule rule_;
    State state_ = State::stopped;
    // The last solution with a date and time in this live spell: UTC - rx_mono and its UTC.
    std::optional<double> prev_bias_;
    double prev_utc_ = 0;
    // The last trusted solution's UTC - rx_mono in this live spell, and across spells (for the
    // rollover check).
    std::optional<double> spell_bias_;
    std::optional<double> anchor_bias_;
    struct Timels {
        double rx_mono = 0;
        int8_t ls_change = 0;
        int32_t time_to_event = 0;
        bool valid_event = false;
    };
    std::optional<Timels> timels_;
};

enum class LogLevel : uint8_t { info, warning };
// Hands one line to the host's log; called on a feed's own thread, must not block.
using LogFn = std::function<void(LogLevel, const std::string&)>;

struct FeedStats {
    uint64_t solutions = 0;  // NAV-PVT judged
    uint64_t sent = 0;       // trusted samples delivered
    uint64_t refused = 0;    // not trusted
    uint64_t lost = 0;       // trusted, but the delivery failed (no socket, no segment, full)
    uint64_t dropped = 0;    // items the feed's queue lost (it fell behind the reader)
    Verdict last = Verdict::not_live;
};

// A time feed: its own thread judges every NAV-PVT the tap publishes and delivers each trusted
// one; the reader never waits for it. The tAcc bound is read at every judgement, so a change
// reaches running feeds.
class TimeFeed : public Service {
  public:
    TimeFeed(Tap& tap, std::shared_ptr<const std::atomic<uint32_t>> max_tacc_ns, LogFn log,
             int64_t not_before = build_floor());
    ~TimeFeed() override;
    void stop() override;
    FeedStats stats() const;

    static constexpr std::size_t kQueue = 64;
    // Trust changes are logged at most this often (s).
    static constexpr double kTrustLogEvery = 60;

  protected:
    // Derived constructors call start() last, and their destructors stop() first.
    void start();
    // Delivers one trusted sample; false when it could not go out (logged by the feed).
    virtual bool deliver(const TimeSample& s) = 0;
    // What the log lines name: "chrony socket /run/..", "NTP SHM unit 2".
    virtual std::string target() const = 0;
    void log(LogLevel level, const std::string& text) const;

  private:
    void run();
    void note_trust(const TimeSample& s);

    Tap& tap_;
    std::shared_ptr<const std::atomic<uint32_t>> max_tacc_ns_;
    LogFn log_;
    std::shared_ptr<Consumer> consumer_;
    TimeTrust trust_;
    mutable std::mutex mu_;
    FeedStats stats_;
    std::thread thread_;
    std::once_flag stopped_;
    // Trust as last logged (nullopt: never), and when (CLOCK_MONOTONIC s).
    std::optional<bool> logged_trusted_;
    double logged_at_ = -1e18;
    double first_at_ = -1;
};

}  // namespace zq::hub
