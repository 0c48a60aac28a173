// Module-wide declarations of the zq_gps extension: module state, the interned attribute
// names (module.cpp interns them), and the lookups that reach the module's namespace and the
// host's objects (host.cpp).
#pragma once

#include <Python.h>

#include <cstddef>
#include <type_traits>

#include "pyref.hpp"

namespace zq {

using pyref::Ref;

// The interpreter's recursion guard around one call from our code into a Python callable, as
// the interpreter's own C functions hold it: a host that wires one of the module's methods
// back into the objects the driver calls gets RecursionError, not a blown C stack. False, with
// RecursionError set, when the depth limit is reached.
class RecursionGuard {
  public:
    RecursionGuard() : entered_(Py_EnterRecursiveCall(" while calling a Python object") == 0) {}
    ~RecursionGuard() {
        if (entered_ && pyref::holds_gil()) Py_LeaveRecursiveCall();
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    explicit operator bool() const noexcept { return entered_; }

  private:
    bool entered_;
};

// CALLABLE(ARGS...) through the recursion guard; kwnames as for PyObject_Vectorcall.
Ref call(PyObject* callable, PyObject* const* args, std::size_t nargs, PyObject* kwnames = nullptr);
Ref call(PyObject* callable, PyObject* arg);
Ref call(PyObject* callable, PyObject* args, PyObject* kwargs);

// Turns the C++ exception being handled into the matching Python error: MemoryError for
// std::bad_alloc, SystemError naming the failure otherwise. Call only from a catch block that
// has let abi::__forced_unwind pass.
void set_error_from_exception();

// The boundary of every entry point the interpreter calls: runs BODY and, should a C++
// exception leave it, sets the Python error and returns FAILED (nullptr or -1) instead. The
// unwind that ends the thread at interpreter exit passes (common/pyref.hpp, rules 1 and 2).
template <class F, class R = std::invoke_result_t<F&>>
PYREF_PASSES_UNWIND R boundary(F&& body, R failed) {
    try {
        return body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        set_error_from_exception();
        return failed;
    }
}

// Names the module uses as attribute or global names, interned once per module object.
// clang-format off
#define ZQ_NAMES(X)                                                                             \
    X(lat) X(lon) X(acc) X(gpsmode) X(parseddata) X(numofsat) X(gSpeed) X(headAcc) X(headMot) \
    X(last_Time) X(parsed_data) X(index) X(stopit) X(flag) X(port) X(fullyResolved)             \
    X(validMag) X(tAcc) X(fixType) X(gnssFixOk) X(difSoln) X(psmState) X(headVehValid)          \
    X(carrSoln) X(confirmedAvai) X(confirmedDate) X(confirmedTime) X(numSV) X(height) X(hMSL)   \
    X(hAcc) X(vAcc) X(velN) X(velE) X(velD) X(sAcc) X(pDOP) X(reserved1) X(headVeh) X(magDec)   \
    X(magAcc) X(ser) X(ubr) X(t1) X(loop_gps) X(run) X(identity) X(read) X(close) X(write)      \
    X(serialize) X(start) X(join) X(is_alive) X(ident) X(Serial) X(Thread) X(UBXReader)         \
    X(UBXMessage) X(SET) X(info) X(debug) X(error)                                              \
    X(time) X(sleep) X(serial) X(threading) X(l) X(sys) X(exit) X(print) X(version)             \
    X(zq_error) X(message) X(code) X(zq_hub) X(_observer)
// clang-format on

enum class Name {
#define ZQ_ENUM(n) n,
    ZQ_NAMES(ZQ_ENUM)
#undef ZQ_ENUM
        count_
};

struct ModuleState {
    PyObject* method_type;    // the descriptor type of the module's methods
    PyObject* receiver_type;  // class zq_gps
    PyObject* error_type;     // class zq_error
    PyObject* names[static_cast<int>(Name::count_)];
};

extern PyModuleDef module_def;

inline ModuleState* state(PyObject* module) {
    return static_cast<ModuleState*>(PyModule_GetState(module));
}
// False, with SystemError set, when the module has no usable state: its set-up has not
// interned the names, or the interpreter has cleared them while tearing the module down.
bool state_ready(PyObject* module);

inline PyObject* name(PyObject* module, Name n) {
    return state(module)->names[static_cast<int>(n)];
}

// Looks NAME up as Python code in the module would: the module's namespace first, then the
// builtins (a mapping of any kind). Raises NameError when neither has it. Returns a new
// reference.
Ref global(PyObject* module, Name n);
Ref global(PyObject* module, const char* n);

// The calls below go through the recursion guard.

// Calls the host's print with one argument, as the module's code would.
bool host_print(PyObject* module, PyObject* text);
bool host_print(PyObject* module, const char* text);

// Calls method NAME of the module-level logger `l` with one argument.
bool log(PyObject* module, Name level, PyObject* arg);
bool log(PyObject* module, Name level, const char* text);

// Reads and writes attributes through the object's own attribute protocol.
inline Ref getattr(PyObject* module, PyObject* obj, Name n) {
    return Ref::steal(PyObject_GetAttr(obj, name(module, n)));
}
inline bool setattr(PyObject* module, PyObject* obj, Name n, PyObject* value) {
    return PyObject_SetAttr(obj, name(module, n), value) == 0;
}
bool setattr_long(PyObject* module, PyObject* obj, Name n, long value);
bool setattr_double(PyObject* module, PyObject* obj, Name n, double value);

// Calls obj.NAME() with no arguments.
Ref call_method0(PyObject* module, PyObject* obj, Name n);
// Calls obj.NAME(arg).
Ref call_method1(PyObject* module, PyObject* obj, Name n, PyObject* arg);

// True when the pending Python error is an ordinary one (an instance of Exception), which the
// guarded regions of the driver handle; interrupts and exit requests pass through.
inline bool ordinary_error_pending() {
    return PyErr_ExceptionMatches(PyExc_Exception) != 0;
}

// Takes the pending error off the thread as a normalized exception object.
Ref take_error();

}  // namespace zq
