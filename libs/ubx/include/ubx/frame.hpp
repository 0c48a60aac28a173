// UBX framing: checksum, frame assembly and the incremental scanner that finds frames in a
// byte stream shared with NMEA, RTCM3 and line noise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
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

// Every candidate (sync chars) that the scanner steps over is counted once, in one of the
// rejection counters; candidates inside a delivered frame and the one still waiting for its
// bytes are not counted.
struct ScannerStats {
    uint64_t frames = 0;
    uint64_t bad_checksums = 0;  // complete candidates whose checksum fails
    uint64_t oversize = 0;       // sync chars followed by a length above the cap
    uint64_t bad_lengths = 0;    // a catalogued class/id with a length none of its forms has
    uint64_t false_syncs = 0;    // given up for a valid frame that starts inside and ends first
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
// frame; scanning resumes at the byte after its first sync char. With known_lengths_only, a
// class/id that the catalogue knows is also rejected at once when its length is neither 0 (a
// poll) nor one that a form of the message has; unknown class/ids are only held to the cap.
//
// A candidate that waits for the rest of its bytes does not hold up frames behind it: of the
// complete, checksum-valid frames that start at or after the scan position, the one that ends
// first is delivered (of two ending together, the one starting first), as soon as its last
// byte is fed. That rule depends only on the stream, so any chunking gives the same frames.
class Scanner {
  public:
    explicit Scanner(std::size_t max_payload = kDefaultMaxPayload, bool known_lengths_only = true);

    // Precondition: the previous chunk is drained (next() returned nullopt); otherwise throws
    // std::logic_error, since silently buffering it would make memory unbounded.
    void feed(std::span<const uint8_t> chunk);
    std::optional<Frame> next();

    bool drained() const noexcept { return in_.empty(); }
    // True when next() may return a frame without another feed(): input not yet drained, or
    // bytes after the frame just returned not yet looked at. A reader holding a backlog calls
    // next() again before it reads.
    bool has_unscanned() const noexcept {
        return !in_.empty() || (release_ != 0 && cbeg_ + release_ < carry_.size());
    }
    // Fewest further bytes that could complete a frame: the least that any buffered candidate
    // still needs, and never more than a minimal frame, since a frame starting in the next
    // bytes is delivered even while an earlier candidate waits. A reader that asks for no more
    // than this never waits for bytes that a frame does not need.
    std::size_t wanted() const noexcept;
    // Bytes held back (start of an incomplete frame) plus undrained input.
    std::size_t buffered() const noexcept { return carry_.size() - cbeg_ + in_.size(); }
    std::size_t max_payload() const noexcept { return max_payload_; }
    bool known_lengths_only() const noexcept { return known_lengths_only_; }
    const ScannerStats& stats() const noexcept { return stats_; }
    // Forgets buffered bytes and pending input (not the statistics).
    void reset() noexcept;

    // Told of every byte the scanner steps over (every byte not inside a delivered frame), in
    // stream order, each exactly once, as soon as it is ruled out; bytes still held when
    // reset() runs are never told. Called from next(); must not call back into the scanner.
    using SkipSink = void (*)(void* ctx, std::span<const uint8_t> bytes);
    void on_skip(SkipSink sink, void* ctx) noexcept {
        skip_sink_ = sink;
        skip_ctx_ = ctx;
    }

  private:
    struct Hit {
        std::size_t at;
        std::size_t total;
    };

    std::optional<Frame> next_in_carry();
    std::optional<Frame> next_in_input();
    bool length_ok(const uint8_t* header) const noexcept;
    std::optional<Hit> search(const uint8_t* base, std::size_t end, std::size_t origin);
    std::size_t first_live(std::size_t origin);
    void rebase(std::size_t by) noexcept;
    void step_over(const uint8_t* base, std::size_t from, std::size_t to, std::size_t end,
                   std::size_t frame_end);
    void forget_candidates() noexcept;
    void pull(std::size_t n);

    std::size_t max_payload_;
    bool known_lengths_only_;
    std::vector<uint8_t> carry_;  // live bytes are [cbeg_, size())
    std::size_t cbeg_ = 0;
    std::size_t release_ = 0;  // carry bytes handed out as the last frame, dropped on next call
    std::span<const uint8_t> in_;
    // What search() knows of the carry between calls: the candidates waiting for bytes (header
    // complete, length accepted) by offset, those search() has since ruled out flagged kDone,
    // and the same candidates as a min-heap of end << 32 | offset; and where looking for sync
    // chars resumes. Every other candidate before scan_ is ruled out. Offsets into carry_.
    // Both hold at most one entry per two bytes of a frame, so they stay bounded like the carry.
    static constexpr uint32_t kDone = 0x80000000u;
    std::deque<uint32_t> waiting_;
    std::vector<uint64_t> due_;
    std::size_t scan_ = 0;
    std::size_t need_ = kOverhead;  // wanted() while the carry holds a candidate
    ScannerStats stats_;
    SkipSink skip_sink_ = nullptr;
    void* skip_ctx_ = nullptr;
};

}  // namespace ubx
