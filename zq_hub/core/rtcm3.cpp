// RTCM 3 framing and CRC-24Q.
#include "rtcm3.hpp"

#include <algorithm>
#include <array>
#include <cstring>

namespace zq::hub::rtcm3 {
namespace {

constexpr uint32_t kPoly = 0x1864CFB;

constexpr std::array<uint32_t, 256> make_table() {
    std::array<uint32_t, 256> t{};
    for (uint32_t b = 0; b < 256; ++b) {
        uint32_t crc = b << 16;
        for (int i = 0; i < 8; ++i) {
            crc <<= 1;
            if (crc & 0x1000000) crc ^= kPoly;
        }
        t[b] = crc & 0xFFFFFF;
    }
    return t;
}

constexpr std::array<uint32_t, 256> kTable = make_table();

}  // namespace

uint32_t crc24q(std::span<const uint8_t> data, uint32_t crc) noexcept {
    for (uint8_t b : data)
        crc = ((crc << 8) & 0xFFFFFF) ^ kTable[((crc >> 16) ^ b) & 0xFF];
    return crc;
}

std::optional<std::size_t> payload_length(std::span<const uint8_t> h) noexcept {
    if (h.size() < kHeader || h[0] != kPreamble || (h[1] & 0xFC) != 0) return std::nullopt;
    return (static_cast<std::size_t>(h[1] & 0x03) << 8) | h[2];
}

uint16_t message_type(std::span<const uint8_t> frame) noexcept {
    if (frame.size() < kHeader + 2 + kCrc) return 0;
    return static_cast<uint16_t>((frame[3] << 4) | (frame[4] >> 4));
}

bool valid_frame(std::span<const uint8_t> frame) noexcept {
    const auto n = payload_length(frame);
    if (!n || frame.size() != *n + kHeader + kCrc) return false;
    const std::size_t body = *n + kHeader;
    const uint32_t want =
        (uint32_t{frame[body]} << 16) | (uint32_t{frame[body + 1]} << 8) | frame[body + 2];
    return crc24q(frame.first(body)) == want;
}

void Framer::reset() noexcept {
    buf_.clear();
    pos_ = 0;
    release_ = 0;
}

void Framer::compact() {
    if (pos_ == 0) return;
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(pos_));
    pos_ = 0;
}

void Framer::feed(std::span<const uint8_t> chunk) {
    if (release_ != 0) {
        pos_ += release_;
        release_ = 0;
    }
    compact();
    stats_.bytes_in += chunk.size();
    buf_.insert(buf_.end(), chunk.begin(), chunk.end());
}

std::optional<std::span<const uint8_t>> Framer::next() {
    if (release_ != 0) {
        pos_ += release_;
        release_ = 0;
    }
    for (;;) {
        const std::size_t left = buf_.size() - pos_;
        const uint8_t* p = buf_.data() + pos_;
        const auto* hit = static_cast<const uint8_t*>(std::memchr(p, kPreamble, left));
        if (hit == nullptr) {
            stats_.skipped_bytes += left;
            pos_ = buf_.size();
            compact();
            return std::nullopt;
        }
        const auto skip = static_cast<std::size_t>(hit - p);
        stats_.skipped_bytes += skip;
        pos_ += skip;
        const std::span<const uint8_t> rest(buf_.data() + pos_, buf_.size() - pos_);
        if (rest.size() < kHeader) {
            compact();
            return std::nullopt;
        }
        const auto n = payload_length(rest);
        if (!n) {
            ++stats_.bad_header;
            ++stats_.skipped_bytes;
            ++pos_;
            continue;
        }
        const std::size_t total = *n + kHeader + kCrc;
        if (rest.size() < total) {
            compact();
            return std::nullopt;
        }
        if (!valid_frame(rest.first(total))) {
            ++stats_.bad_crc;
            ++stats_.skipped_bytes;
            ++pos_;
            continue;
        }
        ++stats_.frames;
        release_ = total;
        return rest.first(total);
    }
}

}  // namespace zq::hub::rtcm3
