// The transmit queue (see output.hpp).
#include "output.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "log.hpp"
#include "pacing.hpp"

namespace zqsim {

void OutputQueue::push(std::string bytes, std::vector<Mark> marks, const std::string& epoch_truth,
                       const char* refused) {
    if (!refused && pending() + bytes.size() > kCap) {
        refused = "overflow";
        ++dropped_;
    }
    if (refused) {
        const double now = clock_s(CLOCK_MONOTONIC), wall = clock_s(CLOCK_REALTIME);
        for (auto& m : marks)
            truth_.write(m.truth, false, refused, now, wall);
        if (marks.empty() && !epoch_truth.empty())
            truth_.write(epoch_truth, false, refused, now, wall);
        return;
    }
    for (auto& m : marks)
        marks_.push_back({queued_total_ + m.end, std::move(m.truth)});
    if (marks.empty() && !epoch_truth.empty())
        marks_.push_back({queued_total_ + bytes.size(), epoch_truth});
    out_ += bytes;
    queued_total_ += bytes.size();
}

void OutputQueue::flush(int fd) {
    while (head_ < out_.size()) {
        ssize_t n = ::write(fd, out_.data() + head_, out_.size() - head_);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN) log("write: %s", std::strerror(errno));
            break;
        }
        head_ += static_cast<size_t>(n);
        written_total_ += static_cast<uint64_t>(n);
    }
    if (head_ == out_.size()) {
        out_.clear();
        head_ = 0;
    } else if (head_ > kCap) {
        out_.erase(0, head_);
        head_ = 0;
    }
    report_written();
}

void OutputQueue::report_written() {
    if (marks_.empty() || marks_.front().end > written_total_) return;
    const double now = clock_s(CLOCK_MONOTONIC), wall = clock_s(CLOCK_REALTIME);
    while (!marks_.empty() && marks_.front().end <= written_total_) {
        truth_.write(marks_.front().truth, true, "", now, wall);
        marks_.pop_front();
    }
}

void OutputQueue::drop_all(const char* reason) {
    const double now = clock_s(CLOCK_MONOTONIC), wall = clock_s(CLOCK_REALTIME);
    for (auto& m : marks_)
        truth_.write(m.truth, false, reason, now, wall);
    marks_.clear();
    out_.clear();
    head_ = 0;
    written_total_ = queued_total_;
}

}  // namespace zqsim
