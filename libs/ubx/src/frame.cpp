// UBX framing and the incremental scanner.
#include "ubx/frame.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <stdexcept>

#include "ubx/catalogue.hpp"
#include "ubx/error.hpp"
#include "ubx/le.hpp"
#include "util.hpp"

namespace ubx {

Checksum checksum(std::span<const uint8_t> d) noexcept {
    // ck_b is the sum of all running ck_a values, i.e. each byte weighted by how many running
    // sums it enters. That form has no loop-carried chain through ck_a, so it vectorises; the
    // 32-bit sums wrap modulo 2^32, which keeps them exact modulo 256.
    uint32_t a = 0;
    uint32_t b = 0;
    const std::size_t n = d.size();
    const uint8_t* p = d.data();
    for (std::size_t i = 0; i < n; ++i) {
        a += p[i];
        b += static_cast<uint32_t>(n - i) * p[i];
    }
    return {static_cast<uint8_t>(a), static_cast<uint8_t>(b)};
}

std::vector<uint8_t> make_frame(uint8_t cls, uint8_t id, std::span<const uint8_t> payload) {
    if (payload.size() > 0xFFFF) {
        throw Error(Errc::BadLength, cls, id, payload.size(),
                    "payload of " + detail::msg_label(cls, id) + " too long for a frame: " +
                        std::to_string(payload.size()) + " bytes (at most 65535)");
    }
    std::vector<uint8_t> f(kOverhead + payload.size());
    f[0] = kSync1;
    f[1] = kSync2;
    f[2] = cls;
    f[3] = id;
    le::Writer w(f);
    w.put<uint16_t>(4, static_cast<uint16_t>(payload.size()));
    w.put_bytes(kHeaderSize, payload);
    const Checksum ck = checksum(std::span(f).subspan(2, 4 + payload.size()));
    f[f.size() - 2] = ck.a;
    f[f.size() - 1] = ck.b;
    return f;
}

namespace {

inline std::size_t length_field(const uint8_t* h) {
    return le::load<uint16_t>(h + 4);
}

inline bool checksum_ok(const uint8_t* f, std::size_t total) {
    const Checksum ck = checksum({f + 2, total - 4});
    return ck.a == f[total - 2] && ck.b == f[total - 1];
}

inline Frame view(const uint8_t* f, std::size_t total) {
    return {f[2], f[3], {f + kHeaderSize, total - kOverhead}, {f, total}};
}

}  // namespace

Frame parse_frame(std::span<const uint8_t> raw) {
    const uint8_t cls = raw.size() > 2 ? raw[2] : 0;
    const uint8_t id = raw.size() > 3 ? raw[3] : 0;
    if (raw.size() < kOverhead || raw[0] != kSync1 || raw[1] != kSync2) {
        throw Error(Errc::BadFrame, cls, id, raw.size(),
                    "not a UBX frame: " + std::to_string(raw.size()) +
                        " bytes without the B5 62 header and checksum");
    }
    const std::size_t len = length_field(raw.data());
    if (raw.size() != len + kOverhead) {
        throw Error(Errc::BadFrame, cls, id, raw.size(),
                    "frame of " + detail::msg_label(cls, id) + " is " + std::to_string(raw.size()) +
                        " bytes, its length field says " + std::to_string(len + kOverhead));
    }
    const Checksum ck = checksum(raw.subspan(2, len + 4));
    if (ck.a != raw[raw.size() - 2] || ck.b != raw[raw.size() - 1]) {
        throw Error(Errc::BadChecksum, cls, id, len,
                    "bad checksum in " + detail::msg_label(cls, id) + " with " +
                        std::to_string(len) + "-byte payload: expected " +
                        detail::hex2(ck.a, ck.b) + ", frame has " +
                        detail::hex2(raw[raw.size() - 2], raw[raw.size() - 1]));
    }
    return view(raw.data(), raw.size());
}

bool plausible(uint8_t cls, uint8_t id, std::size_t len) noexcept {
    // An empty payload is the poll of any message.
    const std::size_t most = class_max_len(cls);
    return most != 0 && len <= most &&
           (len == 0 || forms_of(cls, id).empty() || find_form(cls, id, len) != nullptr);
}

Scanner::Scanner(std::size_t max_payload, bool known_lengths_only)
    : max_payload_(max_payload), known_lengths_only_(known_lengths_only) {
    if (max_payload_ > 0xFFFF) max_payload_ = 0xFFFF;
}

void Scanner::feed(std::span<const uint8_t> chunk) {
    if (!in_.empty())
        throw std::logic_error("ubx::Scanner::feed before the previous chunk drained");
    in_ = chunk;
}

void Scanner::forget_candidates() noexcept {
    await_at_ = kNone;
    if (!waiting_.empty()) waiting_.clear();
    due_.clear();
    scan_ = cbeg_;
    need_ = kOverhead;
}

void Scanner::reset() noexcept {
    carry_.clear();
    cbeg_ = 0;
    release_ = 0;
    in_ = {};
    forget_candidates();
}

std::size_t Scanner::wanted() const noexcept {
    // What follows the frame just returned has not been looked at yet.
    if (release_ != 0) return 1;
    return cbeg_ < carry_.size() ? need_ : kOverhead;
}

Scanner::Kind Scanner::classify(const uint8_t* h) const noexcept {
    // A stream repeats a few kinds of header: the last one's answer is kept (the catalogue's
    // look-up was a tenth of a read() over a stream of NAV-PVTs).
    const uint32_t key = uint32_t{h[2]} << 24 | uint32_t{h[3]} << 16 | le::load<uint16_t>(h + 4);
    if (key == last_key_ && last_kind_ != Kind::None) return last_kind_;
    last_key_ = key;
    last_kind_ = classify_anew(h);
    return last_kind_;
}

Scanner::Kind Scanner::classify_anew(const uint8_t* h) const noexcept {
    const std::size_t len = length_field(h);
    if (len > max_payload_) return Kind::Rejected;
    if (class_max_len(h[2]) == 0) return Kind::Implausible;  // a class no receiver sends
    if (plausible(h[2], h[3], len)) return Kind::Plausible;
    return known_lengths_only_ ? Kind::Rejected : Kind::Implausible;
}

// Settles the implausible candidates that end at or before `upto`, every sync char before which
// has been classified: the first one (by end, then offset) whose checksum holds is the hit.
std::optional<Scanner::Hit> Scanner::settle(const uint8_t* base, std::size_t upto) {
    while (!due_.empty() && due_.front().first <= upto) {
        const auto [e, at] = due_.front();
        std::pop_heap(due_.begin(), due_.end(), std::greater<>{});
        due_.pop_back();
        *std::lower_bound(waiting_.begin(), waiting_.end(), at,
                          [](std::size_t w, std::size_t v) { return (w & ~kDone) < v; }) |= kDone;
        // Settled ones leave from the front, so that a long chunk keeps the list short.
        while (!waiting_.empty() && (waiting_.front() & kDone) != 0)
            waiting_.pop_front();
        if (checksum_ok(base + at, e - at)) return Hit{at, e - at};
    }
    return std::nullopt;
}

// Looks in base[0, end) for the next frame by the two rules in frame.hpp, resuming where the
// last call stopped. Without a hit, the members describe what is left; with one they are
// stale (the caller forgets them).
//
// Each candidate is checksummed once, when it is first complete. While a plausible candidate is
// awaited nothing inside it is looked at, so a long frame fed byte by byte costs one look at
// each byte; only when it fails are its bytes scanned again, from after its first sync char.
//
// Why the two goals do not conflict. A true frame must not be lost to a frame inside its
// payload (rule 1: whatever starts inside the first plausible candidate waits for it). A false
// header must not hide the frames behind it: as a rule-1 candidate it fails its checksum when
// complete and the frames inside it then come out, intact and in order, so it only delays them;
// and the headers that would delay the most are the ones the class table rules out, which are
// dropped at once (rule 2, or rejected outright): a class nobody sends, a catalogued message
// with a length it cannot have, a length above its class's longest message. The delay a false
// plausible header can still cause is bounded by that class maximum (4 KiB for NAV), and its
// odds are those of B5 62, a real class and a fitting length lining up by chance.
std::optional<Scanner::Hit> Scanner::search(const uint8_t* base, std::size_t end) {
    for (;;) {
        if (await_at_ != kNone) {
            const std::size_t at = await_at_;
            const std::size_t e = await_end_;
            if (e > end) {
                need_ = e - end;
                return std::nullopt;
            }
            await_at_ = kNone;
            if (checksum_ok(base + at, e - at)) return Hit{at, e - at};
            scan_ = at + 1;  // not a frame: what lies inside it is looked at now
        }
        std::size_t q = scan_;
        for (;;) {
            const auto* hit =
                q < end ? static_cast<const uint8_t*>(std::memchr(base + q, kSync1, end - q))
                        : nullptr;
            const std::size_t p = hit != nullptr ? static_cast<std::size_t>(hit - base) : end;
            // Every sync char before p is classified: the implausible candidates ending by then
            // are settled (none of them holds a plausible one, or it would have been dropped).
            if (auto h = settle(base, p)) return h;
            const std::size_t top = due_.empty() ? SIZE_MAX : due_.front().first;
            if (hit == nullptr) {
                scan_ = end;
                need_ = std::min(kOverhead, top - end);
                return std::nullopt;
            }
            if (p + 1 < end && hit[1] != kSync2) {
                q = p + 1;
                continue;
            }
            if (p + kHeaderSize > end) {
                // Looked at again once its header is complete; so is everything after it. An
                // implausible candidate ending after p waits for that header too.
                scan_ = p;
                need_ = std::min(p + kOverhead, std::max(top, p + kHeaderSize)) - end;
                return std::nullopt;
            }
            q = p + 1;
            const Kind kind = classify(hit);
            if (kind == Kind::Rejected) continue;
            const std::size_t e = p + length_field(hit) + kOverhead;
            if (kind == Kind::Implausible) {
                waiting_.push_back(p);
                due_.emplace_back(e, p);
                std::push_heap(due_.begin(), due_.end(), std::greater<>{});
                continue;
            }
            // A plausible candidate: the implausible ones still open all hold it, and give way.
            waiting_.clear();
            due_.clear();
            await_at_ = p;
            await_end_ = e;
            scan_ = p + 1;
            break;
        }
    }
}

// Where the first candidate not yet ruled out starts (`end` of the last search when none is).
std::size_t Scanner::first_live() {
    if (await_at_ != kNone) return await_at_;
    while (!waiting_.empty() && (waiting_.front() & kDone) != 0)
        waiting_.pop_front();
    return waiting_.empty() ? scan_ : std::min(waiting_.front(), scan_);
}

// Moves the offsets of the open candidates `by` bytes down.
void Scanner::rebase(std::size_t by) noexcept {
    if (await_at_ != kNone) {
        await_at_ -= by;
        await_end_ -= by;
    }
    for (std::size_t& w : waiting_)
        w -= by;  // below the done flag
    // Both go down alike, so the heap order holds.
    for (auto& [e, at] : due_) {
        e -= by;
        at -= by;
    }
}

// Counts the candidates in base[from, to), which the scanner steps over. A plausible one there
// has failed its checksum (it is awaited until it does, and nothing before a delivered frame
// is still open); an implausible one failed it, or gave way to another candidate.
void Scanner::step_over(const uint8_t* base, std::size_t from, std::size_t to, std::size_t end) {
    stats_.skipped_bytes += to - from;
    if (skip_sink_ != nullptr && from < to) skip_sink_(skip_ctx_, {base + from, to - from});
    for (std::size_t q = from; q < to;) {
        const auto* hit = static_cast<const uint8_t*>(std::memchr(base + q, kSync1, to - q));
        if (hit == nullptr) break;
        const std::size_t p = static_cast<std::size_t>(hit - base);
        q = p + 1;
        if (p + kHeaderSize > end || hit[1] != kSync2) continue;
        const std::size_t len = length_field(hit);
        const std::size_t e = p + len + kOverhead;
        switch (classify(hit)) {
            case Kind::Rejected:
                if (len > max_payload_)
                    ++stats_.oversize;
                else
                    ++stats_.bad_lengths;
                break;
            case Kind::None:  // classify() never says so
            case Kind::Plausible:
                ++stats_.bad_checksums;
                break;
            case Kind::Implausible:
                if (e > end || checksum_ok(hit, e - p))
                    ++stats_.false_syncs;
                else
                    ++stats_.bad_checksums;
                break;
        }
    }
}

std::optional<Frame> Scanner::next() {
    if (release_ != 0) {
        // Bytes after a frame found in the carry may be anything.
        cbeg_ += release_;
        release_ = 0;
        forget_candidates();
    }
    for (;;) {
        if (cbeg_ < carry_.size()) {
            if (auto f = next_in_carry()) return f;
            if (cbeg_ < carry_.size()) return std::nullopt;  // a candidate waits, input exhausted
            continue;
        }
        carry_.clear();
        cbeg_ = 0;
        forget_candidates();
        return next_in_input();
    }
}

// Moves up to n input bytes to the end of the carry buffer.
void Scanner::pull(std::size_t n) {
    n = std::min(n, in_.size());
    if (n == 0) return;
    if (cbeg_ != 0 && carry_.size() + n > carry_.capacity()) {
        carry_.erase(carry_.begin(), carry_.begin() + static_cast<std::ptrdiff_t>(cbeg_));
        rebase(cbeg_);
        scan_ -= cbeg_;
        cbeg_ = 0;
    }
    carry_.insert(carry_.end(), in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(n));
    in_ = in_.subspan(n);
}

std::optional<Frame> Scanner::next_in_carry() {
    for (;;) {
        const uint8_t* base = carry_.data();
        const std::size_t end = carry_.size();
        if (const auto hit = search(base, end)) {
            step_over(base, cbeg_, hit->at, end);
            ++stats_.frames;
            cbeg_ = hit->at;
            release_ = hit->total;
            return view(base + hit->at, hit->total);
        }
        const std::size_t live = first_live();
        step_over(base, cbeg_, live, end);
        cbeg_ = live;
        if (cbeg_ >= end) return std::nullopt;  // nothing left to wait for: on in the input
        if (in_.empty()) return std::nullopt;
        // Complete the first candidate (or its header); whatever it covers is then in the carry.
        // Complete already, it waits for the header of a candidate in its last bytes.
        const std::size_t have = end - cbeg_;
        const std::size_t total =
            have >= kHeaderSize ? length_field(base + cbeg_) + kOverhead : kHeaderSize;
        pull(have < total ? total - have : need_);
    }
}

std::optional<Frame> Scanner::next_in_input() {
    if (in_.empty()) return std::nullopt;
    const uint8_t* base = in_.data();
    const std::size_t end = in_.size();
    scan_ = 0;
    if (const auto hit = search(base, end)) {
        step_over(base, 0, hit->at, end);
        ++stats_.frames;
        in_ = in_.subspan(hit->at + hit->total);
        forget_candidates();
        return view(base + hit->at, hit->total);
    }
    const std::size_t live = first_live();
    step_over(base, 0, live, end);
    if (live >= end) {
        in_ = {};
        forget_candidates();
        return std::nullopt;
    }
    // The chunk ends inside a candidate: keep it, and what follows it, for the next chunk. It
    // started in the chunk's last frame and header.
    const std::size_t span = max_payload_ + kOverhead + kHeaderSize;
    if (carry_.capacity() < span) carry_.reserve(span);
    rebase(live);  // offsets into the chunk become offsets into the carry
    scan_ -= live;
    in_ = in_.subspan(live);
    pull(in_.size());
    return std::nullopt;
}

}  // namespace ubx
