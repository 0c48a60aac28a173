// The simulator's own NAV-PVT encoder. It lays the payload out by byte offset from the protocol
// notes and deliberately does not use the codec's builder: the frames it produces are an
// oracle against which the codec and the driver are tested.
#pragma once

#include <cstdint>
#include <vector>

#include "trajectory.hpp"

namespace zqsim {

// Little-endian payload of NAV-PVT laid out by byte offset, independently of the codec under
// test: 92 bytes, or the 84-byte form of protocol 14.
std::vector<uint8_t> nav_pvt_payload(const Solution& s, bool short_form);

}  // namespace zqsim
