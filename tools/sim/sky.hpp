// The sky of --sky: whole constellations on their orbits (GPS, GLONASS, Galileo, BeiDou and two
// geostationary SBAS satellites), seen from the start position as the Earth turns, so that
// elevations and azimuths move as a real receiver's do (optionally faster), satellites rise
// and set, and the DOPs follow from the geometry of the satellites used.
#pragma once

#include <cstdint>
#include <vector>

#include "trajectory.hpp"

namespace zqsim {

// The constellations a receiver tracks, as bits of 1 << gnssId.
inline constexpr unsigned kGps = 1 << 0, kSbas = 1 << 1, kGalileo = 1 << 2, kBeidou = 1 << 3,
                          kGlonass = 1 << 6;
// What a receiver generation tracks out of the box (0: the classic receiver, a u-blox 8).
unsigned constellations(int generation, bool short_pvt);

class Sky {
  public:
    // speed: how many times faster than real time the satellites move.
    Sky(double lat, double lon, unsigned systems, double speed);
    // Lists every satellite above the horizon at t seconds into the run (ordered by gnssId and
    // svId, as NAV-SAT lists them), marks those used (10 degrees up and not SBAS; none while
    // acquiring) and, with four or more used, sets the DOPs from their geometry.
    void fill(Solution& s, double t, bool acquiring) const;

    // The dilutions of precision of satellites at these elevations and azimuths (degrees), one
    // receiver clock; false when the geometry gives no solution.
    struct Dops {
        double g, p, t, v, h, n, e;
    };
    static bool dops(const std::vector<std::pair<double, double>>& el_az, Dops* out);

  private:
    struct Orbit {
        int gnss_id, sv_id;
        double a;        // m, orbit radius
        double inc;      // rad
        double raan;     // rad
        double u0;       // rad, argument of latitude at t = 0
        double geo_lon;  // rad, for a geostationary satellite (inc < 0)
    };
    double lat_, lon_, speed_;
    std::vector<Orbit> orbits_;
};

}  // namespace zqsim
