// Faults the simulator puts on the line on purpose, as a flaky receiver or cable would: noise
// bytes before every burst, NAV-PVT frames with a damaged checksum, and stalls during which the
// receiver neither sends nor hears anything. (Unplugging is the port's business: PtyPort.)
#pragma once

#include <random>
#include <string>

namespace zqsim {

class Damage {
  public:
    Damage(unsigned seed, int noise_bytes, int bad_checksum_every, int stall_seconds)
        : rng_(seed),
          noise_(noise_bytes),
          bad_every_(bad_checksum_every),
          stall_seconds_(stall_seconds) {}

    // The noise to put before the next burst: mostly random bytes, with sync pairs and '$'
    // mixed in to tempt the framers.
    std::string noise();
    void set_noise(int bytes) { noise_ = bytes; }

    // Damages the checksums of the next n NAV-PVT frames (on top of every K-th).
    void add_bad_checksums(int n);
    // Whether NAV-PVT number pvt_number (1-based, counted by the caller) goes out damaged.
    bool damage_pvt(long long pvt_number);
    // Spoils a frame's checksum in place; frame_end is the offset just past it.
    static void spoil(std::string& bytes, size_t frame_end) { bytes[frame_end - 1] ^= 0x5A; }

    // A stall of the given length (or of --stall-seconds when negative) from now.
    void stall(double now, double seconds) {
        stall_until_ = now + (seconds < 0 ? stall_seconds_ : seconds);
    }
    bool stalled(double now) const { return now < stall_until_; }
    double stall_until() const { return stall_until_; }

  private:
    std::mt19937 rng_;
    int noise_;
    int bad_every_;
    int stall_seconds_;
    int bad_pending_ = 0;
    double stall_until_ = 0;
};

}  // namespace zqsim
