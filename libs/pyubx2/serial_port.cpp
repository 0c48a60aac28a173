// Native reads on a pyserial port; see serial_port.hpp.
#include "serial_port.hpp"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

namespace pyubx2 {

using pyref::Ref;

namespace {

Ref attr(PyObject* obj, const char* name) {
    return Ref::steal(PyObject_GetAttrString(obj, name));
}

// The module NAME if it has been imported, else an empty Ref with no error set.
Ref imported(const char* name) {
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!key) return {};
    return Ref::steal(PyImport_GetModule(key.get()));
}

// An int attribute that may be None (-1) or missing (-1, no error left set).
int descriptor_attr(PyObject* obj, const char* name) {
    Ref v = attr(obj, name);
    if (!v || v.get() == Py_None || !PyLong_Check(v.get())) {
        PyErr_Clear();
        return -1;
    }
    const long fd = PyLong_AsLong(v.get());
    if (fd < 0 || fd > INT32_MAX) {
        PyErr_Clear();
        return -1;
    }
    return static_cast<int>(fd);
}

}  // namespace

NativePort::NativePort(Ref not_open, Ref serial_error)
    : not_open_(std::move(not_open)), serial_error_(std::move(serial_error)) {}

std::unique_ptr<NativePort> NativePort::probe(PyObject* stream, PyObject* bound_read) {
    Ref posix = imported("serial.serialposix");
    Ref util = posix ? imported("serial.serialutil") : Ref{};
    Ref cls = util ? attr(posix.get(), "Serial") : Ref{};
    Ref own_read = cls ? attr(cls.get(), "read") : Ref{};
    Ref serial_error = own_read ? attr(util.get(), "SerialException") : Ref{};
    if (!serial_error) {
        PyErr_Clear();
        return nullptr;
    }
    Ref not_open = attr(util.get(), "PortNotOpenError");
    if (!not_open) {
        PyErr_Clear();
        not_open = serial_error;
    }
    if (PyObject_IsInstance(stream, cls.get()) != 1 || !PyMethod_Check(bound_read) ||
        PyMethod_GET_FUNCTION(bound_read) != own_read.get() ||
        PyMethod_GET_SELF(bound_read) != stream) {
        PyErr_Clear();
        return nullptr;
    }
    return std::unique_ptr<NativePort>(new NativePort(std::move(not_open), serial_error));
}

bool NativePort::descriptors(PyObject* stream, int* fd, int* abort_fd) const {
    Ref open = attr(stream, "is_open");
    const int is_open = open ? PyObject_IsTrue(open.get()) : -1;
    if (is_open < 0) return false;
    *fd = is_open ? descriptor_attr(stream, "fd") : -1;
    if (*fd < 0) {
        if (not_open_.get() == serial_error_.get()) {
            PyErr_SetString(serial_error_.get(), "Attempting to use a port that is not open");
        } else {
            PyErr_SetNone(not_open_.get());
        }
        return false;
    }
    *abort_fd = descriptor_attr(stream, "pipe_abort_read_r");
    return true;
}

void NativePort::raise_os_error(int err) const {
    PyErr_Format(serial_error_.get(), "read failed: [Errno %d] %s", err, std::strerror(err));
}

Py_ssize_t NativePort::read_now(PyObject* stream, uint8_t* buf, std::size_t cap, bool ready) {
    int fd = -1;
    int abort_fd = -1;
    if (!descriptors(stream, &fd, &abort_fd)) return -1;
    // pyserial opens the port non-blocking with VMIN = VTIME = 0: this never waits.
    const ssize_t n = ::read(fd, buf, cap);
    if (n > 0) return n;
    if (n == 0) {
        if (!ready) return 0;
        // Disconnected devices report readiness to read but return nothing.
        PyErr_SetString(serial_error_.get(),
                        "device reports readiness to read but returned no data (device "
                        "disconnected or multiple access on port?)");
        return -1;
    }
    const int err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK || err == EALREADY || err == EINPROGRESS ||
        err == EINTR)
        return 0;
    raise_os_error(err);
    return -1;
}

bool NativePort::wait(PyObject* stream, double seconds, Wake* wake) {
    int fd = -1;
    int abort_fd = -1;
    if (!descriptors(stream, &fd, &abort_fd)) return false;
    pollfd fds[2] = {{fd, POLLIN, 0}, {abort_fd, POLLIN, 0}};
    const nfds_t nfds = abort_fd >= 0 ? 2 : 1;
    const int ms = seconds < 0 ? -1 : static_cast<int>(std::ceil(seconds * 1000));
    int err = 0;
    const int rc = pyref::without_gil([&] {
        const int n = ::poll(fds, nfds, ms);
        err = errno;
        return n;
    });
    if (rc < 0) {
        if (err != EINTR) {
            raise_os_error(err);
            return false;
        }
        if (PyErr_CheckSignals() < 0) return false;
        *wake = Wake::timeout;  // the caller works out what is left of its time
        return true;
    }
    if (nfds == 2 && fds[1].revents != 0) {
        // cancel_read() writes to the pipe, close() hangs it up: either way the read ends.
        if (fds[1].revents & POLLIN) {
            char drain[64];
            [[maybe_unused]] ssize_t ignored = ::read(abort_fd, drain, sizeof drain);
        }
        *wake = Wake::aborted;
        return true;
    }
    if (fds[0].revents & POLLNVAL) {
        *wake = Wake::aborted;  // closed before the wait began: the next read says so
        return true;
    }
    *wake = fds[0].revents != 0 ? Wake::readable : Wake::timeout;
    return true;
}

std::size_t NativePort::available(PyObject* stream) const {
    Ref open = attr(stream, "is_open");
    if (!open || PyObject_IsTrue(open.get()) != 1) {
        PyErr_Clear();
        return 0;
    }
    const int fd = descriptor_attr(stream, "fd");
    int n = 0;
    if (fd < 0 || ::ioctl(fd, FIONREAD, &n) < 0 || n < 0) return 0;
    return static_cast<std::size_t>(n);
}

}  // namespace pyubx2
