// The serial line of a receiver on UART1 (--uart): bytes leave at the line's byte rate (baud/10
// per second, 8N1), and a host whose port is set to another speed receives garbage and is not
// understood, as with a real UART. The host's speed is read from the pty's line settings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>

namespace zqsim {

class UartLine {
  public:
    explicit UartLine(uint32_t baud) : baud_(baud) {}

    uint32_t baud() const { return baud_; }
    void set_baud(uint32_t baud) { baud_ = baud; }

    // The speed the host set on its end of the pty, in bit/s (0 when it is not a standard
    // one). On Linux the master reports the slave's line settings, so fd may be either end.
    static uint32_t host_speed(int fd);
    bool host_matches(int fd) const { return host_speed(fd) == baud_; }

    // Bytes the line can carry at now (monotonic seconds); sent() takes them off.
    size_t budget(double now);
    void sent(size_t n) { credit_ -= static_cast<double>(n); }
    // When `want` bytes (at most one chunk) will be due.
    double ready_at(size_t want) const;

    // What a host listening at host_baud makes of bytes sent at the line's speed: framing
    // errors, as bytes that never form a sync pair, a '$' or a line end.
    std::string garble(std::string_view bytes, uint32_t host_baud);

  private:
    double rate() const { return baud_ / 10.0; }
    // Credit never exceeds 10 ms of the line, so an idle line does not save up a burst.
    double chunk() const;

    uint32_t baud_;
    double credit_ = 0;
    double last_ = -1;
    double garble_acc_ = 0;
    std::mt19937 rng_{7};
};

}  // namespace zqsim
