// stop and restart. stop signals the reader through `stopit` and closes the port without
// waiting. restart brings a reader back: it resets the summary values, counts itself, closes
// the old port, makes sure the earlier reader thread has ended, and opens and starts anew;
// a failed start is reported with code 2, never raised.

#include "error.hpp"
#include "receiver.hpp"

namespace zq {
namespace {

// The port's read time-out plus a margin: the longest an earlier reader can take to notice.
constexpr double kRetireWait = 2.0 + 1.0;

// Ends the mend's work quietly: an ordinary error is dropped (true), an interrupt or exit
// request stays pending for the caller (false).
bool quiet_end() {
    if (PyErr_Occurred() && !ordinary_error_pending()) return false;
    PyErr_Clear();
    return true;
}

// Retires the earlier reader thread (t1, when it is a live thread of the host's threading
// library) and waits, bounded, for it to end. Leaves `stopit` alone: its meaning belongs to
// the host. Failures here are not the host's concern and leave no error set.
bool retire_earlier_reader(PyObject* module, PyObject* self) {
    Ref t1 = getattr(module, self, Name::t1);
    Ref threading = t1 ? Ref::steal(PyImport_ImportModule("threading")) : Ref{};
    Ref thread_cls = threading ? getattr(module, threading.get(), Name::Thread) : Ref{};
    int is_thread = thread_cls ? PyObject_IsInstance(t1.get(), thread_cls.get()) : -1;
    if (is_thread <= 0 || !reader_alive(module, self)) return quiet_end();
    Ref ident_obj = getattr(module, t1.get(), Name::ident);
    unsigned long ident = ident_obj ? PyLong_AsUnsignedLong(ident_obj.get()) : 0;
    if (PyErr_Occurred()) return quiet_end();
    as_receiver(self)->retired.add(ident);
    if (ident == PyThread_get_thread_ident()) return true;  // called from the reader itself

    Ref timeout = Ref::steal(PyFloat_FromDouble(kRetireWait));
    Ref done = timeout ? call_method1(module, t1.get(), Name::join, timeout.get()) : Ref{};
    if (!done) return quiet_end();
    Ref alive = call_method0(module, t1.get(), Name::is_alive);
    if (alive && PyObject_Not(alive.get()) == 1) as_receiver(self)->retired.remove(ident);
    return quiet_end();
}

bool close_port(PyObject* module, PyObject* self) {
    Ref ser = getattr(module, self, Name::ser);
    return ser && call_method0(module, ser.get(), Name::close);
}

}  // namespace

PyObject* receiver_stop(PyObject* module, PyObject* self, PyObject* const*) {
    if (!setattr_long(module, self, Name::stopit, 1) || !close_port(module, self) ||
        !setattr_long(module, self, Name::flag, 0) ||
        !log(module, Name::info, "GPS serial stopped"))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* receiver_restart(PyObject* module, PyObject* self, PyObject* const*) {
    if (!log(module, Name::info, "Stop current failed GPS thread ..") ||
        !log(module, Name::info, "Now restart GPS"))
        return nullptr;
    if (!setattr_long(module, self, Name::lat, 0) || !setattr_long(module, self, Name::lon, 0) ||
        !setattr_double(module, self, Name::acc, 99.99))
        return nullptr;
    for (Name n : {Name::numofsat, Name::gSpeed, Name::headAcc, Name::headMot}) {
        if (!setattr_long(module, self, n, -1)) return nullptr;
    }
    Ref index = getattr(module, self, Name::index);
    Ref one = index ? Ref::steal(PyLong_FromLong(1)) : Ref{};
    Ref next = one ? Ref::steal(PyNumber_Add(index.get(), one.get())) : Ref{};
    if (!next || !setattr(module, self, Name::index, next.get())) return nullptr;
    if (!close_port(module, self)) return nullptr;

    if (!retire_earlier_reader(module, self)) return nullptr;

    if (open_port(module, self) && start_thread(module, self)) Py_RETURN_NONE;
    if (!ordinary_error_pending()) return nullptr;
    Ref e = take_error();
    if (!report_error(module, e.get(), 2) || !setattr(module, self, Name::flag, Py_False) ||
        !setattr_long(module, self, Name::stopit, 1) || !close_port(module, self))
        return nullptr;
    Py_RETURN_NONE;
}

}  // namespace zq
