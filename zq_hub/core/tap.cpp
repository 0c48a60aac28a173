// The tap's queues, the splitter's classification and the fan-out.
#include "tap.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "nmea.hpp"
#include "rtcm3.hpp"

namespace zq::hub {

const char* to_string(State s) noexcept {
    switch (s) {
        case State::live:
            return "live";
        case State::stale:
            return "stale";
        case State::stopped:
            break;
    }
    return "stopped";
}

std::span<const uint8_t> Item::payload() const noexcept {
    if (kind != Kind::ubx || bytes.size() < 8) return {};
    return std::span<const uint8_t>(bytes).subspan(6, bytes.size() - 8);
}

bool Interest::wants(const Item& item) const noexcept {
    switch (item.kind) {
        case Kind::ubx:
            return ubx && (ubx_keys.empty() || std::find(ubx_keys.begin(), ubx_keys.end(),
                                                         item.key()) != ubx_keys.end());
        case Kind::nmea:
            return nmea;
        case Kind::rtcm3:
            return rtcm3;
        case Kind::other:
            return other;
        case Kind::state:
            return state;
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// Consumer

Consumer::Consumer(std::size_t capacity, Interest interest, bool with_fd)
    : capacity_(std::max<std::size_t>(capacity, 1)), interest_(std::move(interest)) {
    if (with_fd) {
        fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    }
}

Consumer::~Consumer() {
    if (fd_ >= 0) ::close(fd_);
}

void Consumer::signal_locked() {
    if (fd_ < 0 || signalled_) return;
    const uint64_t one = 1;
    // A full counter (never, at one write per empty-to-waiting change) would only mean it is
    // readable already.
    [[maybe_unused]] const ssize_t n = ::write(fd_, &one, sizeof one);
    signalled_ = true;
}

void Consumer::drain_fd_locked() {
    if (fd_ < 0 || !signalled_ || !queue_.empty() || closed_) return;
    uint64_t v = 0;
    [[maybe_unused]] const ssize_t n = ::read(fd_, &v, sizeof v);
    signalled_ = false;
}

void Consumer::offer(const ItemPtr& item) {
    if (!interest_.wants(*item)) return;
    {
        std::lock_guard lock(mu_);
        if (closed_) return;
        if (queue_.size() >= capacity_) {
            queue_.pop_front();
            ++dropped_;
        }
        queue_.push_back(item);
        signal_locked();
    }
    cv_.notify_one();
}

ItemPtr Consumer::pop(std::optional<std::chrono::nanoseconds> timeout) {
    std::unique_lock lock(mu_);
    const auto ready = [this] { return !queue_.empty() || closed_; };
    if (timeout) {
        cv_.wait_for(lock, *timeout, ready);
    } else {
        cv_.wait(lock, ready);
    }
    if (queue_.empty()) return nullptr;
    ItemPtr item = std::move(queue_.front());
    queue_.pop_front();
    drain_fd_locked();
    return item;
}

ItemPtr Consumer::try_pop() {
    std::lock_guard lock(mu_);
    if (queue_.empty()) return nullptr;
    ItemPtr item = std::move(queue_.front());
    queue_.pop_front();
    drain_fd_locked();
    return item;
}

void Consumer::close() {
    {
        std::lock_guard lock(mu_);
        if (closed_) return;
        closed_ = true;
        signal_locked();
    }
    cv_.notify_all();
}

bool Consumer::closed() const {
    std::lock_guard lock(mu_);
    return closed_;
}

uint64_t Consumer::dropped() const {
    std::lock_guard lock(mu_);
    return dropped_;
}

std::size_t Consumer::size() const {
    std::lock_guard lock(mu_);
    return queue_.size();
}

// ---------------------------------------------------------------------------------------------
// Splitter

Splitter::Piece Splitter::classify(std::size_t at, std::size_t* length) const {
    const std::size_t left = held_.size() - at;
    const uint8_t* p = held_.data() + at;
    *length = 1;
    if (p[0] == '$' || p[0] == '!') {
        const std::size_t look = std::min(left, nmea::kMaxSentence);
        const auto* nl = static_cast<const uint8_t*>(std::memchr(p, '\n', look));
        if (nl == nullptr) return look < nmea::kMaxSentence ? Piece::need_more : Piece::other;
        const auto n = static_cast<std::size_t>(nl - p) + 1;
        if (!nmea::valid_sentence({p, n})) return Piece::other;
        *length = n;
        return Piece::nmea;
    }
    if (p[0] == rtcm3::kPreamble) {
        if (left < rtcm3::kHeader) return Piece::need_more;
        const auto n = rtcm3::payload_length({p, left});
        if (!n) return Piece::other;
        const std::size_t total = *n + rtcm3::kHeader + rtcm3::kCrc;
        if (left < total) return Piece::need_more;
        if (!rtcm3::valid_frame({p, total})) return Piece::other;
        *length = total;
        return Piece::rtcm3;
    }
    std::size_t n = 1;
    while (n < left && p[n] != '$' && p[n] != '!' && p[n] != rtcm3::kPreamble)
        ++n;
    *length = n;
    return Piece::other;
}

// ---------------------------------------------------------------------------------------------
// Tap

std::shared_ptr<Consumer> Tap::subscribe(Interest interest, std::size_t capacity, bool with_fd) {
    auto c = std::make_shared<Consumer>(capacity, std::move(interest), with_fd);
    std::lock_guard lock(mu_);
    if (closed_) {
        c->close();
    } else {
        consumers_.push_back(c);
    }
    return c;
}

void Tap::unsubscribe(const std::shared_ptr<Consumer>& consumer) {
    {
        std::lock_guard lock(mu_);
        std::erase(consumers_, consumer);
    }
    consumer->close();
}

void Tap::publish_locked(std::shared_ptr<Item> item) {
    item->seq = ++seq_;
    const ItemPtr shared = std::move(item);
    if (shared->kind == Kind::ubx) {
        auto it = std::find_if(latest_.begin(), latest_.end(),
                               [&](const ItemPtr& p) { return p->key() == shared->key(); });
        if (it != latest_.end()) {
            *it = shared;
        } else if (latest_.size() < kLatestKeys) {
            latest_.push_back(shared);
        }
    }
    for (const auto& c : consumers_)
        c->offer(shared);
}

void Tap::emit_locked(Kind kind, std::span<const uint8_t> bytes, double rx_mono, double rx_real) {
    auto item = std::make_shared<Item>();
    item->kind = kind;
    item->state = state_;
    item->rx_mono = rx_mono;
    item->rx_real = rx_real;
    item->bytes.assign(bytes.begin(), bytes.end());
    publish_locked(std::move(item));
}

void Tap::publish_frame(std::span<const uint8_t> frame, double rx_mono, double rx_real) {
    if (frame.size() < 8) return;
    std::lock_guard lock(mu_);
    if (closed_) return;
    splitter_.interrupt(
        [&](Kind k, std::span<const uint8_t> b) { emit_locked(k, b, rx_mono, rx_real); });
    auto item = std::make_shared<Item>();
    item->kind = Kind::ubx;
    item->state = state_;
    item->cls = frame[2];
    item->id = frame[3];
    item->rx_mono = rx_mono;
    item->rx_real = rx_real;
    item->bytes.assign(frame.begin(), frame.end());
    publish_locked(std::move(item));
}

void Tap::publish_skipped(std::span<const uint8_t> bytes, double rx_mono, double rx_real) {
    std::lock_guard lock(mu_);
    if (closed_) return;
    splitter_.feed(
        bytes, [&](Kind k, std::span<const uint8_t> b) { emit_locked(k, b, rx_mono, rx_real); });
}

void Tap::end_of_stream(double rx_mono, double rx_real) {
    std::lock_guard lock(mu_);
    if (closed_) return;
    splitter_.interrupt(
        [&](Kind k, std::span<const uint8_t> b) { emit_locked(k, b, rx_mono, rx_real); });
}

void Tap::publish_state(State state, double rx_mono, double rx_real) {
    std::lock_guard lock(mu_);
    if (closed_ || state == state_) return;
    state_ = state;
    auto item = std::make_shared<Item>();
    item->kind = Kind::state;
    item->state = state;
    item->rx_mono = rx_mono;
    item->rx_real = rx_real;
    publish_locked(std::move(item));
}

State Tap::state() const {
    std::lock_guard lock(mu_);
    return state_;
}

ItemPtr Tap::latest(uint16_t key) const {
    std::lock_guard lock(mu_);
    for (const auto& p : latest_)
        if (p->key() == key) return p;
    return nullptr;
}

uint64_t Tap::published() const {
    std::lock_guard lock(mu_);
    return seq_;
}

void Tap::close() {
    std::vector<std::shared_ptr<Consumer>> all;
    {
        std::lock_guard lock(mu_);
        closed_ = true;
        all.swap(consumers_);
    }
    for (const auto& c : all)
        c->close();
}

}  // namespace zq::hub
