// The UART line (see uart.hpp).
#include "uart.hpp"

#include <termios.h>

#include <algorithm>
#include <cmath>

namespace zqsim {

uint32_t UartLine::host_speed(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) return 0;
    static constexpr struct {
        speed_t code;
        uint32_t baud;
    } kSpeeds[] = {{B1200, 1200},     {B2400, 2400},     {B4800, 4800},    {B9600, 9600},
                   {B19200, 19200},   {B38400, 38400},   {B57600, 57600},  {B115200, 115200},
                   {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
    const speed_t code = cfgetospeed(&tio);
    for (const auto& s : kSpeeds)
        if (s.code == code) return s.baud;
    return 0;
}

double UartLine::chunk() const {
    return std::max(1.0, rate() * 0.01);
}

size_t UartLine::budget(double now) {
    if (last_ < 0) last_ = now;
    credit_ = std::min(chunk(), credit_ + (now - last_) * rate());
    last_ = now;
    return credit_ < 1 ? 0 : static_cast<size_t>(credit_);
}

double UartLine::ready_at(size_t want) const {
    const double need = std::min(static_cast<double>(want), chunk()) - credit_;
    return last_ + std::max(need, 0.0) / rate();
}

std::string UartLine::garble(std::string_view bytes, uint32_t host_baud) {
    static constexpr uint8_t kJunk[] = {0x00, 0x80, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC, 0xFE,
                                        0xFF, 0x06, 0x1E, 0x3F, 0x7F, 0x9E, 0xE6, 0x18};
    std::string out;
    if (host_baud == 0) return out;  // nothing a host could sample
    // A faster host samples each byte more than once, a slower one misses most of them.
    const double per_byte = std::min(4.0, static_cast<double>(host_baud) / baud_);
    std::uniform_int_distribution<size_t> pick(0, std::size(kJunk) - 1);
    for (size_t i = 0; i < bytes.size(); ++i) {
        garble_acc_ += per_byte;
        for (; garble_acc_ >= 1; garble_acc_ -= 1)
            out += static_cast<char>(kJunk[pick(rng_)]);
    }
    return out;
}

}  // namespace zqsim
