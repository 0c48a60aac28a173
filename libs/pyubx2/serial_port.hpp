// Native reads on a pyserial port (Linux): the reader waits on the port's file descriptor with
// poll() and the interpreter lock released, then reads what is there with the lock held.
//
// The port object stays the authority on its descriptor. Before every read the port's `is_open`
// and `fd` are read afresh with the lock held, so a descriptor number that a close and a later
// open handed to another file is never read: after a close the read fails with pyserial's own
// exception for a closed port. A close from another thread wakes a waiting poll through the
// port's abort pipe, whose write end the close shuts (the pipe's read end then reports hang-up),
// the same way pyserial's own read is woken.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "pyref.hpp"

namespace pyubx2 {

class NativePort {
  public:
    // A NativePort for STREAM when it is a pyserial POSIX port whose read is pyserial's own
    // (neither the class nor the instance replaced it), else nullptr with no error set.
    static std::unique_ptr<NativePort> probe(PyObject* stream, PyObject* bound_read);

    // Reads up to CAP bytes that the port holds now. READY says poll reported the port
    // readable: a read that then finds nothing means the device is gone. Returns the count
    // (0: nothing there), or -1 with pyserial's exception set.
    Py_ssize_t read_now(PyObject* stream, uint8_t* buf, std::size_t cap, bool ready);

    enum class Wake { readable, timeout, aborted };
    // Waits up to SECONDS (negative: without limit) for the port to become readable, the
    // interpreter lock released. aborted: the port's read was cancelled or the port closed.
    // Returns false with an exception set on failure.
    bool wait(PyObject* stream, double seconds, Wake* wake);

    // Bytes the port's driver holds (FIONREAD); 0 when the port is closed or cannot say.
    std::size_t available(PyObject* stream) const;

  private:
    NativePort(pyref::Ref not_open, pyref::Ref serial_error);
    // The port's descriptor and abort pipe as the port object has them now, or -1 (with
    // pyserial's closed-port exception set) when it is closed.
    bool descriptors(PyObject* stream, int* fd, int* abort_fd) const;
    void raise_os_error(int err) const;

    pyref::Ref not_open_;      // serial.PortNotOpenError, or SerialException on older pyserial
    pyref::Ref serial_error_;  // serial.SerialException
};

}  // namespace pyubx2
