// Control inputs: command lines such as "unplug 3" or "rate 10" that come through the control
// FIFO or from --at, the FIFO itself, and the signals that stand for commands.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace zqsim {

// One command line split into its word and argument. x is the argument as a number (0 when
// there is none).
struct Command {
    std::string line;  // as logged, with '=' turned into ' '
    std::string name;
    std::string arg;
    double x = 0;
};

// Splits a line ("unplug=2" is taken for "unplug 2", so a command survives shell word
// splitting). Empty lines and counts or seconds out of range give nullopt; the latter are
// logged, since a huge, negative or NaN value would be undefined as an int or keep the
// simulator busy for ever.
std::optional<Command> parse_command(const std::string& text);

// A FIFO that anybody may write command lines to.
class ControlFifo {
  public:
    ControlFifo() = default;
    ~ControlFifo();
    ControlFifo(const ControlFifo&) = delete;
    ControlFifo& operator=(const ControlFifo&) = delete;

    // Replaces whatever is at path with a new FIFO; path "none" or "" means no FIFO.
    void open(const std::string& path);
    int fd() const { return fd_; }
    // The complete lines that have arrived; a partial line waits for its newline, and a run of
    // more than 4 KiB without one is thrown away.
    std::vector<std::string> read_lines();

  private:
    std::string path_;
    int fd_ = -1;
    int keep_ = -1;  // our own writer, so the FIFO never reports end-of-file between commands
    std::string buf_;
};

// The signals that control the simulator (SIGUSR1 unplug/replug, SIGUSR2 stall, SIGINT,
// SIGTERM and SIGHUP exit), taken through a signalfd so the event loop polls them like the rest.
class Signals {
  public:
    Signals() = default;
    ~Signals();
    Signals(const Signals&) = delete;
    Signals& operator=(const Signals&) = delete;

    // Blocks the signals for normal delivery (and ignores SIGPIPE), then opens the signalfd.
    void open();
    int fd() const { return fd_; }
    // The signals that arrived, in order.
    std::vector<int> read();

  private:
    int fd_ = -1;
};

}  // namespace zqsim
