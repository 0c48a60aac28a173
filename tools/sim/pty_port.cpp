// The pty that stands for the receiver's device, and its stable link (see pty_port.hpp).
#include "pty_port.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace zqsim {
namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

void PtyPort::plug() {
    if (plugged()) return;
    int m = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m < 0) fail("posix_openpt");
    char name[128];
    if (grantpt(m) != 0 || unlockpt(m) != 0 || ptsname_r(m, name, sizeof name) != 0) {
        int e = errno;
        ::close(m);
        errno = e;
        fail("pty setup");
    }
    int s = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (s < 0) {
        int e = errno;
        ::close(m);
        errno = e;
        fail(std::string("open ") + name);
    }
    termios tio{};
    tcgetattr(s, &tio);
    cfmakeraw(&tio);
    cfsetspeed(&tio, B9600);
    tcsetattr(s, TCSANOW, &tio);

    namespace fs = std::filesystem;
    fs::path link(link_);
    if (link.has_parent_path()) fs::create_directories(link.parent_path());
    // Re-pointing goes through a rename so a host never sees a half-made link.
    fs::path tmp = link;
    tmp += ".new";
    std::error_code ec;
    fs::remove(tmp, ec);
    fs::create_symlink(name, tmp);
    fs::rename(tmp, link);

    master_ = m;
    slave_ = s;
    slave_path_ = name;
}

void PtyPort::unplug() {
    if (!plugged()) return;
    std::error_code ec;
    std::filesystem::remove(link_, ec);
    ::close(slave_);
    ::close(master_);
    slave_ = master_ = -1;
    slave_path_.clear();
}

}  // namespace zqsim
