// The receiver's configuration and its answers to UBX commands arriving from the host.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "ubx/frame.hpp"

namespace zqsim {

struct Config {
    uint8_t pvt_rate = 1;                       // CFG-MSG rate of NAV-PVT on USB; 0 = off
    uint8_t nmea_rate[6] = {1, 1, 1, 1, 1, 1};  // GGA GLL GSA GSV RMC VTG
    uint16_t meas_rate_ms = 1000;
    uint16_t nav_rate = 1;
    uint16_t time_ref = 1;
    uint8_t lp_mode = 0;
    int64_t period_ms() const { return int64_t{meas_rate_ms} * nav_rate; }
};

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
    std::vector<uint8_t> cfg_msg(std::span<const uint8_t> p, bool* ok);
    Config cfg_;
    Config saved_;
    bool short_pvt_;
    std::string event_;
};

std::vector<uint8_t> mon_ver_payload(bool short_pvt);

}  // namespace zqsim
