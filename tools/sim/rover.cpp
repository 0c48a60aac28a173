// Correction states of the rover (see rover.hpp).
#include "rover.hpp"

#include <algorithm>

namespace zqsim {

bool Rover::uses(int type) {
    if (type >= 1001 && type <= 1012) return true;  // legacy GPS and GLONASS observables
    if (type == 1005 || type == 1006 || type == 1230 || type == 4072) return true;
    // MSM1..7 of GPS, GLONASS, Galileo, SBAS, QZSS, BeiDou (1071..1127).
    return type >= 1071 && type <= 1127 && type % 10 >= 1 && type % 10 <= 7;
}

void Rover::heard(double now) {
    if (last_ < 0 || now - last_ > t_.hold) run_start_ = now;
    last_ = now;
}

void Rover::state(double now, int* diff, int* carr) const {
    *diff = *carr = 0;
    if (last_ < 0) return;
    const double age = now - last_;
    if (age > t_.timeout) return;
    *diff = 1;
    if (age > t_.hold) {
        *carr = 1;
        return;
    }
    const double steady = now - run_start_;
    *carr = steady >= t_.converge ? 2 : steady >= t_.converge / 2 ? 1 : 0;
}

void Rover::apply(Solution& s, double now) const {
    int diff = 0, carr = 0;
    state(now, &diff, &carr);
    if (!s.fix_ok || !diff) return;
    s.diff_soln = diff;
    s.carr_soln = carr;
    const double age = now - last_;
    // flags3 lastCorrectionAge: 1 [0,1) s, 2 [1,2), 3 [2,5), 4 [5,10), 5 [10,15), 6 [15,20).
    constexpr double kBounds[] = {1, 2, 5, 10, 15, 20};
    s.corr_age = 7;
    for (int i = 0; i < 6; ++i) {
        if (age < kBounds[i]) {
            s.corr_age = i + 1;
            break;
        }
    }
    if (carr == 2) {
        s.h_acc = 0.014;
        s.v_acc = 0.021;
    } else if (carr == 1) {
        s.h_acc = std::min(s.h_acc, 0.35);
        s.v_acc = std::min(s.v_acc, 0.55);
    } else {
        s.h_acc *= 0.5;
        s.v_acc *= 0.5;
    }
}

}  // namespace zqsim
