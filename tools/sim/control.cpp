// Control lines and the control FIFO (see control.hpp).
#include "control.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "log.hpp"

namespace zqsim {

std::optional<Command> parse_command(const std::string& text) {
    Command c;
    c.line = text;
    for (char& ch : c.line)
        ch = ch == '=' ? ' ' : ch;
    std::istringstream in(c.line);
    in >> c.name >> c.arg;
    if (c.name.empty()) return std::nullopt;
    c.x = c.arg.empty() ? 0.0 : std::strtod(c.arg.c_str(), nullptr);
    const auto limit = [&](double lo, double hi) {
        if (std::isfinite(c.x) && c.x >= lo && c.x <= hi) return true;
        log("command out of range (%g to %g): %s", lo, hi, c.line.c_str());
        return false;
    };
    if ((c.name == "noise" && !limit(0, 65536)) || (c.name == "badck" && !limit(0, 1e6)) ||
        ((c.name == "stall" || c.name == "unplug") && !limit(0, 86400)))
        return std::nullopt;
    return c;
}

ControlFifo::~ControlFifo() {
    if (fd_ < 0) return;
    ::close(fd_);
    ::close(keep_);
    std::error_code ec;
    std::filesystem::remove(path_, ec);
}

void ControlFifo::open(const std::string& path) {
    if (path.empty() || path == "none") return;
    std::error_code ec;
    std::filesystem::remove(path, ec);
    if (mkfifo(path.c_str(), 0600) != 0) return;
    path_ = path;
    fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    keep_ = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
}

std::vector<std::string> ControlFifo::read_lines() {
    char buf[512];
    ssize_t r;
    while ((r = ::read(fd_, buf, sizeof buf)) > 0) {
        buf_.append(buf, static_cast<size_t>(r));
        if (buf_.size() > 4096) buf_.clear();
    }
    std::vector<std::string> lines;
    size_t nl;
    while ((nl = buf_.find('\n')) != std::string::npos) {
        lines.push_back(buf_.substr(0, nl));
        buf_.erase(0, nl + 1);
    }
    return lines;
}

Signals::~Signals() {
    if (fd_ >= 0) ::close(fd_);
}

void Signals::open() {
    sigset_t mask;
    sigemptyset(&mask);
    for (int s : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2, SIGHUP})
        sigaddset(&mask, s);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    signal(SIGPIPE, SIG_IGN);
    fd_ = signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK);
}

std::vector<int> Signals::read() {
    std::vector<int> got;
    signalfd_siginfo si{};
    while (::read(fd_, &si, sizeof si) == sizeof si)
        got.push_back(static_cast<int>(si.ssi_signo));
    return got;
}

}  // namespace zqsim
