// When epochs happen. A synthetic receiver computes a solution on every whole multiple of its
// period in UTC, as a real one does in GPS time; a replayed recording keeps its own pace (the
// gaps between its epochs), a fixed rate, or goes as fast as the host reads.
#pragma once

#include <time.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "replay.hpp"

namespace zqsim {

inline double clock_s(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}
inline int64_t realtime_ms() {
    return static_cast<int64_t>(std::floor(clock_s(CLOCK_REALTIME) * 1000));
}

// A timerfd that fires once per epoch: on the UTC grid for synthetic epochs, at monotonic
// deadlines for replay.
class EpochTimer {
  public:
    explicit EpochTimer(bool monotonic);
    ~EpochTimer();
    EpochTimer(const EpochTimer&) = delete;
    EpochTimer& operator=(const EpochTimer&) = delete;

    int fd() const { return fd_; }
    // Arms for the next whole multiple of period_ms in UTC; returns that epoch's time in ms.
    // With shift_ms, in a clock that is that far ahead of UTC: fires when UTC + shift_ms is a
    // whole multiple and returns the multiple.
    int64_t arm_on_grid(int64_t period_ms, int64_t shift_ms = 0);
    // Arms for an absolute time on the timer's clock, in seconds.
    void arm_at(double t);
    void disarm();
    // Consumes an expiry; false when the timer had not fired.
    bool fired();

  private:
    int fd_;
};

// The order and due times of a recording's epochs over one or more passes.
class ReplaySchedule {
  public:
    // fixed_hz > 0 paces at that rate; else at the recording's own times, where a gap or a
    // jump (none, backwards or over 30 s) counts as one nominal period. loops 0 = forever.
    ReplaySchedule(std::vector<ReplayEpoch> epochs, double fixed_hz, long long loops);

    bool empty() const { return epochs_.empty(); }
    size_t size() const { return epochs_.size(); }
    // The next epoch, starting a new pass after the last one; nullptr once every pass is done.
    const ReplayEpoch* next();
    // Monotonic time at which the epoch that next() returns is due.
    double due() const;
    // The first pass starts at now.
    void start(double now) { base_ = now; }
    // After a pause: the next epoch becomes due now. False at the end of a pass.
    bool resume(double now);

  private:
    std::vector<ReplayEpoch> epochs_;
    std::vector<double> offset_;  // of each epoch from the start of its pass
    double period_ = 1.0;         // between the last epoch of a pass and the next pass
    size_t pos_ = 0;
    long long loop_ = 0, loops_;
    double base_ = 0;
};

}  // namespace zqsim
