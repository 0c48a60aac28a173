// Noise and checksum damage (see damage.hpp).
#include "damage.hpp"

#include <algorithm>

namespace zqsim {

std::string Damage::noise() {
    std::string s;
    std::uniform_int_distribution<int> byte(0, 255), pick(0, 15);
    for (int i = 0; i < noise_; ++i) {
        switch (pick(rng_)) {
            case 0:
                s += "\xB5\x62";
                break;
            case 1:
                s += '$';
                break;
            default:
                s += static_cast<char>(byte(rng_));
        }
    }
    return s.substr(0, static_cast<size_t>(std::max(noise_, 0)));
}

void Damage::add_bad_checksums(int n) {
    bad_pending_ = std::min(bad_pending_ + n, 1000000);
}

bool Damage::damage_pvt(long long pvt_number) {
    const bool damaged = bad_pending_ > 0 || (bad_every_ > 0 && pvt_number % bad_every_ == 0);
    if (bad_pending_ > 0) --bad_pending_;
    return damaged;
}

}  // namespace zqsim
