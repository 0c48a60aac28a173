// A pseudo-terminal that plays the receiver's serial device (its USB port, or with --uart the
// UART behind a serial adapter), published under a stable symlink the way udev publishes
// /dev/serial/by-id links.
#pragma once

#include <string>

namespace zqsim {

class PtyPort {
  public:
    explicit PtyPort(std::string link) : link_(std::move(link)) {}
    ~PtyPort() { unplug(); }
    PtyPort(const PtyPort&) = delete;
    PtyPort& operator=(const PtyPort&) = delete;

    // Creates a fresh pty and points the link at its slave. Throws std::system_error.
    void plug();
    // Removes the link and closes both ends: a host's reads on the slave then fail.
    void unplug();

    bool plugged() const { return master_ >= 0; }
    int master() const { return master_; }
    int slave() const { return slave_; }
    const std::string& link() const { return link_; }
    const std::string& slave_path() const { return slave_path_; }

  private:
    std::string link_;
    std::string slave_path_;
    int master_ = -1;
    // Held open so that the master never sees a hang-up while no host is attached, and so the
    // raw line settings survive between host sessions.
    int slave_ = -1;
};

}  // namespace zqsim
