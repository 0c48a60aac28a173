// The NTP shared-memory segment, written as gpsd and ntpd's own drivers expect.
#include "shm.hpp"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace zq::hub {

void shm_write(ShmTime* seg, const TimeSample& s) noexcept {
    double whole = std::floor(s.rx_real);
    auto rx_ns = static_cast<int64_t>(std::llround((s.rx_real - whole) * 1e9));
    if (rx_ns >= 1'000'000'000) {
        rx_ns -= 1'000'000'000;
        whole += 1;
    }
    seg->valid = 0;
    seg->count = seg->count + 1;
    std::atomic_thread_fence(std::memory_order_seq_cst);
    seg->mode = 1;
    seg->clockTimeStampSec = static_cast<time_t>(s.utc_sec);
    seg->clockTimeStampUSec = s.utc_nsec / 1000;
    seg->clockTimeStampNSec = static_cast<unsigned>(s.utc_nsec);
    seg->receiveTimeStampSec = static_cast<time_t>(whole);
    seg->receiveTimeStampUSec = static_cast<int>(rx_ns / 1000);
    seg->receiveTimeStampNSec = static_cast<unsigned>(rx_ns);
    seg->leap = static_cast<int>(s.leap);
    seg->precision = kShmPrecision;
    seg->nsamples = 3;
    std::atomic_thread_fence(std::memory_order_seq_cst);
    seg->count = seg->count + 1;
    seg->valid = 1;
}

ShmFeed::ShmFeed(Tap& tap, int unit, std::shared_ptr<const std::atomic<uint32_t>> max_tacc_ns,
                 LogFn log, int64_t not_before)
    : TimeFeed(tap, std::move(max_tacc_ns), std::move(log), not_before), unit_(unit) {
    if (unit < 0 || unit > 255)
        throw std::invalid_argument("NTP SHM unit must be 0 to 255, not " + std::to_string(unit));
    start();
}

ShmFeed::~ShmFeed() {
    stop();
    if (seg_) shmdt(seg_);
}

bool ShmFeed::attach(double now) {
    if (seg_) return true;
    if (now - tried_at_ < kRetryEvery) return false;
    tried_at_ = now;
    const int id = shmget(kShmKeyBase + unit_, sizeof(ShmTime), IPC_CREAT | mode_for(unit_));
    void* p = id < 0 ? reinterpret_cast<void*>(-1) : shmat(id, nullptr, 0);
    if (p == reinterpret_cast<void*>(-1)) {
        const int err = errno;
        if (err != outage_) {
            outage_ = err;
            std::string text = "cannot attach NTP SHM unit " + std::to_string(unit_) + " (key 0x" +
                               [](int k) {
                                   char b[16];
                                   std::snprintf(b, sizeof b, "%08X", k);
                                   return std::string(b);
                               }(kShmKeyBase + unit_) +
                               "): " + std::strerror(err);
            if (err == EACCES)
                text +=
                    "; units 0 and 1 are root's (ntpd makes them 0600): run zq-hub as root "
                    "or use a unit of 2 or more";
            else if (err == EINVAL)
                text += "; a segment of another size has that key (ipcs -m)";
            log(LogLevel::warning, text + "; trying again every 10 s");
        }
        return false;
    }
    seg_ = static_cast<ShmTime*>(p);
    outage_ = 0;
    log(LogLevel::info, "writing " + target());
    return true;
}

bool ShmFeed::deliver(const TimeSample& s) {
    if (!attach(s.rx_mono)) return false;
    shm_write(seg_, s);
    return true;
}

}  // namespace zq::hub
