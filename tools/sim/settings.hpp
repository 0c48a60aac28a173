// The configuration keys the simulated receiver acts on, the values it leaves the factory
// with, and the values it accepts.
#pragma once

#include <cstdint>
#include <map>

#include "generation.hpp"

namespace zqsim {

namespace key {
inline constexpr uint32_t kRateMeas = 0x30210001, kRateNav = 0x30210002, kRateTimeref = 0x20210003;
inline constexpr uint32_t kFixMode = 0x20110011, kDynModel = 0x20110021;
inline constexpr uint32_t kOperateMode = 0x20d00001;
inline constexpr uint32_t kUart1Baud = 0x40520001;
}  // namespace key

// Port numbers as CFG-PRT and CFG-MSG's six rates count them.
inline constexpr int kPortI2c = 0, kPortUart1 = 1, kPortUart2 = 2, kPortUsb = 3, kPortSpi = 4;

// The MSGOUT key of a message the simulator can send on a port: NAV-PVT, NAV-SAT, NAV-DOP,
// NAV-TIMELS, RXM-RTCM or an NMEA sentence (F0 00..05); 0 for any other message.
uint32_t msgout_key(uint8_t cls, uint8_t id, int port);
// The same for a receiver of generation g, which may lack the message: 0 then. A protocol 14
// receiver has NAV-SVINFO (01 30) where later ones have NAV-SAT, and it takes the NAV-SAT key's
// place in the configuration.
uint32_t msgout_key(const Generation& g, uint8_t cls, uint8_t id, int port);
inline uint32_t nmea_key(int sentence, int port) {
    return msgout_key(0xF0, static_cast<uint8_t>(sentence), port);
}

// The protocol switches of USB and UART1; the other ports have none in the key table.
struct ProtoKeys {
    uint32_t in_ubx, in_nmea, in_rtcm3, out_ubx, out_nmea;
};
const ProtoKeys* proto_keys(int port);

// What the firmware's defaults are. The simulator's options decide some of them, so that a
// power cycle returns to the state the run started in.
struct Factory {
    double rate_hz = 1;
    int sky_every = 0;     // NAV-SAT and NAV-DOP every n-th epoch (--sky); 0 = off
    int timels_every = 0;  // NAV-TIMELS likewise (--utc)
    bool pvt = false;      // NAV-PVT on the port the receiver talks through
    bool nmea = true;      // the six NMEA sentences
    int port = kPortUsb;
    uint32_t baud = 9600;
    bool rtcm3_in = true;  // RTCM 3 input on USB and UART1 (the generation has it)
};
std::map<uint32_t, uint64_t> factory_defaults(const Factory& f);

// Whether the receiver accepts raw as the value of key id (a known key).
bool valid_value(const Generation& g, uint32_t id, uint64_t raw);
bool standard_baud(uint64_t baud);

}  // namespace zqsim
