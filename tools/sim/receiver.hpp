// The simulated receiver's configuration and its answers to the UBX commands that arrive from
// the host. Commands are decoded through the codec's message catalogue; answers are built with
// the codec's builder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ubx/frame.hpp"

namespace zqsim {

// What the receiver is configured to do: which messages it sends and how often it solves.
struct Config {
    uint8_t pvt_rate = 1;                       // CFG-MSG rate of NAV-PVT on USB; 0 = off
    uint8_t nmea_rate[6] = {1, 1, 1, 1, 1, 1};  // GGA GLL GSA GSV RMC VTG
    uint16_t meas_rate_ms = 1000;
    uint16_t nav_rate = 1;
    uint16_t time_ref = 1;
    uint8_t lp_mode = 0;
    int64_t period_ms() const { return int64_t{meas_rate_ms} * nav_rate; }
};

// One receiver: the configuration in force, the one saved in its non-volatile memory, and
// the command handling that changes them.
class Receiver {
  public:
    Receiver(Config start, bool short_pvt) : cfg_(start), saved_(start), short_pvt_(short_pvt) {}

    // Handles one frame from the host; returns the bytes to send back (answer and ACK).
    // Sets *rate_changed when the epoch period changed.
    std::vector<uint8_t> handle(const ubx::Frame& f, bool* rate_changed);

    // What a power cycle does: configuration reverts to what was last saved.
    void power_cycle() { cfg_ = saved_; }

    const Config& config() const { return cfg_; }
    Config& config() { return cfg_; }
    bool short_pvt() const { return short_pvt_; }
    // One line per handled command, for the log on stderr.
    const std::string& last_event() const { return event_; }

  private:
    bool cfg_msg(const ubx::Frame& f, std::vector<uint8_t>& out);
    bool cfg_rate(const ubx::Frame& f, std::vector<uint8_t>& out);
    bool cfg_cfg(const ubx::Frame& f);
    bool cfg_rxm(const ubx::Frame& f, std::vector<uint8_t>& out);

    Config cfg_;
    Config saved_;
    bool short_pvt_;
    std::string event_;
};

// MON-VER of the receiver the simulator stands for (u-blox 7 strings with the short NAV-PVT).
std::vector<uint8_t> mon_ver_payload(bool short_pvt);

}  // namespace zqsim
