// The receiver as a rover: what the RTCM 3 corrections it has heard make of its solution. A
// steady stream takes it from a differential solution (diffSoln) through RTK float to RTK
// fixed (carrSoln 1, 2); without corrections it falls back to float after `hold` seconds and to
// no corrections at all after `timeout`.
#pragma once

#include "trajectory.hpp"

namespace zqsim {

struct RoverTiming {
    double converge = 4;  // s of steady corrections to RTK fixed (float from half of it)
    double hold = 5;      // s without corrections before fixed falls back to float
    double timeout = 15;  // s without corrections before they are no longer used
};

class Rover {
  public:
    explicit Rover(RoverTiming t) : t_(t) {}
    // Whether the receiver uses a message of this type for its solution (observations, the
    // reference station, biases); ephemerides and descriptors it hears but does not use.
    static bool uses(int type);
    // A used message arrived at monotonic time now.
    void heard(double now);
    // A power cycle: the corrections are gone.
    void reset() { last_ = run_start_ = -1; }
    // Marks the solution at now with what the corrections give: diffSoln, carrSoln, the age
    // code of flags3, and the accuracy that goes with them.
    void apply(Solution& s, double now) const;
    // diffSoln and carrSoln at now, for the log.
    void state(double now, int* diff, int* carr) const;

  private:
    RoverTiming t_;
    double last_ = -1, run_start_ = -1;
};

}  // namespace zqsim
