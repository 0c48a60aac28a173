// A host's queue: what one waiter, iterator or subscription of the binding receives from the
// reader (messages, state changes), bounded, with a drop count and an optional eventfd for an
// event loop. Items are opaque to it (the binding queues its message objects); the producer
// never blocks, and a full queue loses its oldest item. Also the message names the host uses
// ("NAV-SAT"), resolved to the class/id keys the frames carry.
#pragma once

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>

namespace zq::hub {

// The class/id key (class << 8 | id) of the message IDENTITY: a catalogue name ("NAV-PVT") or
// the codec's name of a message it does not know ("UNKNOWN-0x01-0x99", hex digits in any case).
std::optional<uint16_t> key_of(std::string_view identity) noexcept;

template <class T>
class Mailbox {
  public:
    Mailbox(std::size_t capacity, bool with_fd) : capacity_(std::max<std::size_t>(capacity, 1)) {
        if (with_fd) {
            fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
            if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
        }
    }
    ~Mailbox() {
        if (fd_ >= 0) ::close(fd_);
    }
    Mailbox(const Mailbox&) = delete;
    Mailbox& operator=(const Mailbox&) = delete;

    // Queues V. Returns what the caller must dispose of: the oldest item when the queue was
    // full (counted in dropped()), V itself once closed, nothing otherwise.
    std::optional<T> push(T v) {
        std::optional<T> out;
        bool raise = false;
        {
            std::lock_guard lock(mu_);
            if (closed_) return v;
            if (queue_.size() >= capacity_) {
                out = std::move(queue_.front());
                queue_.pop_front();
                ++dropped_;
            }
            queue_.push_back(std::move(v));
            raise = claim_signal_locked();
        }
        // Woken after the lock is let go, as the condition variable's waiters are, so that a
        // waiter on the eventfd does not wake only to block on the lock.
        if (raise) raise_fd();
        cv_.notify_one();
        return out;
    }
    // The oldest item, waiting up to TIMEOUT (none: as long as it takes); nothing when the
    // time passes, or once closed and empty.
    std::optional<T> pop(std::optional<std::chrono::nanoseconds> timeout = std::nullopt) {
        std::unique_lock lock(mu_);
        const auto ready = [this] { return !queue_.empty() || closed_; };
        // A timeout of zero does not wait at all, not even in the condition variable (which
        // sleeps in the kernel for an already passed time).
        if (!timeout) {
            cv_.wait(lock, ready);
        } else if (timeout->count() > 0) {
            cv_.wait_for(lock, *timeout, ready);
        }
        return take_locked();
    }
    std::optional<T> try_pop() {
        std::lock_guard lock(mu_);
        return take_locked();
    }
    // Everything queued, emptying the queue.
    std::deque<T> take_all() {
        std::lock_guard lock(mu_);
        std::deque<T> all;
        all.swap(queue_);
        drain_fd_locked();
        return all;
    }

    // Wakes every pop(); later pushes are refused, later pops return what is queued.
    void close() {
        {
            std::lock_guard lock(mu_);
            if (closed_) return;
            closed_ = true;
            signal_locked();
        }
        cv_.notify_all();
    }
    bool closed() const {
        std::lock_guard lock(mu_);
        return closed_;
    }
    // Closed and nothing left to take.
    bool finished() const {
        std::lock_guard lock(mu_);
        return closed_ && queue_.empty();
    }
    uint64_t dropped() const {
        std::lock_guard lock(mu_);
        return dropped_;
    }
    std::size_t size() const {
        std::lock_guard lock(mu_);
        return queue_.size();
    }
    std::size_t capacity() const noexcept { return capacity_; }
    // Readable while items wait or once closed; -1 without with_fd.
    int fd() const noexcept { return fd_; }

  private:
    std::optional<T> take_locked() {
        if (queue_.empty()) {
            // A producer's raise_fd() may land after the item it announced was taken.
            clear_stale_fd_locked();
            return std::nullopt;
        }
        std::optional<T> v(std::move(queue_.front()));
        queue_.pop_front();
        drain_fd_locked();
        return v;
    }
    void signal_locked() {
        if (claim_signal_locked()) raise_fd();
    }
    // Whether the caller is to raise the eventfd (once per stretch of a non-empty queue).
    bool claim_signal_locked() {
        if (fd_ < 0 || signalled_) return false;
        signalled_ = true;
        return true;
    }
    void raise_fd() {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(fd_, &one, sizeof one);
    }
    // A raise that landed after its item was taken (drain_fd_locked() found nothing to read):
    // read only then, so an empty take costs no system call in the common case.
    void clear_stale_fd_locked() {
        if (!late_raise_ || signalled_ || closed_) return;
        late_raise_ = !read_fd();
    }
    void drain_fd_locked() {
        if (fd_ < 0 || !signalled_ || !queue_.empty() || closed_) return;
        late_raise_ = !read_fd();
        signalled_ = false;
    }
    // Whether a raise was there to read (the eventfd is non-blocking).
    bool read_fd() {
        uint64_t v = 0;
        return ::read(fd_, &v, sizeof v) == static_cast<ssize_t>(sizeof v);
    }

    const std::size_t capacity_;
    int fd_ = -1;
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::deque<T> queue_;
    uint64_t dropped_ = 0;
    bool closed_ = false;
    bool signalled_ = false;
    bool late_raise_ = false;
};

}  // namespace zq::hub
