// UBX framing and the incremental scanner.
#include "ubx/frame.hpp"

#include <cstring>
#include <stdexcept>

#include "ubx/error.hpp"
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
    f[4] = static_cast<uint8_t>(payload.size());
    f[5] = static_cast<uint8_t>(payload.size() >> 8);
    if (!payload.empty()) std::memcpy(f.data() + kHeaderSize, payload.data(), payload.size());
    const Checksum ck = checksum(std::span(f).subspan(2, 4 + payload.size()));
    f[f.size() - 2] = ck.a;
    f[f.size() - 1] = ck.b;
    return f;
}

namespace {

inline std::size_t length_field(const uint8_t* h) {
    return h[4] | (std::size_t{h[5]} << 8);
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

Scanner::Scanner(std::size_t max_payload) : max_payload_(max_payload) {
    if (max_payload_ > 0xFFFF) max_payload_ = 0xFFFF;
}

void Scanner::feed(std::span<const uint8_t> chunk) {
    if (!in_.empty())
        throw std::logic_error("ubx::Scanner::feed before the previous chunk drained");
    in_ = chunk;
}

void Scanner::reset() noexcept {
    carry_.clear();
    cbeg_ = 0;
    release_ = 0;
    in_ = {};
}

std::size_t Scanner::wanted() const noexcept {
    // What follows the frame just returned has not been looked at yet.
    if (release_ != 0) return 1;
    const std::size_t have = carry_.size() - cbeg_;
    if (have >= kHeaderSize) return length_field(carry_.data() + cbeg_) + kOverhead - have;
    return kOverhead - have;
}

std::optional<Frame> Scanner::next() {
    if (release_ != 0) {
        // Bytes after a frame found inside a rejected candidate may be anything.
        cbeg_ += release_;
        release_ = 0;
        hunt_carry(cbeg_);
    }
    for (;;) {
        if (cbeg_ < carry_.size()) {
            if (auto f = next_in_carry()) return f;
            if (cbeg_ < carry_.size()) return std::nullopt;  // frame start kept, input exhausted
            continue;
        }
        return next_in_input();
    }
}

// Moves up to n input bytes to the end of the carry buffer.
void Scanner::pull(std::size_t n) {
    n = std::min(n, in_.size());
    if (n == 0) return;
    if (cbeg_ != 0 && carry_.size() + n > carry_.capacity()) {
        carry_.erase(carry_.begin(), carry_.begin() + static_cast<std::ptrdiff_t>(cbeg_));
        cbeg_ = 0;
    }
    carry_.insert(carry_.end(), in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(n));
    in_ = in_.subspan(n);
}

// Makes the carry start at its first sync char at or after `from`, or empties it.
void Scanner::hunt_carry(std::size_t from) {
    const uint8_t* base = carry_.data();
    const void* hit =
        from < carry_.size() ? std::memchr(base + from, kSync1, carry_.size() - from) : nullptr;
    if (hit == nullptr) {
        stats_.skipped_bytes += carry_.size() - cbeg_;
        carry_.clear();
        cbeg_ = 0;
        return;
    }
    const std::size_t at = static_cast<std::size_t>(static_cast<const uint8_t*>(hit) - base);
    stats_.skipped_bytes += at - cbeg_;
    cbeg_ = at;
}

std::optional<Frame> Scanner::next_in_carry() {
    for (;;) {
        std::size_t have = carry_.size() - cbeg_;
        if (have < kHeaderSize) {
            pull(kHeaderSize - have);
            have = carry_.size() - cbeg_;
        }
        const uint8_t* f = carry_.data() + cbeg_;
        if (have >= 2 && f[1] != kSync2) {
            hunt_carry(cbeg_ + 1);
        } else if (have < kHeaderSize) {
            return std::nullopt;
        } else if (length_field(f) > max_payload_) {
            ++stats_.oversize;
            hunt_carry(cbeg_ + 1);
        } else {
            const std::size_t total = length_field(f) + kOverhead;
            if (have < total) {
                pull(total - have);
                f = carry_.data() + cbeg_;
                have = carry_.size() - cbeg_;
                if (have < total) return std::nullopt;
            }
            if (checksum_ok(f, total)) {
                ++stats_.frames;
                release_ = total;
                return view(f, total);
            }
            ++stats_.bad_checksums;
            hunt_carry(cbeg_ + 1);
        }
        if (cbeg_ >= carry_.size()) return std::nullopt;  // carry empty: caller goes on in input
    }
}

std::optional<Frame> Scanner::next_in_input() {
    while (!in_.empty()) {
        const uint8_t* p = in_.data();
        const auto* hit = static_cast<const uint8_t*>(std::memchr(p, kSync1, in_.size()));
        if (hit == nullptr) {
            stats_.skipped_bytes += in_.size();
            in_ = {};
            break;
        }
        const std::size_t skip = static_cast<std::size_t>(hit - p);
        stats_.skipped_bytes += skip;
        in_ = in_.subspan(skip);
        const std::size_t have = in_.size();
        if (have >= 2 && hit[1] != kSync2) {
            ++stats_.skipped_bytes;
            in_ = in_.subspan(1);
            continue;
        }
        if (have >= kHeaderSize && length_field(hit) > max_payload_) {
            ++stats_.oversize;
            ++stats_.skipped_bytes;
            in_ = in_.subspan(1);
            continue;
        }
        const std::size_t total =
            have >= kHeaderSize ? length_field(hit) + kOverhead : std::size_t{0};
        if (total == 0 || have < total) {
            // The chunk ends inside this candidate: keep its start for the next chunk.
            if (carry_.capacity() < max_payload_ + kOverhead)
                carry_.reserve(max_payload_ + kOverhead);
            carry_.clear();
            cbeg_ = 0;
            pull(have);
            return std::nullopt;
        }
        if (checksum_ok(hit, total)) {
            ++stats_.frames;
            in_ = in_.subspan(total);
            return view(hit, total);
        }
        ++stats_.bad_checksums;
        ++stats_.skipped_bytes;
        in_ = in_.subspan(1);
    }
    return std::nullopt;
}

}  // namespace ubx
