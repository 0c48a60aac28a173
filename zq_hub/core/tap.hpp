// The tap: everything the reader takes from the receiver's port, handed to the hub's services.
//
// One producer (whichever reader thread currently feeds the hub) publishes; any number of
// consumers (the gpsd server, the time feed, the corrections client, the binding's queues)
// each receive, in publication order, the items they asked for through a bounded queue of
// their own. Publishing never blocks and never waits for a consumer: a consumer whose queue is
// full loses its oldest item, counted in its dropped(). No Python here: consumers run on native
// threads without the interpreter lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace zq::hub {

enum class Kind : uint8_t {
    ubx,    // a UBX frame, sync chars to checksum
    nmea,   // an NMEA sentence, '$' or '!' through "\r\n"
    rtcm3,  // an RTCM 3 frame, preamble through CRC
    other,  // bytes that are none of these (noise, partial sentences, unknown protocols)
    state,  // the reader's state changed (no bytes)
};

// live: a reader delivers the chosen message; stale: a reader runs without live data (before
// its first message, or through a stall); stopped: no reader runs.
enum class State : uint8_t { live, stale, stopped };

const char* to_string(State s) noexcept;

struct Item {
    Kind kind = Kind::other;
    State state = State::stopped;  // Kind::state: the new state; otherwise the state at the time
    uint8_t cls = 0;               // Kind::ubx: class and id
    uint8_t id = 0;
    uint64_t seq = 0;    // publication order, from 1
    double rx_mono = 0;  // CLOCK_MONOTONIC seconds of the read that took the last byte
    double rx_real = 0;  // CLOCK_REALTIME seconds at that read
    std::vector<uint8_t> bytes;

    uint16_t key() const noexcept { return static_cast<uint16_t>(cls << 8 | id); }
    // Kind::ubx: the payload (between length and checksum).
    std::span<const uint8_t> payload() const noexcept;
};
using ItemPtr = std::shared_ptr<const Item>;

// Which items a consumer receives.
struct Interest {
    bool ubx = true;
    std::vector<uint16_t> ubx_keys;  // class << 8 | id; empty: every UBX frame
    bool nmea = false;
    bool rtcm3 = false;
    bool other = false;
    bool state = true;

    bool wants(const Item& item) const noexcept;
};

// One consumer's bounded queue.
class Consumer {
  public:
    Consumer(std::size_t capacity, Interest interest, bool with_fd);
    ~Consumer();
    Consumer(const Consumer&) = delete;
    Consumer& operator=(const Consumer&) = delete;

    // The next item, waiting up to TIMEOUT (none: for as long as it takes); nullptr when the
    // time passes or the consumer is closed and drained.
    ItemPtr pop(std::optional<std::chrono::nanoseconds> timeout = std::nullopt);
    ItemPtr try_pop();
    // With with_fd: an eventfd that is readable while items wait or once closed, for a service
    // that waits in poll() on sockets too. -1 otherwise.
    int fd() const noexcept { return fd_; }
    // Wakes every pop(); later pops return what is queued, then nullptr.
    void close();
    bool closed() const;
    uint64_t dropped() const;
    std::size_t size() const;
    std::size_t capacity() const noexcept { return capacity_; }

  private:
    friend class Tap;
    void offer(const ItemPtr& item);  // called by the tap, never blocks
    void signal_locked();
    void drain_fd_locked();

    const std::size_t capacity_;
    const Interest interest_;
    int fd_ = -1;
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::deque<ItemPtr> queue_;
    uint64_t dropped_ = 0;
    bool closed_ = false;
    bool signalled_ = false;
};

// Splits the bytes a UBX scanner stepped over into NMEA sentences, RTCM 3 frames and other
// bytes. Holds at most one incomplete sentence or frame between calls.
class Splitter {
  public:
    // Calls EMIT(kind, bytes) for each piece complete so far; other bytes are emitted in runs.
    template <class Emit>
    void feed(std::span<const uint8_t> bytes, Emit&& emit);
    // What is held is given up as other bytes (a UBX frame came between, or the reader ended).
    template <class Emit>
    void interrupt(Emit&& emit);

  private:
    enum class Piece { need_more, nmea, rtcm3, other };
    Piece classify(std::size_t at, std::size_t* length) const;
    std::vector<uint8_t> held_;
};

// Fan-out from one producer to many bounded consumers.
class Tap {
  public:
    static constexpr std::size_t kDefaultCapacity = 256;

    std::shared_ptr<Consumer> subscribe(Interest interest, std::size_t capacity = kDefaultCapacity,
                                        bool with_fd = false);
    void unsubscribe(const std::shared_ptr<Consumer>& consumer);

    // Producer side; none of these blocks on a consumer.
    void publish_frame(std::span<const uint8_t> frame, double rx_mono, double rx_real);
    void publish_skipped(std::span<const uint8_t> bytes, double rx_mono, double rx_real);
    void publish_state(State state, double rx_mono, double rx_real);
    // The reader feeding the tap changes or ends: bytes the splitter holds go out as other.
    void end_of_stream(double rx_mono, double rx_real);

    State state() const;
    // The last UBX frame of class/id KEY published, or nullptr (kept for up to kLatestKeys
    // identities).
    ItemPtr latest(uint16_t key) const;
    uint64_t published() const;
    // Closes every consumer and refuses new ones.
    void close();

    static constexpr std::size_t kLatestKeys = 64;

  private:
    void publish_locked(std::shared_ptr<Item> item);
    void emit_locked(Kind kind, std::span<const uint8_t> bytes, double rx_mono, double rx_real);

    mutable std::mutex mu_;
    std::vector<std::shared_ptr<Consumer>> consumers_;
    std::vector<ItemPtr> latest_;  // by key, at most kLatestKeys
    Splitter splitter_;
    State state_ = State::stopped;
    uint64_t seq_ = 0;
    bool closed_ = false;
};

// ---------------------------------------------------------------------------------------------

template <class Emit>
void Splitter::feed(std::span<const uint8_t> bytes, Emit&& emit) {
    held_.insert(held_.end(), bytes.begin(), bytes.end());
    std::size_t pos = 0;
    std::size_t run = 0;  // start of the current run of other bytes
    while (pos < held_.size()) {
        std::size_t len = 0;
        const Piece piece = classify(pos, &len);
        if (piece == Piece::need_more) break;
        if (piece == Piece::other) {
            pos += len;
            continue;
        }
        if (run < pos) emit(Kind::other, std::span<const uint8_t>(held_).subspan(run, pos - run));
        emit(piece == Piece::nmea ? Kind::nmea : Kind::rtcm3,
             std::span<const uint8_t>(held_).subspan(pos, len));
        pos += len;
        run = pos;
    }
    if (run < pos) emit(Kind::other, std::span<const uint8_t>(held_).subspan(run, pos - run));
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(pos));
}

template <class Emit>
void Splitter::interrupt(Emit&& emit) {
    if (!held_.empty()) emit(Kind::other, std::span<const uint8_t>(held_));
    held_.clear();
}

}  // namespace zq::hub
