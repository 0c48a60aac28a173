// The port writer's thread, queue and descriptor.
#include "port_writer.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

namespace zq::hub {
namespace {

double monotonic_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace

struct PortWriter::Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

PortWriter::PortWriter(PortWriterOptions options) : options_(options) {
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

PortWriter::~PortWriter() {
    stop();
    ::close(wake_fd_);
}

void PortWriter::attach(int fd) {
    std::shared_ptr<Fd> old;
    {
        std::lock_guard lock(mu_);
        old = std::exchange(fd_, std::make_shared<Fd>(fd));
        ++stats_.attaches;
        stats_.attached = true;
    }
    cv_.notify_all();
    // OLD, if a write still uses it, is closed when that write lets it go.
}

void PortWriter::detach() {
    std::shared_ptr<Fd> old;
    {
        std::lock_guard lock(mu_);
        old = std::move(fd_);
        stats_.attached = false;
    }
}

void PortWriter::start_locked() {
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
}

void PortWriter::drop_stale_locked(Clock::time_point now) {
    const auto max_age = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(options_.max_age));
    while (!queue_.empty() && now - queue_.front().queued > max_age) {
        queued_bytes_ -= queue_.front().bytes.size();
        queue_.pop_front();
        ++stats_.dropped.stale;
    }
}

bool PortWriter::submit(std::span<const uint8_t> frame) {
    {
        std::lock_guard lock(mu_);
        if (stopping_) {
            ++stats_.dropped.stopped;
            return false;
        }
        if (frame.size() > options_.max_queue_bytes) {
            ++stats_.dropped.too_large;
            return false;
        }
        const auto now = Clock::now();
        drop_stale_locked(now);
        while (!queue_.empty() && queued_bytes_ + frame.size() > options_.max_queue_bytes) {
            queued_bytes_ -= queue_.front().bytes.size();
            queue_.pop_front();
            ++stats_.dropped.queue_full;
        }
        try {
            queue_.push_back({std::vector<uint8_t>(frame.begin(), frame.end()), now});
        } catch (const std::exception&) {
            ++stats_.dropped.stopped;
            return false;
        }
        queued_bytes_ += frame.size();
        try {
            start_locked();
        } catch (const std::system_error&) {
            // Tried again at the next frame; this one waits in the queue meanwhile.
            stats_.last_error = "cannot start the port writer's thread";
        }
    }
    cv_.notify_all();
    return true;
}

void PortWriter::begin_external() {
    std::unique_lock lock(mu_);
    const auto me = std::this_thread::get_id();
    if (external_ && external_owner_ == me) return;  // nested: already held by this thread
    // Counted while waiting, so that the writer lets this write in before its next frame: a
    // busy queue would otherwise take the lock back first every time.
    ++external_waiting_;
    cv_.wait(lock, [&] { return !writing_ && !external_; });
    --external_waiting_;
    external_ = true;
    external_owner_ = me;
    ++stats_.external_writes;
}

void PortWriter::end_external() {
    {
        std::lock_guard lock(mu_);
        if (!external_ || external_owner_ != std::this_thread::get_id()) return;
        external_ = false;
        external_owner_ = {};
    }
    cv_.notify_all();
}

bool PortWriter::drain(std::chrono::nanoseconds timeout) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, timeout, [&] {
        return stopping_ || (queue_.empty() && !writing_);
    }) && !stopping_;
}

void PortWriter::stop() {
    std::thread t;
    {
        std::lock_guard lock(mu_);
        if (!stopping_) {
            stopping_ = true;
            stats_.dropped.stopped += queue_.size();
            queue_.clear();
            queued_bytes_ = 0;
            const uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = ::write(wake_fd_, &one, sizeof one);
        }
        t = std::move(thread_);
    }
    cv_.notify_all();
    if (t.joinable()) t.join();
    std::lock_guard lock(mu_);
    fd_.reset();
    stats_.attached = false;
}

PortWriterStats PortWriter::stats() const {
    std::lock_guard lock(mu_);
    PortWriterStats s = stats_;
    s.queued_frames = queue_.size();
    s.queued_bytes = queued_bytes_;
    return s;
}

bool PortWriter::write_frame(int fd, std::span<const uint8_t> frame, std::size_t* sent,
                             bool* timed_out, int* err) {
    *sent = 0;
    *timed_out = false;
    *err = 0;
    const int timeout_ms = static_cast<int>(options_.write_timeout * 1000);
    while (*sent < frame.size()) {
        const ssize_t n = ::write(fd, frame.data() + *sent, frame.size() - *sent);
        if (n > 0) {
            *sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            *err = errno;
            return false;
        }
        // The port takes no more for now: wait for room, or for the stop.
        pollfd fds[2] = {{fd, POLLOUT, 0}, {wake_fd_, POLLIN, 0}};
        const int r = ::poll(fds, 2, timeout_ms);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            *err = errno;
            return false;
        }
        if (r == 0) {
            *timed_out = true;
            return false;
        }
        if (fds[1].revents != 0) {
            *err = ECANCELED;
            return false;
        }
        if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
            // The write tells what the matter is (EIO for a device gone).
            const ssize_t m = ::write(fd, frame.data() + *sent, frame.size() - *sent);
            if (m > 0) {
                *sent += static_cast<std::size_t>(m);
                continue;
            }
            *err = m < 0 ? errno : EIO;
            return false;
        }
    }
    return true;
}

void PortWriter::run() {
    std::unique_lock lock(mu_);
    for (;;) {
        cv_.wait(lock, [&] {
            return stopping_ || (!queue_.empty() && fd_ && !external_ && external_waiting_ == 0);
        });
        if (stopping_) return;
        drop_stale_locked(Clock::now());
        if (queue_.empty()) continue;
        Frame frame = std::move(queue_.front());
        queue_.pop_front();
        queued_bytes_ -= frame.bytes.size();
        std::shared_ptr<Fd> fd = fd_;
        writing_ = true;
        lock.unlock();

        std::size_t sent = 0;
        bool timed_out = false;
        int err = 0;
        const bool ok = write_frame(fd->fd, frame.bytes, &sent, &timed_out, &err);
        const double done_at = monotonic_seconds();

        lock.lock();
        writing_ = false;
        if (ok) {
            ++stats_.frames_written;
            stats_.bytes_written += frame.bytes.size();
            stats_.last_write_mono = done_at;
        } else {
            if (sent > 0) {
                ++stats_.partial_frames;
                stats_.bytes_written += sent;
            }
            if (err == ECANCELED) {
                ++stats_.dropped.stopped;
            } else if (timed_out) {
                ++stats_.dropped.timeout;
                stats_.last_error = "the port took no bytes for the write time-out";
            } else {
                ++stats_.dropped.write_failed;
                stats_.last_error = std::string("write to the port: ") + std::strerror(err);
                // The device is gone: no more writes to it until the receiver opens a port.
                if (fd_ == fd) {
                    fd_.reset();
                    stats_.attached = false;
                }
            }
        }
        // Closed here, without the lock, when it was replaced meanwhile.
        lock.unlock();
        fd.reset();
        lock.lock();
        cv_.notify_all();
    }
}

}  // namespace zq::hub
