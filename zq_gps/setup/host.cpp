// The module's reach into its own namespace and the host's objects: name lookup as the module's
// Python code would do it, calls through the recursion guard, the logger and print, attribute
// stores, and the error conversions every entry point uses.
#include <exception>
#include <new>

#include "module.hpp"

namespace zq {

namespace {

// KEY in the builtins of the running code: a dict, or any mapping a host gave exec().
Ref builtin(PyObject* key) {
    PyObject* builtins = PyEval_GetBuiltins();
    if (!builtins) return {};
    if (PyDict_CheckExact(builtins)) {
        return Ref::borrow(PyDict_GetItemWithError(builtins, key));
    }
    Ref v = Ref::steal(PyObject_GetItem(builtins, key));
    if (!v && PyErr_ExceptionMatches(PyExc_KeyError)) PyErr_Clear();
    return v;
}

Ref lookup(PyObject* module, PyObject* key) {
    PyObject* v = PyDict_GetItemWithError(PyModule_GetDict(module), key);
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) return {};
    Ref b = builtin(key);
    if (b || PyErr_Occurred()) return b;
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    return {};
}

}  // namespace

PYREF_PASSES_UNWIND void set_error_from_exception() {
    try {
        throw;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "zq_gps: internal error: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "zq_gps: internal error: unknown C++ exception");
    }
}

bool state_ready(PyObject* module) {
    ModuleState* st = state(module);
    if (st && st->names[0] && st->names[static_cast<int>(Name::count_) - 1]) return true;
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "zq_gps: the module is not set up");
    return false;
}

Ref call(PyObject* callable, PyObject* const* args, std::size_t nargs, PyObject* kwnames) {
    RecursionGuard guard;
    if (!guard) return {};
    return Ref::steal(PyObject_Vectorcall(callable, args, nargs, kwnames));
}

Ref call(PyObject* callable, PyObject* arg) {
    return call(callable, &arg, 1);
}

Ref call(PyObject* callable, PyObject* args, PyObject* kwargs) {
    RecursionGuard guard;
    if (!guard) return {};
    return Ref::steal(PyObject_Call(callable, args, kwargs));
}

Ref global(PyObject* module, Name n) {
    return lookup(module, name(module, n));
}

Ref global(PyObject* module, const char* n) {
    Ref key = Ref::steal(PyUnicode_InternFromString(n));
    return key ? lookup(module, key.get()) : Ref{};
}

bool host_print(PyObject* module, PyObject* text) {
    Ref print = global(module, Name::print);
    return print && call(print.get(), text);
}

bool host_print(PyObject* module, const char* text) {
    Ref t = Ref::steal(PyUnicode_FromString(text));
    return t && host_print(module, t.get());
}

bool log(PyObject* module, Name level, PyObject* arg) {
    Ref l = global(module, Name::l);
    return l && call_method1(module, l.get(), level, arg);
}

bool log(PyObject* module, Name level, const char* text) {
    Ref t = Ref::steal(PyUnicode_FromString(text));
    return t && log(module, level, t.get());
}

bool setattr_long(PyObject* module, PyObject* obj, Name n, long value) {
    Ref v = Ref::steal(PyLong_FromLong(value));
    return v && setattr(module, obj, n, v.get());
}

bool setattr_double(PyObject* module, PyObject* obj, Name n, double value) {
    Ref v = Ref::steal(PyFloat_FromDouble(value));
    return v && setattr(module, obj, n, v.get());
}

Ref call_method0(PyObject* module, PyObject* obj, Name n) {
    RecursionGuard guard;
    if (!guard) return {};
    return Ref::steal(PyObject_CallMethodNoArgs(obj, name(module, n)));
}

Ref call_method1(PyObject* module, PyObject* obj, Name n, PyObject* arg) {
    RecursionGuard guard;
    if (!guard) return {};
    return Ref::steal(PyObject_CallMethodOneArg(obj, name(module, n), arg));
}

Ref take_error() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return Ref::steal(value);
}

}  // namespace zq
