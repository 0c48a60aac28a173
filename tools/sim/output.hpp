// The receiver's transmit side: bytes waiting for the host, in order, and the truth lines that
// become true once their last byte has been written to the pty. Bounded: a burst that does not
// fit is dropped whole and its truth says so.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "truth.hpp"

namespace zqsim {

class OutputQueue {
  public:
    // Bytes waiting for the host; beyond it bursts drop (nobody is reading).
    static constexpr size_t kCap = 64 * 1024;

    // A truth line and the offset, within its burst, just past the frame it tells of.
    struct Mark {
        size_t end;
        std::string truth;
    };
    // What the line does to the bytes on their way (a UART at the wrong speed).
    using Garble = std::function<std::string(std::string_view)>;

    explicit OutputQueue(TruthLog& truth) : truth_(truth) {}

    // Queues a burst. epoch_truth, when there are no marks, is the truth of an epoch that sent
    // no NAV-PVT: true once the whole burst is out. refused (nullptr: accepted) names why the
    // burst cannot go out at all; one that would take the queue past cap is refused with
    // "overflow". Returns whether the burst was queued.
    bool push(std::string bytes, std::vector<Mark> marks, const std::string& epoch_truth,
              const char* refused, size_t cap = kCap);
    // Runs action once every byte queued so far has been written (dropped with the queue).
    void after_written(std::function<void()> action);
    // Writes up to limit bytes, as much as fd takes now, then reports the truth lines whose
    // bytes are out. With garble, what reaches fd is garble's output, best effort, and the
    // frames in it count as not sent (reason "baud"). Returns the queued bytes consumed.
    size_t flush(int fd, size_t limit = SIZE_MAX, const Garble* garble = nullptr);
    // Forgets everything queued (the device went away); pending truth goes out unsent.
    void drop_all(const char* reason);

    size_t pending() const { return out_.size() - head_; }
    uint64_t written() const { return written_total_; }
    long long dropped() const { return dropped_; }

  private:
    struct Pending {
        uint64_t end;  // in bytes queued since start
        std::string truth;
        std::function<void()> action;
    };
    void report_written(const char* reason);

    TruthLog& truth_;
    std::string out_;
    size_t head_ = 0;
    uint64_t queued_total_ = 0, written_total_ = 0;
    std::deque<Pending> marks_;
    long long dropped_ = 0;
};

}  // namespace zqsim
