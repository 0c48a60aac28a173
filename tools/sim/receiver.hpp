// The simulated receiver: its generation, its configuration by key in layers, and its answers
// to the UBX commands that arrive from the host. Legacy messages and key messages change the
// same keys; what the receiver sends follows those keys whichever way they were set.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config_store.hpp"
#include "generation.hpp"
#include "keyed.hpp"
#include "ubx/frame.hpp"

namespace zqsim {

struct ReceiverSetup {
    int generation = 0;  // 0: the classic receiver of a run without --generation
    bool pvt84 = false;
    bool fresh = false;  // NAV-PVT off (always so with a generation)
    bool nmea = true;
    double rate_hz = 1;
    uint32_t uart_baud = 0;  // 0: on USB; else on UART1 at this speed
    bool flash = true;
    bool sky = false;  // --sky: NAV-SAT and NAV-DOP on out of the box, once a second
    bool utc = false;  // --utc: NAV-TIMELS likewise
};

// What the configuration in force makes the receiver do.
struct Output {
    int64_t period_ms = 1000;
    uint8_t pvt_rate = 0;     // NAV-PVT every n-th epoch on the port; 0 = off
    uint8_t nmea_rate[6]{};   // GGA GLL GSA GSV RMC VTG, likewise
    uint8_t sat_rate = 0;     // NAV-SAT (NAV-SVINFO on protocol 14), likewise
    uint8_t dop_rate = 0;     // NAV-DOP
    uint8_t timels_rate = 0;  // NAV-TIMELS
    bool rxm_rtcm = false;    // RXM-RTCM for each RTCM 3 message heard
    bool rtcm3_in = false;    // the port takes RTCM 3 input
    int psm_state = 0;        // NAV-PVT psmState: 1 in a power save mode
    bool ubx_in = true;       // the port takes UBX input
    bool ubx_out = true;      // the port sends UBX (answers and ACKs included)
    uint32_t baud = 0;        // the UART's speed; 0 on USB
    bool gnss = true;         // false between CFG-RST GNSS stop and start
};

// The outcome of one frame from the host.
struct Reply {
    std::vector<uint8_t> bytes;   // answers and ACK, for the host
    bool timing_changed = false;  // epoch period, or GNSS stopped / started
    bool baud_changed = false;    // the UART's speed changes once bytes are out
};

class Receiver {
  public:
    explicit Receiver(const ReceiverSetup& s);

    Reply handle(const ubx::Frame& f);
    // A power cycle: RAM rebuilt from the saved layers over the defaults.
    void power_cycle();

    Output output() const;
    const Generation& generation() const { return gen_; }
    bool short_pvt() const { return gen_.short_pvt; }
    int port() const { return port_; }
    // One line per handled command, for the log on stderr.
    const std::string& last_event() const { return event_; }

    // Control commands: output changes that bypass the UBX interface (RAM only).
    void set_rate(double hz);
    void set_pvt(bool on);
    void set_nmea(bool on);

  private:
    bool dispatch(CommandContext& c, const ubx::Frame& f, bool* answer_ack);

    Generation gen_;
    int port_;
    bool flash_;
    ConfigStore store_;
    KeyConfig keys_;
    bool gnss_ = true;
    std::string event_;
};

}  // namespace zqsim
