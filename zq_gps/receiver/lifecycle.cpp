// One reader per object: the lock that orders run and restart, and the retiring of an earlier
// reader thread that restart replaces.
#include <condition_variable>
#include <mutex>

#include "error.hpp"
#include "receiver.hpp"

namespace zq {
namespace {

// The port's read time-out plus a margin: the longest an earlier reader can take to notice.
constexpr double kRetireWait = 2.0 + 1.0;

// Guards every object's owner and depth; waiters sleep on the condition, never spin.
std::mutex lifecycle_mutex;
std::condition_variable lifecycle_free;

// Ends the retiring's work quietly: an ordinary error is dropped (true), an interrupt or exit
// request stays pending for the caller (false).
bool quiet_end() {
    if (PyErr_Occurred() && !ordinary_error_pending()) return false;
    PyErr_Clear();
    return true;
}

}  // namespace

LifecycleLock::LifecycleLock(PyObject* self) : receiver_(as_receiver(self)) {
    const unsigned long me = PyThread_get_thread_ident();
    {
        std::lock_guard<std::mutex> hold(lifecycle_mutex);
        if (receiver_->lifecycle_owner == 0 || receiver_->lifecycle_owner == me) {
            receiver_->lifecycle_owner = me;
            ++receiver_->lifecycle_depth;
            return;
        }
    }
    pyref::GilRelease unlocked;
    std::unique_lock<std::mutex> hold(lifecycle_mutex);
    lifecycle_free.wait(hold, [this] { return receiver_->lifecycle_owner == 0; });
    receiver_->lifecycle_owner = me;
    receiver_->lifecycle_depth = 1;
}

LifecycleLock::~LifecycleLock() {
    std::lock_guard<std::mutex> hold(lifecycle_mutex);
    if (--receiver_->lifecycle_depth == 0) {
        receiver_->lifecycle_owner = 0;
        lifecycle_free.notify_all();
    }
}

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

}  // namespace zq
