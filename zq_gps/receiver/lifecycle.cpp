// The reader's lifecycle: run opens the port, wraps it in the UBX reader and starts the one
// reader thread; stop signals the reader through `stopit` and closes the port without waiting;
// restart brings a reader back; setPowerMode writes one frame to the port.
//
// One reader per object: run and restart take effect one after another, whatever the host's
// threads do, and restart retires the earlier reader thread before it resets anything, so that
// the retired loop stores nothing more and leaves at its next pass.
#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "error.hpp"
#include "hub_notify.hpp"
#include "receiver.hpp"

namespace zq {

// ---------------------------------------------------------------------------------------------
// Retired readers

void RetiredReaders::add(unsigned long ident) {
    if (contains(ident)) return;
    // A full list drops its oldest entry: a reader that has not left after eight restarts is
    // stuck in a call that never returns to its loop.
    if (count_ == idents_.size()) {
        std::copy(idents_.begin() + 1, idents_.end(), idents_.begin());
        --count_;
    }
    idents_[count_++] = ident;
}

void RetiredReaders::remove(unsigned long ident) {
    auto end = idents_.begin() + count_;
    auto it = std::find(idents_.begin(), end, ident);
    if (it == end) return;
    std::copy(it + 1, end, it);
    --count_;
}

bool RetiredReaders::contains(unsigned long ident) const {
    auto end = idents_.begin() + count_;
    return std::find(idents_.begin(), end, ident) != end;
}

namespace {

// ---------------------------------------------------------------------------------------------
// One run or restart at a time

// Guards every object's owner and depth; waiters sleep on the condition, never spin. Never
// destroyed: a daemon thread may still wait on the condition while the process exits, and
// destroying a condition variable that has a waiter blocks exit() for ever.
std::mutex& lifecycle_mutex = *new std::mutex;
std::condition_variable& lifecycle_free = *new std::condition_variable;

// Makes run and restart on one object take effect one after another, whatever the host's
// threads do: a thread that finds another inside either waits, with the interpreter lock
// released, until it has left. The thread inside may enter again (a host callable that calls
// back into the object), as it could before.
class LifecycleLock {
  public:
    explicit LifecycleLock(PyObject* self);
    ~LifecycleLock();
    LifecycleLock(const LifecycleLock&) = delete;
    LifecycleLock& operator=(const LifecycleLock&) = delete;

  private:
    Receiver* receiver_;
};

LifecycleLock::LifecycleLock(PyObject* self) : receiver_(as_receiver(self)) {
    const unsigned long me = PyThread_get_thread_ident();
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(lifecycle_mutex);
            if (receiver_->lifecycle_owner == 0 || receiver_->lifecycle_owner == me) {
                receiver_->lifecycle_owner = me;
                ++receiver_->lifecycle_depth;
                return;
            }
        }
        // Taken only once the GIL is back: a thread that the interpreter's exit ends on its
        // way back leaves the lock free.
        pyref::without_gil([this] {
            std::unique_lock<std::mutex> hold(lifecycle_mutex);
            lifecycle_free.wait(hold, [this] { return receiver_->lifecycle_owner == 0; });
        });
    }
}

LifecycleLock::~LifecycleLock() {
    std::lock_guard<std::mutex> hold(lifecycle_mutex);
    if (--receiver_->lifecycle_depth == 0) {
        receiver_->lifecycle_owner = 0;
        lifecycle_free.notify_all();
    }
}

// ---------------------------------------------------------------------------------------------
// The port and the reader thread

// Opens the port and builds the reader on it, then creates and starts the reader thread
// (start_thread); each step stores its object on the instance before the next reads it back.
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

bool close_port(PyObject* module, PyObject* self) {
    Ref ser = getattr(module, self, Name::ser);
    return ser && call_method0(module, ser.get(), Name::close);
}

// True when the object's thread handle `t1` names a thread that is still alive. Lookup
// failures count as "not alive" and leave no error set.
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

// ---------------------------------------------------------------------------------------------
// Retiring the earlier reader

// The port's read time-out plus a margin: the longest an earlier reader can take to notice.
constexpr double kRetireWait = 2.0 + 1.0;

// Ends the retiring's work quietly: an ordinary error is dropped (true), an interrupt or exit
// request stays pending for the caller (false).
bool quiet_end() {
    if (PyErr_Occurred() && !ordinary_error_pending()) return false;
    PyErr_Clear();
    return true;
}

// Marks the earlier reader thread (a live `t1`) retired, so that it stores nothing more and
// leaves at its next step; returns it (empty when there is none) for wait_retired. Failures
// are not the host's concern: an ordinary error is dropped (*ok true), an interrupt or exit
// request stays pending (*ok false).
Ref retire_earlier_reader(PyObject* module, PyObject* self, bool* ok) {
    *ok = true;
    Ref t1 = getattr(module, self, Name::t1);
    Ref threading = t1 ? Ref::steal(PyImport_ImportModule("threading")) : Ref{};
    Ref thread_cls = threading ? getattr(module, threading.get(), Name::Thread) : Ref{};
    int is_thread = thread_cls ? PyObject_IsInstance(t1.get(), thread_cls.get()) : -1;
    if (is_thread <= 0 || !reader_alive(module, self)) {
        *ok = quiet_end();
        return {};
    }
    Ref ident_obj = getattr(module, t1.get(), Name::ident);
    unsigned long ident = ident_obj ? PyLong_AsUnsignedLong(ident_obj.get()) : 0;
    if (PyErr_Occurred()) {
        *ok = quiet_end();
        return {};
    }
    as_receiver(self)->retired.add(ident);
    if (ident == PyThread_get_thread_ident()) return {};  // called from the reader itself
    return t1;
}

// Waits, bounded, for the thread that retire_earlier_reader returned to end. Same failures.
bool wait_retired(PyObject* module, PyObject* self, PyObject* thread) {
    if (!thread) return true;
    Ref ident_obj = getattr(module, thread, Name::ident);
    unsigned long ident = ident_obj ? PyLong_AsUnsignedLong(ident_obj.get()) : 0;
    if (PyErr_Occurred()) return quiet_end();
    Ref timeout = Ref::steal(PyFloat_FromDouble(kRetireWait));
    Ref done = timeout ? call_method1(module, thread, Name::join, timeout.get()) : Ref{};
    if (!done) return quiet_end();
    Ref alive = call_method0(module, thread, Name::is_alive);
    if (alive && PyObject_Not(alive.get()) == 1) as_receiver(self)->retired.remove(ident);
    return quiet_end();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Methods

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

PyObject* receiver_stop(PyObject* module, PyObject* self, PyObject* const*) {
    if (!setattr_long(module, self, Name::stopit, 1) || !close_port(module, self) ||
        !setattr_long(module, self, Name::flag, 0) ||
        !log(module, Name::info, "GPS serial stopped"))
        return nullptr;
    Py_RETURN_NONE;
}

// Resets the attributes the table marks, counts itself in `index`, closes the old port, makes
// sure the earlier reader thread has ended, and opens and starts anew; a failed start is
// reported with code 2, never raised.
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
    // The summary values become not yet known again, and `flag` says they are not live data:
    // the new reader sets it with its first message.
    for (const attributes::Attribute& a : attributes::kTable) {
        if (a.reset && !store_initial(module, self, a, nullptr)) return nullptr;
    }
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

// One CFG-RXM frame asking for continuous (full power) mode, written in one call. Class 6 id
// 0x11 is CFG-RXM, the message that carries lpMode; nothing is logged or caught.
PyObject* receiver_set_power_mode(PyObject* module, PyObject* self, PyObject* const*) {
    Ref builder = global(module, Name::UBXMessage);
    Ref set = builder ? global(module, Name::SET) : Ref{};
    if (!set) return nullptr;
    Ref args = Ref::steal(Py_BuildValue("(iiO)", 6, 0x11, set.get()));
    Ref kwargs = Ref::steal(Py_BuildValue("{s:i}", "lpMode", 0));
    if (!args || !kwargs) return nullptr;
    Ref message = Ref::steal(PyObject_Call(builder.get(), args.get(), kwargs.get()));
    if (!message) return nullptr;

    // The port's write is looked up before the message is serialized.
    Ref ser = getattr(module, self, Name::ser);
    Ref write = ser ? getattr(module, ser.get(), Name::write) : Ref{};
    if (!write) return nullptr;
    Ref frame = call_method0(module, message.get(), Name::serialize);
    if (!frame) return nullptr;
    // The hub's own writes (corrections) never come between the bytes of this one.
    const auto* begun = hub_notify::write_begin(module, self);
    Ref written = Ref::steal(PyObject_CallOneArg(write.get(), frame.get()));
    hub_notify::write_end(begun, self);
    if (!written) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace zq
