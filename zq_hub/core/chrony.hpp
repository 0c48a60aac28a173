// chrony's SOCK refclock fed with the receiver's time: one datagram per trusted NAV-PVT, to the
// Unix datagram socket chronyd binds for `refclock SOCK PATH`.
#pragma once

#include <sys/time.h>

#include <string>

#include "timetrust.hpp"

namespace zq::hub {

// chrony's struct sock_sample, in the native layout chronyd's own build uses.
struct SockSample {
    timeval tv;     // receive time (CLOCK_REALTIME)
    double offset;  // receiver UTC minus tv, s
    int pulse;      // 0: a complete time
    int leap;       // 0 none, 1 insert, 2 delete
    int _pad;       // 0
    int magic;      // kSockMagic
};
inline constexpr int kSockMagic = 0x534f434b;  // "SOCK"
static_assert(sizeof(long) != 8 || sizeof(SockSample) == 40, "chrony 4.3's 64-bit layout");

SockSample sock_sample(const TimeSample& s) noexcept;

class ChronyFeed final : public TimeFeed {
  public:
    // Throws std::invalid_argument for a path that cannot name a Unix socket, std::system_error
    // when no socket can be made.
    ChronyFeed(Tap& tap, std::string path, std::shared_ptr<const std::atomic<uint32_t>> max_tacc_ns,
               LogFn log, int64_t not_before = build_floor());
    ~ChronyFeed() override;
    std::string_view name() const noexcept override { return "chrony"; }
    const std::string& path() const noexcept { return path_; }

  private:
    bool deliver(const TimeSample& s) override;
    std::string target() const override { return "chrony socket " + path_; }
    void report(int err);

    std::string path_;
    int fd_ = -1;
    int outage_ = 0;  // errno of the failure logged for the current outage; 0: none
    bool ever_sent_ = false;
};

}  // namespace zq::hub
