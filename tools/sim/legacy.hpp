// The legacy configuration messages (CFG-MSG, CFG-RATE, CFG-RXM, CFG-NAV5, CFG-PRT, CFG-CFG,
// CFG-RST), each mapped onto the keys of the configuration store so that a value set one way
// reads back the other. A handler returns true for ACK-ACK and false for ACK-NAK.
#pragma once

#include "command_context.hpp"
#include "ubx/frame.hpp"

namespace zqsim {

// Output rate of NAV-PVT or an NMEA sentence: the MSGOUT key of the port it arrives on (three
// bytes), of every port (eight bytes), or a poll answered in the three-byte form.
bool cfg_msg(CommandContext& c, const ubx::Frame& f);
// Measurement period and navigation rate (CFG-RATE-MEAS / NAV / TIMEREF), or a poll.
bool cfg_rate(CommandContext& c, const ubx::Frame& f);
// lpMode 0 and 4 (continuous) and 1 (power save) as CFG-PM-OPERATEMODE, or a poll.
bool cfg_rxm(CommandContext& c, const ubx::Frame& f);
// Dynamic platform model and fix mode (CFG-NAVSPG-DYNMODEL / FIXMODE), or a poll.
bool cfg_nav5(CommandContext& c, const ubx::Frame& f);
// UART1 baud rate and the protocol masks of UART1 and USB, or a poll of one port.
bool cfg_prt(CommandContext& c, const ubx::Frame& f);
// Clear, save and load of the battery-backed RAM and flash layers.
bool cfg_cfg(CommandContext& c, const ubx::Frame& f);
// A reset; never acknowledged. Returns whether the configuration was reloaded.
bool cfg_rst(CommandContext& c, const ubx::Frame& f);

}  // namespace zqsim
