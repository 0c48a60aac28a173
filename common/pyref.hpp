// Owning reference to a Python object, and the one way to let go of the interpreter lock (GIL),
// shared by the project's extension modules.
//
// Rules of use: a function that returns a PyObject* reference returns it owned (wrap it with
// Ref::steal); parameters are borrowed (wrap with Ref::borrow only to keep them past the call).
//
// Threads at interpreter exit. Once the interpreter finalizes, every other thread that tries to
// take the GIL back is ended where it stands with pthread_exit (CPython 3.11 to 3.13): at the
// end of a blocking call of ours, of time.sleep, of a read, or at a switch between threads in
// any Python code we call. glibc ends the thread by unwinding its stack with the exception
// abi::__forced_unwind, through our C++ frames, and the thread does not hold the GIL while it
// unwinds. That unwind must pass, or the process aborts ("terminate called without an active
// exception", "FATAL: exception not rethrown"). So, in every module:
//   1. A catch (...) that does not end in `throw;` has `catch (abi::__forced_unwind&)
//      { throw; }` ahead of it (a catch of std::exception or narrower lets it pass by itself),
//      in a function marked PYREF_PASSES_UNWIND.
//   2. No noexcept on a function that calls into the interpreter, and that includes the entry
//      points the interpreter calls (methods, slots, dealloc and clear functions); only
//      functions that never call back (traverse) may be noexcept.
//   3. The GIL is let go only through without_gil(): a guard object whose destructor takes the
//      GIL back is wrong, because a destructor cannot let the unwind out.
//   4. A destructor that touches the interpreter (Ref, a recursion guard) first asks
//      holds_gil(): during the unwind the answer is no, and it must leave the object alone
//      (leaking a reference as the process ends is right; a decref without the GIL is not).
//   5. A thread that Python did not start (a std::thread of ours) calls into the interpreter
//      only through with_gil(), its module calls install_exit_gate() from its exec function,
//      and whoever owns the std::thread joins it.
#pragma once

#include <Python.h>
#include <cxxabi.h>

#include <condition_variable>
#include <mutex>
#include <type_traits>
#include <utility>

// The handler `catch (abi::__forced_unwind&)` binds its reference to no object, the unwind not
// being a C++ exception; UBSan's null check reports that binding. Functions that hold such a
// handler carry this attribute, which leaves them out of UBSan's checks (g++ 12 at -O2 still
// checks the binding under the narrower no_sanitize("null")): keep them to the handlers.
#define PYREF_PASSES_UNWIND __attribute__((no_sanitize("undefined")))

namespace pyref {

// True while the interpreter is being torn down (or is gone): a thread other than the one
// tearing it down will not get the GIL again.
inline bool finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() || !Py_IsInitialized();
#else
    return _Py_IsFinalizing() || !Py_IsInitialized();
#endif
}

// False when the calling thread does not hold the GIL, as while the interpreter's finalization
// unwinds it. Exact on CPython 3.13; on 3.11 exact once finalization has begun, the only time a
// destructor runs without the GIL in a correct program, and true before.
inline bool holds_gil() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#else
    if (!_Py_IsFinalizing()) return true;
    PyThreadState* mine = PyGILState_GetThisThreadState();
    return mine != nullptr && mine == _PyThreadState_UncheckedGet();
#endif
}

class Ref {
  public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) {
        std::swap(p_, o.p_);
        return *this;
    }
    // A last reference runs the object's deallocation, which may run Python code and so end
    // the thread at exit: the unwind may leave here (rule 2).
    ~Ref() noexcept(false) {
        if (p_ && holds_gil()) Py_DECREF(p_);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference back to the caller, e.g. as a function's result.
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset() { Py_CLEAR(p_); }

  private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Runs WORK (blocking native work that touches no Python object) with the GIL released and
// returns its result with the GIL held again, on every way out: a normal return, a C++
// exception from WORK (rethrown once the GIL is back), and the thread's end at exit, which
// passes through without the GIL.
template <class F>
PYREF_PASSES_UNWIND std::invoke_result_t<F&> without_gil(F&& work) {
    PyThreadState* saved = PyEval_SaveThread();
    try {
        if constexpr (std::is_void_v<std::invoke_result_t<F&>>) {
            work();
            PyEval_RestoreThread(saved);
        } else {
            std::invoke_result_t<F&> result = work();
            PyEval_RestoreThread(saved);
            return result;
        }
    } catch (abi::__forced_unwind&) {
        throw;  // the GIL was not taken back, and will not be
    } catch (...) {
        PyEval_RestoreThread(saved);
        throw;
    }
}

namespace detail {

// Keeps native threads from making their interpreter thread state while the interpreter is
// being torn down: PyGILState_Ensure makes one on a thread that has none, and one made while
// the interpreter clears its thread states ends the process ("Fatal Python error:
// init_threadstate"). The interpreter's exit closes the gate from an atexit callback, which
// runs before the teardown begins, and waits for the threads in the middle of taking the GIL.
class ExitGate {
  public:
    bool enter() {
        std::lock_guard<std::mutex> hold(m_);
        if (closed_) return false;
        ++taking_;
        return true;
    }
    void leave() {
        {
            std::lock_guard<std::mutex> hold(m_);
            --taking_;
        }
        left_.notify_all();
    }
    // With the GIL held; lets it go while it waits, so the threads in the gate can take it.
    void close() {
        {
            std::lock_guard<std::mutex> hold(m_);
            closed_ = true;
        }
        without_gil([this] {
            std::unique_lock<std::mutex> hold(m_);
            left_.wait(hold, [this] { return taking_ == 0; });
        });
    }
    bool installed = false;  // read and written with the GIL held

  private:
    std::mutex m_;
    std::condition_variable left_;
    int taking_ = 0;
    bool closed_ = false;
};

// Never destroyed: native threads may still reach it while the process exits.
inline ExitGate& exit_gate() {
    static ExitGate& gate = *new ExitGate;
    return gate;
}

inline PyObject* close_exit_gate(PyObject*, PyObject*) {
    exit_gate().close();
    Py_RETURN_NONE;
}

}  // namespace detail

// Registers the closing of with_gil's gate with the interpreter's atexit callbacks, once per
// module; call it with the GIL held from the exec function of a module whose native threads
// use with_gil. with_gil installs it on its first call too, which leaves the first call alone
// unguarded. False, with a Python error set, when the registration fails.
inline bool install_exit_gate() {
    detail::ExitGate& gate = detail::exit_gate();
    if (gate.installed) return true;
    static PyMethodDef close_def = {"close_native_calls", detail::close_exit_gate, METH_NOARGS,
                                    "Stops native threads from taking the GIL (at exit)."};
    Ref close = Ref::steal(PyCFunction_New(&close_def, nullptr));
    Ref atexit = close ? Ref::steal(PyImport_ImportModule("atexit")) : Ref{};
    Ref reg = atexit ? Ref::steal(PyObject_GetAttrString(atexit.get(), "register")) : Ref{};
    Ref done = reg ? Ref::steal(PyObject_CallOneArg(reg.get(), close.get())) : Ref{};
    if (!done) return false;
    gate.installed = true;
    return true;
}

// Runs WORK with the GIL held on a thread that Python did not start; true when it ran. False,
// without running it, once the interpreter's exit has begun (its atexit callbacks, then its
// teardown): the thread should then leave whatever loop it is in and end. A call that began
// before keeps going; WORK's Python code may then find the interpreter torn down at its next
// switch between threads, which ends the thread with the unwind described above. That unwind
// passes through here, so the thread's own frames must let it pass too (rules 1 and 2;
// std::thread's own frames do), and its owner joins it as usual. WORK must not wait for the
// thread that ends the interpreter.
template <class F>
PYREF_PASSES_UNWIND bool with_gil(F&& work) {
    detail::ExitGate& gate = detail::exit_gate();
    if (finalizing() || !gate.enter()) return false;
    PyGILState_STATE state;
    try {
        state = PyGILState_Ensure();
    } catch (...) {
        gate.leave();
        throw;
    }
    gate.leave();
    try {
        if (!gate.installed && !install_exit_gate()) PyErr_Clear();
        work();
    } catch (abi::__forced_unwind&) {
        throw;  // the GIL is gone, and with it the thread state
    } catch (...) {
        PyGILState_Release(state);
        throw;
    }
    PyGILState_Release(state);
    return true;
}

}  // namespace pyref
