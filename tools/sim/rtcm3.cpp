// RTCM 3 framing on the receiver's input (see rtcm3.hpp).
#include "rtcm3.hpp"

#include <cstdio>

#include "ubx/frame.hpp"

namespace zqsim {
namespace {

constexpr uint8_t kPreamble = 0xD3, kSync1 = 0xB5, kSync2 = 0x62;

uint8_t at(const std::string& s, size_t i) {
    return static_cast<uint8_t>(s[i]);
}

// Bits [from, from + n) of the payload (MSB first), which starts 3 bytes into the frame.
int bits(const std::string& frame, size_t from, int n) {
    int v = 0;
    for (int i = 0; i < n; ++i) {
        const size_t bit = from + static_cast<size_t>(i);
        v = (v << 1) | ((at(frame, 3 + bit / 8) >> (7 - bit % 8)) & 1);
    }
    return v;
}

}  // namespace

uint32_t crc24q(std::span<const uint8_t> bytes) {
    uint32_t crc = 0;
    for (uint8_t b : bytes) {
        crc ^= static_cast<uint32_t>(b) << 16;
        for (int i = 0; i < 8; ++i) {
            crc <<= 1;
            if (crc & 0x1000000) crc ^= 0x1864CFB;
        }
    }
    return crc & 0xFFFFFF;
}

RtcmFrame describe_rtcm(std::string bytes) {
    RtcmFrame f;
    f.length = ((at(bytes, 1) & 0x03) << 8) | at(bytes, 2);
    if (f.length >= 2) f.type = bits(bytes, 0, 12);
    if (f.length >= 3) {
        if (f.type == 4072)
            f.sub_type = bits(bytes, 12, 12);
        else
            f.station = bits(bytes, 12, 12);
    }
    f.bytes = std::move(bytes);
    return f;
}

void InputDemux::feed(std::span<const uint8_t> data, double now) {
    pending_.append(reinterpret_cast<const char*>(data.data()), data.size());
    last_feed_ = now;
}

void InputDemux::reset() {
    pending_.clear();
    ubx_left_ = 0;
    waiting_ = false;
}

bool InputDemux::expire(double deadline) {
    if (!waiting_ || since_ > deadline) return false;
    waiting_ = false;
    // The preamble goes the way of other bytes; what follows is scanned afresh.
    pending_.erase(0, 1);
    return true;
}

std::optional<InputDemux::Item> InputDemux::next() {
    for (;;) {
        if (pending_.empty()) return std::nullopt;
        if (ubx_left_ > 0) {
            const size_t n = std::min(ubx_left_, pending_.size());
            Item it{Item::Ubx, pending_.substr(0, n), {}, 0};
            pending_.erase(0, n);
            ubx_left_ -= n;
            return it;
        }
        const uint8_t c = at(pending_, 0);
        if (c == kSync1) {
            if (pending_.size() >= 2 && at(pending_, 1) != kSync2) {
                Item it{Item::Other, pending_.substr(0, 1), {}, 0};
                pending_.erase(0, 1);
                return it;
            }
            if (pending_.size() < 6) return std::nullopt;
            const size_t len = at(pending_, 4) | (at(pending_, 5) << 8);
            if (len > ubx::kDefaultMaxPayload) {
                Item it{Item::Other, pending_.substr(0, 2), {}, 0};
                pending_.erase(0, 2);
                return it;
            }
            ubx_left_ = 8 + len;  // the UBX scanner checks it
            continue;
        }
        if (c == kPreamble) {
            if (pending_.size() < 3) {
                if (!waiting_) since_ = last_feed_;
                waiting_ = true;
                return std::nullopt;
            }
            if (at(pending_, 1) & 0xFC) {  // reserved bits set: not a preamble
                waiting_ = false;
                Item it{Item::Other, pending_.substr(0, 1), {}, 0};
                pending_.erase(0, 1);
                return it;
            }
            const size_t n = ((at(pending_, 1) & 0x03) << 8) | at(pending_, 2);
            if (pending_.size() < n + 6) {
                if (!waiting_) since_ = last_feed_;
                waiting_ = true;
                return std::nullopt;
            }
            waiting_ = false;
            const auto* p = reinterpret_cast<const uint8_t*>(pending_.data());
            const uint32_t want = (static_cast<uint32_t>(p[n + 3]) << 16) |
                                  (static_cast<uint32_t>(p[n + 4]) << 8) | p[n + 5];
            if (crc24q(std::span<const uint8_t>(p, n + 3)) == want) {
                Item it{Item::Rtcm, pending_.substr(0, n + 6), {}, 0};
                pending_.erase(0, n + 6);
                return it;
            }
            const int type = n >= 2 ? (p[3] << 4) | (p[4] >> 4) : 0;
            char why[80];
            std::snprintf(why, sizeof why, "CRC mismatch (type %d, len %zu)", type, n);
            Item it{Item::BadRtcm, pending_.substr(0, 1), why, type};
            pending_.erase(0, 1);
            return it;
        }
        size_t end = 1;
        while (end < pending_.size() && at(pending_, end) != kSync1 &&
               at(pending_, end) != kPreamble)
            ++end;
        Item it{Item::Other, pending_.substr(0, end), {}, 0};
        pending_.erase(0, end);
        return it;
    }
}

}  // namespace zqsim
