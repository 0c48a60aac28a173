// The GGA sentence a corrections client sends its caster: the receiver's latest NAV-PVT as NMEA,
// so that a network caster can pick or compute the corrections for where the rover is.
#pragma once

#include <optional>
#include <string>

#include "pvt.hpp"

namespace zq::hub {

// GGA fix quality from a solution: 0 invalid, 1 GNSS, 2 DGNSS, 4 RTK fixed, 5 RTK float,
// 6 dead reckoning.
int gga_quality(const Pvt& pvt) noexcept;

// "$GPGGA,...*hh" (no CR LF) for PVT, or nullopt when it holds no position worth sending: no
// fix, a time-only fix, gnssFixOk clear, or invalidLlh set. HDOP is not in NAV-PVT: the field
// carries pDOP, which is never smaller.
std::optional<std::string> gga_from_pvt(const Pvt& pvt);

}  // namespace zq::hub
