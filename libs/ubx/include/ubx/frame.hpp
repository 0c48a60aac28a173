// UBX framing: checksum, frame assembly and the incremental scanner that finds frames in a
// byte stream shared with NMEA, RTCM3 and line noise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <utility>
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

// Whether a receiver could send a frame of this class, id and payload length: its class is one
// receivers send (ubx::classes), the length is within the class's longest message, and for a
// catalogued message it is 0 (a poll) or a length one of its forms has. The scanner's
// "plausible" (below).
bool plausible(uint8_t cls, uint8_t id, std::size_t payload_len) noexcept;

// Every candidate (sync chars) that the scanner steps over is counted once, in one of the
// rejection counters; candidates inside a delivered frame and the one still waiting for its
// bytes are not counted.
struct ScannerStats {
    uint64_t frames = 0;
    uint64_t bad_checksums = 0;  // complete candidates whose checksum fails
    uint64_t oversize = 0;       // sync chars followed by a length above the cap
    uint64_t bad_lengths = 0;    // a length its class/id cannot have (known lengths only): none
                                 // of its catalogued forms, or above its class's longest
    uint64_t false_syncs = 0;    // a candidate that cannot be true, given up for one that can
    uint64_t skipped_bytes = 0;
};

// Incremental frame scanner. Usage:
//
//     scanner.feed(chunk);
//     while (auto frame = scanner.next()) use(*frame);
//
// feed() does not copy: the scanner works on the caller's bytes, which must stay alive and
// unchanged until next() has returned nullopt. Only the start of a frame that the chunk cuts off
// is copied, into a buffer that never holds more than one frame of max_payload bytes (and the
// five bytes of a header behind it), so memory stays bounded whatever arrives. A returned Frame
// is valid until the next call to feed() or next().
//
// Candidates. Sync chars with a complete header are a candidate unless the header rules it out
// at once: a length above max_payload, and with known_lengths_only also a catalogued class/id
// with a length that none of its forms has (0, a poll, always fits) or a length above the longest
// payload of its class (ubx::class_max_len). A candidate is plausible when a receiver could send
// it: its class is one receivers send, its length fits the catalogue's forms and its class's
// maximum. Otherwise (a class nobody sends, such as 0: B5 62 00 00 00 00 00 00 is a valid empty
// frame) it is implausible; without known_lengths_only the length checks only make a candidate
// implausible instead of ruling it out.
//
// Which frame comes next, from the scan position on:
//  1. The first plausible candidate is awaited. Every candidate that starts inside it waits with
//     it: when its bytes are complete and its checksum holds, it is delivered, and what lay
//     inside it was payload; when the checksum fails it is no frame, and scanning resumes at the
//     byte after its first sync char, so the frames inside it come out then. So no true frame is
//     lost to a frame-like run of bytes in its payload.
//  2. An implausible candidate never holds anything up: it is given up as soon as a plausible
//     candidate starts inside it. Otherwise, of the implausible candidates, the complete,
//     checksum-valid one that ends first (of two, the one starting first) is delivered once
//     the headers of every candidate inside it are known.
// A false header with a plausible length therefore delays the frames behind it until that many
// bytes have come (at most its class's longest message: 4 KiB for NAV, 8 KiB for RXM; the cap
// for classes with unbounded text or lists), then they come out intact; a false header
// of any other kind delays nothing. Both rules depend only on the stream, so any chunking gives
// the same frames.
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
    // Fewest further bytes that could complete a frame: while a plausible candidate waits, the
    // rest of it (nothing can come out before it); otherwise the least that any buffered
    // candidate still needs, and never more than a minimal frame, since a frame starting in the
    // next bytes may come out. A reader that asks for no more than this never waits for bytes
    // that a frame does not need.
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
    enum class Kind : uint8_t { None, Rejected, Plausible, Implausible };

    std::optional<Frame> next_in_carry();
    std::optional<Frame> next_in_input();
    Kind classify(const uint8_t* header) const noexcept;
    Kind classify_anew(const uint8_t* header) const noexcept;
    std::optional<Hit> search(const uint8_t* base, std::size_t end);
    std::optional<Hit> settle(const uint8_t* base, std::size_t upto);
    std::size_t first_live();
    void rebase(std::size_t by) noexcept;
    void step_over(const uint8_t* base, std::size_t from, std::size_t to, std::size_t end);
    void forget_candidates() noexcept;
    void pull(std::size_t n);

    std::size_t max_payload_;
    bool known_lengths_only_;
    std::vector<uint8_t> carry_;  // live bytes are [cbeg_, size())
    std::size_t cbeg_ = 0;
    std::size_t release_ = 0;  // carry bytes handed out as the last frame, dropped on next call
    std::span<const uint8_t> in_;
    // What search() knows between calls, as offsets into the bytes it searches: the plausible
    // candidate being awaited (kNone when there is none; nothing inside it has been looked at
    // yet), or else the implausible candidates not yet settled, by offset (those settled since
    // flagged kDone) and as a min-heap of (end, offset); and where looking for sync chars
    // resumes. Every other candidate before scan_ is ruled out. The open implausible ones all
    // end past the scan position, so there is at most one per two bytes of a frame.
    static constexpr std::size_t kDone = std::size_t{1} << (sizeof(std::size_t) * 8 - 1);
    static constexpr std::size_t kNone = SIZE_MAX;
    std::size_t await_at_ = kNone;
    std::size_t await_end_ = 0;
    std::deque<std::size_t> waiting_;
    std::vector<std::pair<std::size_t, std::size_t>> due_;
    std::size_t scan_ = 0;
    std::size_t need_ = kOverhead;   // wanted() while the carry holds a candidate
    mutable uint32_t last_key_ = 0;  // class, id and length of the header classify() saw last
    mutable Kind last_kind_ = Kind::None;
    ScannerStats stats_;
    SkipSink skip_sink_ = nullptr;
    void* skip_ctx_ = nullptr;
};

}  // namespace ubx
