// UBX framing: checksum, frame assembly and the incremental scanner that finds frames in a
// byte stream shared with NMEA, RTCM3 and line noise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace ubx {

inline constexpr uint8_t kSync1 = 0xB5;
inline constexpr uint8_t kSync2 = 0x62;
inline constexpr std::size_t kHeaderSize = 6;  // sync, sync, class, id, length (U2)
inline constexpr std::size_t kOverhead = 8;    // header + CK_A, CK_B

// Longest payload the scanner accepts by default. The largest payloads seen in practice are
// around 8 KiB (RXM-RAWX with 255 measurements is 8176 bytes); a longer length field is taken
// for a false sync rather than making the scanner buffer up to 64 KiB of somebody else's data.
inline constexpr std::size_t kDefaultMaxPayload = 16384;

struct Checksum {
    uint8_t a = 0;
    uint8_t b = 0;
    friend bool operator==(const Checksum&, const Checksum&) = default;
};

// 8-bit Fletcher over class, id, both length bytes and the payload.
Checksum checksum(std::span<const uint8_t> class_id_len_payload) noexcept;

std::vector<uint8_t> make_frame(uint8_t cls, uint8_t id, std::span<const uint8_t> payload);

// A complete, checksum-valid frame. A view: the bytes belong to whoever produced it (see
// Scanner::next for how long they stay valid).
struct Frame {
    uint8_t cls = 0;
    uint8_t id = 0;
    std::span<const uint8_t> payload;
    std::span<const uint8_t> raw;  // sync chars through checksum
};

// Checks one complete frame held in `raw` (nothing before or after it); throws ubx::Error
// (BadFrame or BadChecksum).
Frame parse_frame(std::span<const uint8_t> raw);

struct ScannerStats {
    uint64_t frames = 0;
    uint64_t bad_checksums = 0;
    uint64_t oversize = 0;  // sync chars followed by a length above the cap
    uint64_t skipped_bytes = 0;
};

// Incremental frame scanner. Usage:
//
//     scanner.feed(chunk);
//     while (auto frame = scanner.next()) use(*frame);
//
// feed() does not copy: the scanner works on the caller's bytes, which must stay alive and
// unchanged until next() has returned nullopt. Only the start of a frame that the chunk cuts off
// is copied, into a buffer that never holds more than one frame of max_payload bytes, so memory
// stays bounded whatever arrives. A returned Frame is valid until the next call to feed() or
// next().
//
// A candidate (sync chars) whose length exceeds max_payload or whose checksum fails is not a
// frame; scanning resumes at the byte after its first sync char.
class Scanner {
  public:
    explicit Scanner(std::size_t max_payload = kDefaultMaxPayload);

    // Precondition: the previous chunk is drained (next() returned nullopt); otherwise throws
    // std::logic_error, since silently buffering it would make memory unbounded.
    void feed(std::span<const uint8_t> chunk);
    std::optional<Frame> next();

    bool drained() const noexcept { return in_.empty(); }
    // Fewest further bytes that could complete a frame: the rest of the frame whose start is
    // buffered, or a minimal frame when hunting. A reader that asks for no more than this never
    // waits for bytes that a frame does not need.
    std::size_t wanted() const noexcept;
    // Bytes held back (start of an incomplete frame) plus undrained input.
    std::size_t buffered() const noexcept { return carry_.size() - cbeg_ + in_.size(); }
    std::size_t max_payload() const noexcept { return max_payload_; }
    const ScannerStats& stats() const noexcept { return stats_; }
    // Forgets buffered bytes and pending input (not the statistics).
    void reset() noexcept;

  private:
    std::optional<Frame> next_in_carry();
    std::optional<Frame> next_in_input();
    void pull(std::size_t n);
    void hunt_carry(std::size_t from);

    std::size_t max_payload_;
    std::vector<uint8_t> carry_;  // live bytes are [cbeg_, size()); carry_[cbeg_] is kSync1
    std::size_t cbeg_ = 0;
    std::size_t release_ = 0;  // carry bytes handed out as the last frame, dropped on next call
    std::span<const uint8_t> in_;
    ScannerStats stats_;
};

}  // namespace ubx
