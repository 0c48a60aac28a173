// RTCM 3 framing: the CRC-24Q and an incremental framer that finds whole, CRC-valid frames in a
// byte stream (corrections from a caster, or what a receiver's port carries besides UBX).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace zq::hub::rtcm3 {

inline constexpr uint8_t kPreamble = 0xD3;
inline constexpr std::size_t kHeader = 3;  // preamble, 6 reserved bits, 10-bit length
inline constexpr std::size_t kCrc = 3;     // CRC-24Q, big-endian
inline constexpr std::size_t kMaxPayload = 1023;
inline constexpr std::size_t kMaxFrame = kHeader + kMaxPayload + kCrc;

// CRC-24Q (polynomial 0x1864CFB, initial value 0, no reflection, no final XOR) of DATA,
// continuing from CRC.
uint32_t crc24q(std::span<const uint8_t> data, uint32_t crc = 0) noexcept;

// Payload length of a frame whose first three bytes are H, or nullopt when H[0] is no preamble
// or the six reserved bits are set.
std::optional<std::size_t> payload_length(std::span<const uint8_t> h) noexcept;

// Message number (first 12 bits of the payload) of a whole frame; 0 when it has no payload.
uint16_t message_type(std::span<const uint8_t> frame) noexcept;

// Checks one whole frame held in FRAME (nothing before or after it).
bool valid_frame(std::span<const uint8_t> frame) noexcept;

struct FramerStats {
    uint64_t frames = 0;
    uint64_t bytes_in = 0;
    uint64_t bad_crc = 0;        // complete candidates whose CRC fails
    uint64_t bad_header = 0;     // a preamble followed by set reserved bits
    uint64_t skipped_bytes = 0;  // bytes in no frame (garbage, HTML, partial frames given up)
};

// Incremental framer. feed() takes any chunk; next() returns the next whole frame, valid until
// the next call to feed() or next(). A candidate whose CRC fails is given up one byte at a
// time, so a false preamble inside data never swallows a real frame behind it. Call next()
// until it returns nullopt before feeding again: then it holds less than one frame's worth.
class Framer {
  public:
    void feed(std::span<const uint8_t> chunk);
    std::optional<std::span<const uint8_t>> next();
    // Bytes held: a candidate waiting for the rest of its bytes, plus input not looked at yet.
    std::size_t buffered() const noexcept { return buf_.size() - pos_; }
    // Forgets buffered bytes (a new connection starts mid-stream); statistics stay.
    void reset() noexcept;
    const FramerStats& stats() const noexcept { return stats_; }

  private:
    void compact();
    std::vector<uint8_t> buf_;
    std::size_t pos_ = 0;
    std::size_t release_ = 0;  // bytes of the frame last returned, dropped at the next call
    FramerStats stats_;
};

}  // namespace zq::hub::rtcm3
