// What the host writes to the receiver, told apart as a receiver's input port does: UBX frames
// (whole, for the UBX scanner), RTCM 3 frames (preamble 0xD3, six reserved bits 0, a 10-bit
// length, CRC-24Q over all before it) and everything else. A candidate RTCM 3 frame that fails
// its CRC is rejected and the scan goes on one byte later, so a false preamble never swallows
// a real frame; one that stays incomplete past a deadline is rejected as truncated. A UBX frame
// is passed on once whole and checksummed, so a false sync pair with a large length does not
// hide the RTCM 3 frames behind it either.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace zqsim {

// CRC-24Q (polynomial 0x1864CFB, initial value 0) of the bytes.
uint32_t crc24q(std::span<const uint8_t> bytes);

struct RtcmFrame {
    std::string bytes;  // the whole frame, preamble to CRC
    int length = 0;     // payload length
    int type = 0;       // message number (0 when the payload is shorter than 12 bits)
    int station = 0;    // reference station id (12 bits after the number; 4072: 0)
    int sub_type = 0;   // 4072 only: the sub-type
};
// Reads the number, station and sub-type of a frame's payload.
RtcmFrame describe_rtcm(std::string bytes);

class InputDemux {
  public:
    struct Item {
        enum Kind { Other, Ubx, Rtcm, BadRtcm } kind;
        std::string bytes;   // Other/Ubx/BadRtcm: for the UBX scanner; Rtcm: the frame
        std::string reason;  // BadRtcm: why ("CRC mismatch (type 1077, len 436)")
        int type = 0;        // BadRtcm: the message number its header names, if any
    };

    // What the scan waits to complete.
    enum class Candidate { None, Ubx, Rtcm };

    void feed(std::span<const uint8_t> data, double now);
    std::optional<Item> next();
    // A candidate (UBX frame or RTCM 3 frame) incomplete since before deadline is given up:
    // its first byte is stepped over and the scan resumes. Returns what was given up.
    Candidate expire(double deadline);
    // When the pending candidate began (to time its expiry); negative when there is none.
    double candidate_since() const { return waiting_ != Candidate::None ? since_ : -1; }
    void reset();

  private:
    void wait(Candidate c);

    std::string pending_;
    Candidate waiting_ = Candidate::None;
    double since_ = 0, last_feed_ = 0;
};

}  // namespace zqsim
