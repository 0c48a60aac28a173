// Ground truth: where the simulated vehicle is at each epoch, and the sky it sees. Everything
// the simulator sends (NAV-PVT, NMEA, truth lines) is derived from one Solution per epoch.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace zqsim {

struct Satellite {
    char system;  // 'P' GPS, 'L' GLONASS: the NMEA talker letter
    int prn;      // NMEA numbering (GLONASS 65..96)
    int elev;     // degrees
    int azim;     // degrees
    int cno;      // dBHz
    bool used;
    int gnss_id = 0;  // UBX numbering: 0 GPS, 1 SBAS, 2 Galileo, 3 BeiDou, 6 GLONASS
    int sv_id = 0;
    int pr_res = 0;  // pseudorange residual, 0.1 m
};

struct Solution {
    int64_t unix_ms = 0;  // UTC time of the epoch
    uint32_t itow = 0;    // GPS time of week, ms
    int year = 0, month = 0, day = 0, hour = 0, min = 0, sec = 0, millis = 0;
    int fix_type = 0;  // 0 no fix, 3 3D
    bool fix_ok = false;
    double lat = 0, lon = 0;  // degrees
    double hmsl = 0;          // m
    double geoid_sep = 0;     // m, ellipsoid minus mean sea level
    double speed = 0;         // m/s over ground
    double heading = 0;       // degrees, direction of motion
    double vel_down = 0;      // m/s
    double pdop = 99.99, hdop = 99.99, vdop = 99.99;
    double gdop = 99.99, tdop = 99.99, ndop = 99.99, edop = 99.99;
    // Time quality as NAV-PVT reports it: valid bits, flags2 (confirmation), tAcc, nano.
    int valid = 0x07, flags2 = 0xE0;
    uint32_t t_acc = 25;
    int32_t nano = 0;
    // Corrections in use: NAV-PVT diffSoln, carrSoln (1 float, 2 fixed), flags3's
    // lastCorrectionAge code (0: none).
    int diff_soln = 0, carr_soln = 0, corr_age = 0;
    double h_acc = 0, v_acc = 0, s_acc = 0, head_acc = 0;  // m, m, m/s, degrees
    int psm_state = 0;
    std::vector<Satellite> sats;
    int num_sv() const;
};

// The solution's UTC date and time of day (year .. sec) at UNIX_S seconds since 1970.
void set_utc_date(Solution& s, int64_t unix_s);

class Sky;

class Trajectory {
  public:
    // sky: the richer sky of --sky; nullptr for the classic GPS and GLONASS one.
    Trajectory(double lat, double lon, double speed, double heading, double acquire_seconds,
               std::shared_ptr<const Sky> sky = nullptr);
    // Moves the vehicle to the epoch at unix_ms and describes it.
    Solution advance(int64_t unix_ms);

  private:
    double lat_, lon_, speed0_, heading_;
    double acquire_s_;
    std::shared_ptr<const Sky> sky_;
    int64_t start_ms_ = -1, last_ms_ = -1;
};

}  // namespace zqsim
