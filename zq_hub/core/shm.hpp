// The NTP shared-memory refclock (ntpd, ntpsec, chrony's SHM driver) fed with the receiver's
// time: the segment of unit N (key 0x4E545030 + N) written with the count protocol, once per
// trusted NAV-PVT.
#pragma once

#include <ctime>
#include <string>

#include "timetrust.hpp"

namespace zq::hub {

// struct shmTime as ntpd, ntpsec, chrony and gpsd declare it.
struct ShmTime {
    int mode;  // 1: the count protocol
    volatile int count;
    time_t clockTimeStampSec;  // the receiver's UTC
    int clockTimeStampUSec;
    time_t receiveTimeStampSec;  // the receive time (CLOCK_REALTIME)
    int receiveTimeStampUSec;
    int leap;  // 0 none, 1 insert, 2 delete, 3 not in sync
    int precision;
    int nsamples;
    volatile int valid;
    unsigned clockTimeStampNSec;
    unsigned receiveTimeStampNSec;
    int dummy[8];
};
static_assert(sizeof(long) != 8 || sizeof(ShmTime) == 96, "the 64-bit layout");

inline constexpr int kShmKeyBase = 0x4E545030;  // "NTP0"
// log2 s of the serial-borne time: about a millisecond.
inline constexpr int kShmPrecision = -10;

// Writes one sample into SEG with the count protocol (valid cleared first, count bumped
// around the update, valid set last).
void shm_write(ShmTime* seg, const TimeSample& s) noexcept;

class ShmFeed final : public TimeFeed {
  public:
    // Throws std::invalid_argument for a unit outside 0..255.
    ShmFeed(Tap& tap, int unit, std::shared_ptr<const std::atomic<uint32_t>> max_tacc_ns, LogFn log,
            int64_t not_before = build_floor());
    ~ShmFeed() override;
    std::string_view name() const noexcept override { return "shm"; }
    int unit() const noexcept { return unit_; }

    // Units 0 and 1 are made 0600 (root's ntpd), others 0666, as ntpd makes them.
    static int mode_for(int unit) noexcept { return unit < 2 ? 0600 : 0666; }
    // A failed attach is tried again at most this often (s).
    static constexpr double kRetryEvery = 10;

  private:
    bool deliver(const TimeSample& s) override;
    std::string target() const override { return "NTP SHM unit " + std::to_string(unit_); }
    bool attach(double now);

    int unit_;
    ShmTime* seg_ = nullptr;
    double tried_at_ = -1e18;
    int outage_ = 0;
};

}  // namespace zq::hub
