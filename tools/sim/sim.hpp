// The simulator's event loop: one receiver on one pty, its epochs, its faults and its control
// inputs (FIFO, --at, signals), all driven from a single ppoll so that nothing busy-waits.
#pragma once

#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "control.hpp"
#include "damage.hpp"
#include "options.hpp"
#include "output.hpp"
#include "pacing.hpp"
#include "pty_port.hpp"
#include "receiver.hpp"
#include "rover.hpp"
#include "rtcm3.hpp"
#include "trajectory.hpp"
#include "truth.hpp"
#include "uart.hpp"
#include "ubx/frame.hpp"
#include "utc.hpp"

namespace zqsim {

class Sim {
  public:
    explicit Sim(Options o);
    ~Sim();
    Sim(const Sim&) = delete;
    Sim& operator=(const Sim&) = delete;
    // Runs until quit, a signal, or the end of the run; returns the exit status.
    int run();

  private:
    int prepare();
    void loop();
    void on_signals();
    void on_timer();
    void apply(const Command& c);
    void synthetic_epoch(int64_t epoch_ms);
    bool replay_epoch();
    bool send(std::string bytes, std::vector<OutputQueue::Mark> marks,
              const std::string& epoch_truth, bool answer = false);
    void flush();
    void read_host();
    void take_input();
    void scan_ubx(const std::string& bytes);
    void on_rtcm(const std::string& frame);
    void on_bad_rtcm(const std::string& reason, int type);
    double rtcm_patience() const;
    void answer(const ubx::Frame& f);
    void switch_baud(uint32_t baud);
    void arm_epoch_timer();
    void finish();
    void unplug();
    void replug();

    Options opt_;
    PtyPort port_;
    Receiver rx_;
    Trajectory traj_;
    Damage damage_;
    std::optional<UartLine> uart_;  // with --uart: pacing and speed of the line
    TruthLog truth_;
    OutputQueue out_{truth_};
    ControlFifo control_;
    Signals signals_;
    std::unique_ptr<EpochTimer> timer_;
    std::unique_ptr<ReplaySchedule> replay_;
    // Commands of a wrong length must reach the receiver, which answers them with ACK-NAK.
    ubx::Scanner scanner_{ubx::kDefaultMaxPayload, false};
    InputDemux demux_;
    Rover rover_;
    TimeState time_;
    int last_diff_ = 0, last_carr_ = 0;  // the rover's state last logged
    std::FILE* rtcm_out_ = nullptr;      // --rtcm-out

    std::multimap<double, std::string> events_;  // monotonic deadline -> command
    bool paused_ = false;
    long long epoch_count_ = 0, pvt_count_ = 0;
    int64_t next_epoch_ms_ = 0;
    bool done_ = false, stop_ = false;
    double done_at_ = 0;
};

}  // namespace zqsim
