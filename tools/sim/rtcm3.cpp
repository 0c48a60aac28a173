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
    waiting_ = Candidate::None;
}

void InputDemux::wait(Candidate c) {
    if (waiting_ == Candidate::None) since_ = last_feed_;
    waiting_ = c;
}

InputDemux::Candidate InputDemux::expire(double deadline) {
    const Candidate c = waiting_;
    if (c == Candidate::None || since_ > deadline) return Candidate::None;
    waiting_ = Candidate::None;
    // The first byte is stepped over (noise to the UBX scanner too); what follows is scanned
    // afresh.
    pending_.erase(0, 1);
    return c;
}

std::optional<InputDemux::Item> InputDemux::next() {
    for (;;) {
        if (pending_.empty()) return std::nullopt;
        const uint8_t c = at(pending_, 0);
        if (c == kSync1) {
            if (pending_.size() >= 2 && at(pending_, 1) != kSync2) {
                Item it{Item::Other, pending_.substr(0, 1), {}, 0};
                pending_.erase(0, 1);
                return it;
            }
            const size_t len = pending_.size() >= 6 ? at(pending_, 4) | (at(pending_, 5) << 8) : 0;
            if (len > ubx::kDefaultMaxPayload) {
                Item it{Item::Other, pending_.substr(0, 2), {}, 0};
                pending_.erase(0, 2);
                return it;
            }
            if (pending_.size() < 6 || pending_.size() < 8 + len) {
                wait(Candidate::Ubx);
                return std::nullopt;
            }
            waiting_ = Candidate::None;
            // Whole and sound, it goes to the UBX scanner as one; a false sync pair is stepped
            // over, so that RTCM 3 frames behind it are not lost inside a bogus length.
            uint8_t a = 0, b = 0;
            for (size_t i = 2; i < 6 + len; ++i) {
                a = static_cast<uint8_t>(a + at(pending_, i));
                b = static_cast<uint8_t>(b + a);
            }
            const bool ok = a == at(pending_, 6 + len) && b == at(pending_, 7 + len);
            const size_t n = ok ? 8 + len : 1;
            Item it{ok ? Item::Ubx : Item::Other, pending_.substr(0, n), {}, 0};
            pending_.erase(0, n);
            return it;
        }
        if (c == kPreamble) {
            if (pending_.size() < 3) {
                wait(Candidate::Rtcm);
                return std::nullopt;
            }
            if (at(pending_, 1) & 0xFC) {  // reserved bits set: not a preamble
                waiting_ = Candidate::None;
                Item it{Item::Other, pending_.substr(0, 1), {}, 0};
                pending_.erase(0, 1);
                return it;
            }
            const size_t n = ((at(pending_, 1) & 0x03) << 8) | at(pending_, 2);
            if (pending_.size() < n + 6) {
                wait(Candidate::Rtcm);
                return std::nullopt;
            }
            waiting_ = Candidate::None;
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
