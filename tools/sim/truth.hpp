// Ground-truth lines: one JSON object per epoch saying what the simulated receiver knew and
// whether it reached the line, so that tests and benchmarks can check a host against it.
#pragma once

#include <cstdio>
#include <string>

#include "replay.hpp"
#include "trajectory.hpp"

namespace zqsim {

// Where truth lines go: stdout ("-"), a file, or nowhere before open().
class TruthLog {
  public:
    TruthLog() = default;
    ~TruthLog();
    TruthLog(const TruthLog&) = delete;
    TruthLog& operator=(const TruthLog&) = delete;

    // Returns false (errno set) when the file cannot be written.
    bool open(const std::string& path);
    // Completes a partial object (from the functions below) with the outcome and the clocks:
    // t_mono is CLOCK_MONOTONIC, t_wall CLOCK_REALTIME, both taken when the outcome was known.
    void write(const std::string& partial, bool sent, const char* reason, double t_mono,
               double t_wall);

  private:
    std::FILE* out_ = nullptr;
};

// The fields of a synthetic epoch: time, position, motion, quality and what was sent.
std::string synthetic_truth(long long seq, const Solution& s, bool pvt, bool damaged,
                            size_t nmea_bytes);
// The fields of one recorded NAV-PVT being replayed.
std::string replay_truth(long long seq, const ReplayEpoch::Pvt& p, bool damaged);

}  // namespace zqsim
