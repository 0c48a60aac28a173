// chrony's SOCK refclock: datagrams to chronyd's socket, never waiting for it.
#include "chrony.hpp"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace zq::hub {
namespace {

// Failures that mean one and the same outage.
int outage_kind(int err) {
    switch (err) {
        case ENOENT:
        case ECONNREFUSED:
        case ENOTDIR:
            return ENOENT;
        case EPERM:
        case EACCES:
            return EACCES;
        case EAGAIN:
        case ENOBUFS:
            return EAGAIN;
        default:
            return err;
    }
}

std::string owner_of(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return "";
    char buf[160];
    const passwd* pw = getpwuid(st.st_uid);
    const group* gr = getgrgid(st.st_gid);
    std::snprintf(buf, sizeof buf, " (it is %s:%s, mode %04o; this process runs as uid %u)",
                  pw ? pw->pw_name : std::to_string(st.st_uid).c_str(),
                  gr ? gr->gr_name : std::to_string(st.st_gid).c_str(),
                  static_cast<unsigned>(st.st_mode & 07777), static_cast<unsigned>(geteuid()));
    return buf;
}

}  // namespace

SockSample sock_sample(const TimeSample& s) noexcept {
    SockSample out{};
    double whole = std::floor(s.rx_real);
    auto usec = static_cast<long>(std::llround((s.rx_real - whole) * 1e6));
    if (usec >= 1'000'000) {
        usec -= 1'000'000;
        whole += 1;
    }
    out.tv.tv_sec = static_cast<time_t>(whole);
    out.tv.tv_usec = static_cast<suseconds_t>(usec);
    out.offset = (static_cast<double>(s.utc_sec) - whole) + (s.utc_nsec * 1e-9 - usec * 1e-6);
    out.pulse = 0;
    out.leap = static_cast<int>(s.leap);
    out._pad = 0;
    out.magic = kSockMagic;
    return out;
}

ChronyFeed::ChronyFeed(Tap& tap, std::string path,
                       std::shared_ptr<const std::atomic<uint32_t>> max_tacc_ns, LogFn log,
                       int64_t not_before)
    : TimeFeed(tap, std::move(max_tacc_ns), std::move(log), not_before), path_(std::move(path)) {
    if (path_.empty() || path_.size() >= sizeof(sockaddr_un{}.sun_path) ||
        path_.find('\0') != std::string::npos)
        throw std::invalid_argument("chrony socket path must be 1 to " +
                                    std::to_string(sizeof(sockaddr_un{}.sun_path) - 1) +
                                    " bytes: " + path_);
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "chrony socket");
    start();
}

ChronyFeed::~ChronyFeed() {
    stop();
    if (fd_ >= 0) close(fd_);
}

void ChronyFeed::report(int err) {
    const int kind = outage_kind(err);
    if (kind == outage_) return;
    outage_ = kind;
    std::string text;
    switch (kind) {
        case ENOENT:
            text = "chrony socket " + path_ +
                   " is not there (chronyd not running, or without \"refclock SOCK " + path_ +
                   "\"): trying again with every sample";
            break;
        case EACCES:
            text = "no permission to send to chrony socket " + path_ + owner_of(path_) +
                   ": chronyd makes it as its starting user with its umask; run zq-hub as that "
                   "user, or give this user write access once chronyd has started, e.g. "
                   "\"ExecStartPost=/bin/chmod 0660 " +
                   path_ +
                   "\" plus chgrp to zq-hub's group "
                   "in a drop-in for chrony.service";
            break;
        case EAGAIN:
            text = "chronyd is not reading " + path_ + ": samples are lost until it does";
            break;
        default:
            text = "cannot send to chrony socket " + path_ + ": " + std::strerror(err);
            break;
    }
    log(LogLevel::warning, text);
}

bool ChronyFeed::deliver(const TimeSample& s) {
    const SockSample sample = sock_sample(s);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path_.data(), path_.size());
    const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path_.size() + 1);
    const ssize_t n = sendto(fd_, &sample, sizeof sample, MSG_DONTWAIT | MSG_NOSIGNAL,
                             reinterpret_cast<const sockaddr*>(&addr), len);
    if (n != static_cast<ssize_t>(sizeof sample)) {
        report(n < 0 ? errno : EMSGSIZE);
        return false;
    }
    if (outage_ != 0 || !ever_sent_)
        log(LogLevel::info, std::string(ever_sent_ ? "sending to chrony socket again: "
                                                   : "sending to chrony socket: ") +
                                path_);
    outage_ = 0;
    ever_sent_ = true;
    return true;
}

}  // namespace zq::hub
