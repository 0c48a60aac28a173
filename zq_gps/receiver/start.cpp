// run: opens the port, wraps it in the UBX reader and starts the one reader thread.
#include "error.hpp"
#include "receiver.hpp"

namespace zq {

bool open_port(PyObject* module, PyObject* self) {
    Ref serial = global(module, Name::serial);
    Ref cls = serial ? getattr(module, serial.get(), Name::Serial) : Ref{};
    Ref port = cls ? getattr(module, self, Name::port) : Ref{};
    if (!port) return false;
    Ref kwargs = Ref::steal(
        Py_BuildValue("{s:O,s:i,s:i}", "port", port.get(), "baudrate", 9600, "timeout", 2));
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!kwargs || !empty) return false;
    Ref ser = Ref::steal(PyObject_Call(cls.get(), empty.get(), kwargs.get()));
    if (!ser || !setattr(module, self, Name::ser, ser.get())) return false;

    Ref reader_cls = global(module, Name::UBXReader);
    ser = reader_cls ? getattr(module, self, Name::ser) : Ref{};
    if (!ser) return false;
    Ref ubr = Ref::steal(PyObject_CallOneArg(reader_cls.get(), ser.get()));
    return ubr && setattr(module, self, Name::ubr, ubr.get());
}

bool start_thread(PyObject* module, PyObject* self) {
    Ref threading = global(module, Name::threading);
    Ref thread_cls = threading ? getattr(module, threading.get(), Name::Thread) : Ref{};
    Ref target = thread_cls ? getattr(module, self, Name::loop_gps) : Ref{};
    if (!target) return false;
    Ref kwargs = Ref::steal(Py_BuildValue("{s:O}", "target", target.get()));
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!kwargs || !empty) return false;
    Ref thread = Ref::steal(PyObject_Call(thread_cls.get(), empty.get(), kwargs.get()));
    if (!thread || !setattr(module, self, Name::t1, thread.get())) return false;
    Ref t1 = getattr(module, self, Name::t1);
    return t1 && call_method0(module, t1.get(), Name::start);
}

bool reader_alive(PyObject* module, PyObject* self) {
    Ref t1 = getattr(module, self, Name::t1);
    Ref alive = t1 ? call_method0(module, t1.get(), Name::is_alive) : Ref{};
    int truth = alive ? PyObject_IsTrue(alive.get()) : -1;
    if (truth < 0) {
        if (!ordinary_error_pending()) return false;
        PyErr_Clear();
        return false;
    }
    return truth == 1;
}

PyObject* receiver_run(PyObject* module, PyObject* self, PyObject* const*) {
    // One reader per object: a run while this object's reader still runs, or while another
    // thread is starting one, opens no second port and starts no second thread.
    LifecycleLock one_at_a_time(self);
    if (reader_alive(module, self)) Py_RETURN_NONE;
    if (PyErr_Occurred()) return nullptr;

    if (!open_port(module, self)) {
        if (!ordinary_error_pending()) return nullptr;
        Ref e = take_error();
        if (!setattr(module, self, Name::flag, Py_False)) return nullptr;
        Ref cls = global(module, Name::zq_error);
        Ref code = Ref::steal(PyLong_FromLong(1));
        if (!cls || !code) return nullptr;
        return PyObject_CallFunctionObjArgs(cls.get(), e.get(), code.get(), nullptr);
    }
    if (!start_thread(module, self)) return nullptr;
    if (!log(module, Name::info, "Starting ZQ-GPS Thread")) return nullptr;
    if (!host_print(module, "Done starting gps thread")) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace zq
