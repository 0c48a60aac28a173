// stop and restart. stop signals the reader through `stopit` and closes the port without
// waiting. restart brings a reader back: it resets the summary values and marks them not
// live, counts itself, closes the old port, makes sure the earlier reader thread has ended,
// and opens and starts anew; a failed start is reported with code 2, never raised.

#include "error.hpp"
#include "receiver.hpp"

namespace zq {
namespace {

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
    LifecycleLock one_at_a_time(self);
    // Retired before anything is reset: from here on the earlier reader stores nothing, so the
    // reset values are not overwritten by a message it was still reading.
    bool ok = true;
    Ref earlier = retire_earlier_reader(module, self, &ok);
    if (!ok) return nullptr;

    if (!log(module, Name::info, "Stop current failed GPS thread ..") ||
        !log(module, Name::info, "Now restart GPS"))
        return nullptr;
    if (!setattr_long(module, self, Name::lat, 0) || !setattr_long(module, self, Name::lon, 0) ||
        !setattr_double(module, self, Name::acc, 99.99))
        return nullptr;
    for (Name n : {Name::numofsat, Name::gSpeed, Name::headAcc, Name::headMot}) {
        if (!setattr_long(module, self, n, -1)) return nullptr;
    }
    // The reset values are not live data: the new reader sets `flag` with its first message.
    if (!setattr(module, self, Name::flag, Py_False)) return nullptr;
    Ref index = getattr(module, self, Name::index);
    Ref one = index ? Ref::steal(PyLong_FromLong(1)) : Ref{};
    Ref next = one ? Ref::steal(PyNumber_Add(index.get(), one.get())) : Ref{};
    if (!next || !setattr(module, self, Name::index, next.get())) return nullptr;
    if (!close_port(module, self)) return nullptr;

    if (!wait_retired(module, self, earlier.get())) return nullptr;

    if (open_port(module, self) && start_thread(module, self)) Py_RETURN_NONE;
    if (!ordinary_error_pending()) return nullptr;
    Ref e = take_error();
    if (!report_error(module, e.get(), 2) || !setattr(module, self, Name::flag, Py_False) ||
        !setattr_long(module, self, Name::stopit, 1) || !close_port(module, self))
        return nullptr;
    Py_RETURN_NONE;
}

}  // namespace zq
