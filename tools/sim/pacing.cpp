// Epoch timer and replay schedule (see pacing.hpp).
#include "pacing.hpp"

#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <optional>

namespace zqsim {

EpochTimer::EpochTimer(bool monotonic)
    : fd_(timerfd_create(monotonic ? CLOCK_MONOTONIC : CLOCK_REALTIME,
                         TFD_CLOEXEC | TFD_NONBLOCK)) {}

EpochTimer::~EpochTimer() {
    if (fd_ >= 0) ::close(fd_);
}

int64_t EpochTimer::arm_on_grid(int64_t period_ms, int64_t shift_ms) {
    const int64_t now = realtime_ms() + shift_ms;
    const int64_t next = (now / period_ms + 1) * period_ms;
    const int64_t at = next - shift_ms;
    itimerspec its{};
    its.it_value.tv_sec = at / 1000;
    its.it_value.tv_nsec = (at % 1000) * 1000000;
    timerfd_settime(fd_, TFD_TIMER_ABSTIME, &its, nullptr);
    return next;
}

void EpochTimer::arm_at(double t) {
    itimerspec its{};
    its.it_value.tv_sec = static_cast<time_t>(t);
    // A zero it_value would disarm the timer instead.
    its.it_value.tv_nsec = std::max(1L, static_cast<long>((t - std::floor(t)) * 1e9));
    timerfd_settime(fd_, TFD_TIMER_ABSTIME, &its, nullptr);
}

void EpochTimer::disarm() {
    itimerspec off{};
    timerfd_settime(fd_, 0, &off, nullptr);
}

bool EpochTimer::fired() {
    uint64_t expirations = 0;
    return ::read(fd_, &expirations, sizeof expirations) == sizeof expirations;
}

ReplaySchedule::ReplaySchedule(std::vector<ReplayEpoch> epochs, double fixed_hz, long long loops)
    : epochs_(std::move(epochs)), loops_(loops) {
    std::optional<double> last_t;
    double off = 0;
    for (const auto& e : epochs_) {
        if (fixed_hz > 0) {
            period_ = 1.0 / fixed_hz;
            if (!offset_.empty()) off += period_;
        } else if (e.time_s && last_t) {
            const double d = *e.time_s - *last_t;
            if (d > 0 && d <= 30) period_ = d;
            off += (d > 0 && d <= 30) ? d : period_;
        }
        if (e.time_s) last_t = e.time_s;
        offset_.push_back(off);
    }
}

const ReplayEpoch* ReplaySchedule::next() {
    if (pos_ >= epochs_.size()) {
        ++loop_;
        if (loops_ != 0 && loop_ >= loops_) return nullptr;
        base_ += offset_.back() + period_;
        pos_ = 0;
    }
    return &epochs_[pos_++];
}

double ReplaySchedule::due() const {
    if (pos_ >= epochs_.size()) return base_ + offset_.back() + period_;
    return base_ + offset_[pos_];
}

bool ReplaySchedule::resume(double now) {
    if (pos_ >= epochs_.size()) return false;
    base_ = now - offset_[pos_];
    return true;
}

}  // namespace zqsim
