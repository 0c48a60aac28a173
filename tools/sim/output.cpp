// The transmit queue (see output.hpp).
#include "output.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "log.hpp"
#include "pacing.hpp"

namespace zqsim {

bool OutputQueue::push(std::string bytes, std::vector<Mark> marks, const std::string& epoch_truth,
                       const char* refused, size_t cap) {
    if (!refused && pending() + bytes.size() > cap) {
        refused = "overflow";
        ++dropped_;
    }
    if (refused) {
        const double now = clock_s(CLOCK_MONOTONIC), wall = clock_s(CLOCK_REALTIME);
        for (auto& m : marks)
            truth_.write(m.truth, false, refused, now, wall);
        if (marks.empty() && !epoch_truth.empty())
            truth_.write(epoch_truth, false, refused, now, wall);
        return false;
    }
    for (auto& m : marks)
        marks_.push_back({queued_total_ + m.end, std::move(m.truth), {}});
    if (marks.empty() && !epoch_truth.empty())
        marks_.push_back({queued_total_ + bytes.size(), epoch_truth, {}});
    out_ += bytes;
    queued_total_ += bytes.size();
    return true;
}

void OutputQueue::after_written(std::function<void()> action) {
    if (pending() == 0) {
        action();
        return;
    }
    marks_.push_back({queued_total_, {}, std::move(action)});
}

size_t OutputQueue::flush(int fd, size_t limit, const Garble* garble) {
    const uint64_t before = written_total_;
    if (garble && pending() > 0 && limit > 0) {
        const size_t n = std::min(limit, pending());
        const std::string junk = (*garble)(std::string_view(out_).substr(head_, n));
        if (!junk.empty() && ::write(fd, junk.data(), junk.size()) < 0 && errno != EAGAIN)
            log("write: %s", std::strerror(errno));
        head_ += n;
        written_total_ += n;
    }
    while (!garble && head_ < out_.size() && written_total_ - before < limit) {
        const size_t want = std::min(out_.size() - head_, limit - (written_total_ - before));
        ssize_t n = ::write(fd, out_.data() + head_, want);
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
    report_written(garble ? "baud" : nullptr);
    return static_cast<size_t>(written_total_ - before);
}

void OutputQueue::report_written(const char* reason) {
    if (marks_.empty() || marks_.front().end > written_total_) return;
    const double now = clock_s(CLOCK_MONOTONIC), wall = clock_s(CLOCK_REALTIME);
    while (!marks_.empty() && marks_.front().end <= written_total_) {
        Pending p = std::move(marks_.front());
        marks_.pop_front();
        if (p.action)
            p.action();
        else
            truth_.write(p.truth, reason == nullptr, reason ? reason : "", now, wall);
    }
}

void OutputQueue::drop_all(const char* reason) {
    const double now = clock_s(CLOCK_MONOTONIC), wall = clock_s(CLOCK_REALTIME);
    for (auto& m : marks_)
        if (!m.action) truth_.write(m.truth, false, reason, now, wall);
    marks_.clear();
    out_.clear();
    head_ = 0;
    written_total_ = queued_total_;
}

}  // namespace zqsim
