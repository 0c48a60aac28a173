// NMEA 0183 sentences describing a Solution, in the order and format a u-blox receiver uses.
#pragma once

#include <string>

#include "trajectory.hpp"

namespace zqsim {

// RMC, VTG, GGA, GSA, GSV, GLL in the order a u-blox receiver emits them, each "$...*HH\r\n".
// enabled[i] follows the NMEA msg ids: 0 GGA, 1 GLL, 2 GSA, 3 GSV, 4 RMC, 5 VTG.
std::string nmea_burst(const Solution& s, const bool enabled[6]);
std::string nmea_sentence(const std::string& body);

}  // namespace zqsim
