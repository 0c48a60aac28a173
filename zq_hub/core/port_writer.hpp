// One writer per receiver port: the hub's frames (corrections) go out whole, one after another,
// on a native thread of their own, and never inside a write the module makes itself
// (setPowerMode), which brackets its write with begin_external()/end_external().
//
// The port is a descriptor the writer owns (a dup() of the receiver's), replaced when the
// receiver opens its port anew and dropped when its reader ends. Frames wait in a queue bounded
// in bytes: when the port is slower than what comes in, the oldest frames give way; a frame
// that waited longer than max_age is dropped as stale instead of written late. A write that
// cannot finish (the device is gone, or takes no bytes within write_timeout) gives up that
// frame, counted; with the device gone the writer waits for the next attach() and resumes.
// No Python here.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace zq::hub {

struct PortWriterOptions {
    std::size_t max_queue_bytes = 64 * 1024;
    double max_age = 10.0;       // s a frame may wait for the port
    double write_timeout = 2.0;  // s one frame's write may take
};

// Why frames were not written.
struct PortDrops {
    uint64_t queue_full = 0;    // the queue was full: the oldest frames gave way
    uint64_t stale = 0;         // waited longer than max_age (no port, or a slow one)
    uint64_t write_failed = 0;  // the device refused the write (unplugged, closed)
    uint64_t timeout = 0;       // the device took no bytes for write_timeout
    uint64_t stopped = 0;       // submitted or queued when the writer stopped
    uint64_t too_large = 0;     // a single frame larger than the whole queue
    uint64_t total() const noexcept {
        return queue_full + stale + write_failed + timeout + stopped + too_large;
    }
};

struct PortWriterStats {
    uint64_t frames_written = 0;
    uint64_t bytes_written = 0;
    uint64_t partial_frames = 0;   // given up after some of their bytes went out
    uint64_t external_writes = 0;  // writes of the module's own that the writer waited for
    uint64_t attaches = 0;
    PortDrops dropped;
    std::size_t queued_frames = 0;
    std::size_t queued_bytes = 0;
    bool attached = false;
    double last_write_mono = 0;  // CLOCK_MONOTONIC s of the last whole frame written; 0: none
    std::string last_error;
};

class PortWriter {
  public:
    using Clock = std::chrono::steady_clock;

    explicit PortWriter(PortWriterOptions options = {});
    ~PortWriter();
    PortWriter(const PortWriter&) = delete;
    PortWriter& operator=(const PortWriter&) = delete;

    // The port to write to from now on: FD is the writer's own from here (closed when replaced,
    // detached or at the end); frames queued meanwhile go out on it. Never waits.
    void attach(int fd);
    // No port for now (the reader ended); queued frames wait for the next attach. Never waits.
    void detach();

    // Queues one whole frame; false when it was not queued (stopped, or larger than the queue).
    bool submit(std::span<const uint8_t> frame);

    // Around a write of the module's own to the same port: begin waits until no frame is half
    // written, then holds the writer off until end_external from the same thread. Nested or
    // concurrent begins from other threads wait their turn.
    void begin_external();
    void end_external();

    // Waits up to TIMEOUT until the queue is empty and no frame is being written; true if so.
    bool drain(std::chrono::nanoseconds timeout);

    // Ends the writer thread; queued frames are dropped as stopped. Idempotent.
    void stop();

    PortWriterStats stats() const;

  private:
    struct Fd;
    struct Frame {
        std::vector<uint8_t> bytes;
        Clock::time_point queued;
    };
    void run();
    void start_locked();
    void drop_stale_locked(Clock::time_point now);
    // Writes FRAME whole to FD, without the lock; false with *why on failure, *dead when the
    // descriptor is unusable from now on.
    bool write_frame(int fd, std::span<const uint8_t> frame, std::size_t* sent, bool* timed_out,
                     int* err);

    const PortWriterOptions options_;
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::deque<Frame> queue_;
    std::shared_ptr<Fd> fd_;  // shared with a write in progress
    std::size_t queued_bytes_ = 0;
    bool writing_ = false;
    bool external_ = false;
    int external_waiting_ = 0;  // threads in begin_external, waiting for a frame to end
    std::thread::id external_owner_;
    bool stopping_ = false;
    int wake_fd_ = -1;  // eventfd: interrupts a write's poll() at stop
    PortWriterStats stats_;
    std::thread thread_;
};

}  // namespace zq::hub
