// The zq_gps extension module: import-time set-up and the module's namespace helpers.
//
// Importing the module runs a fixed sequence of steps, each through the host's own objects so
// that a host that has replaced one of them is obeyed: the library directory goes on sys.path,
// the log directory and the day's log file are fixed, the module-wide logger `l` is created
// and writes the version banner, and the serial library and the UBX codec are bound. The two
// classes come last.
#include "module.hpp"

#include <exception>
#include <iterator>
#include <new>

#include "error.hpp"
#include "method.hpp"
#include "receiver.hpp"

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

void set_error_from_exception() noexcept {
    try {
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

namespace {

constexpr const char* kVersion = "1.4.0";

bool bind(PyObject* module, const char* n, const Ref& value) {
    return value && PyModule_AddObjectRef(module, n, value.get()) == 0;
}

bool import_as(PyObject* module, const char* n, const char* module_name) {
    return bind(module, n, Ref::steal(PyImport_ImportModule(module_name)));
}

// OBJ.N; an empty OBJ (a failed earlier step, its error set) gives an empty result.
Ref attr(const Ref& obj, const char* n) {
    return obj ? Ref::steal(PyObject_GetAttrString(obj.get(), n)) : Ref{};
}

// OBJ.N(ARGS...), every step checked.
template <class... Args>
Ref call_attr(const Ref& obj, const char* n, Args... args) {
    Ref f = attr(obj, n);
    if (!f) return {};
    PyObject* argv[] = {nullptr, args...};
    return call(f.get(), argv + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET);
}

// "ROOT_PATH" in os.environ, asked of the host's mapping each time.
int root_path_present(const Ref& environ) {
    Ref key = Ref::steal(PyUnicode_FromString("ROOT_PATH"));
    return key ? PySequence_Contains(environ.get(), key.get()) : -1;
}

// os.path.join(os.environ["ROOT_PATH"], leaf)
Ref join_root(const Ref& os, const Ref& environ, const char* leaf) {
    Ref root = Ref::steal(PyMapping_GetItemString(environ.get(), "ROOT_PATH"));
    Ref text = root ? Ref::steal(PyUnicode_FromString(leaf)) : Ref{};
    return text ? call_attr(attr(os, "path"), "join", root.get(), text.get()) : Ref{};
}

// from MODULE_NAME import N, with the interpreter's error when the name is missing.
bool import_from(PyObject* module, const Ref& source, const char* module_name, const char* n) {
    Ref v = Ref::steal(PyObject_GetAttrString(source.get(), n));
    if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", n, module_name);
        return false;
    }
    return bind(module, n, v);
}

// The day's text must be a str, as "gps_" + day + ".log" requires.
bool check_text(const Ref& day) {
    if (PyUnicode_Check(day.get())) return true;
    PyErr_Format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str",
                 Py_TYPE(day.get())->tp_name);
    return false;
}

int exec_steps(PyObject* module) {
    ModuleState* st = state(module);
    static const char* const names[] = {
#define ZQ_STR(n) #n,
        ZQ_NAMES(ZQ_STR)
#undef ZQ_STR
    };
    static_assert(std::size(names) == std::size(ModuleState{}.names));
    for (int i = 0; i < static_cast<int>(Name::count_); ++i) {
        st->names[i] = PyUnicode_InternFromString(names[i]);
        if (!st->names[i]) return -1;
    }

    // 1. sys, os
    if (!import_as(module, "sys", "sys") || !import_as(module, "os", "os")) return -1;
    Ref sys = global(module, "sys");
    Ref os = global(module, "os");
    if (!sys || !os) return -1;

    // 2. The library directory goes at the end of the search path.
    Ref environ = attr(os, "environ");
    if (!environ) return -1;
    int present = root_path_present(environ);
    if (present < 0) return -1;
    Ref libdir =
        present ? join_root(os, environ, "libs") : Ref::steal(PyUnicode_FromString("libs"));
    if (!libdir || !call_attr(attr(sys, "path"), "append", libdir.get())) return -1;

    // 3. time, threading, datetime
    if (!import_as(module, "time", "time") || !import_as(module, "threading", "threading") ||
        !import_as(module, "datetime", "datetime"))
        return -1;

    // 4. The logging module itself, not the package that holds it.
    if (!import_as(module, "log", "libs.zq_logger")) return -1;

    // 5. day
    Ref today = call_attr(attr(global(module, "datetime"), "date"), "today");
    Ref format = today ? Ref::steal(PyUnicode_FromString("%d_%m_%Y")) : Ref{};
    Ref day = format ? call_attr(today, "strftime", format.get()) : Ref{};
    if (!day || !check_text(day) || !bind(module, "day", day)) return -1;

    // 6. logdir: the environment is asked again.
    present = root_path_present(environ);
    if (present < 0) return -1;
    Ref logdir =
        present ? join_root(os, environ, "logs") : Ref::steal(PyUnicode_FromString("./logs"));
    if (!bind(module, "logdir", logdir)) return -1;

    // 7. The log directory; an existing one is fine.
    {
        Ref makedirs = attr(os, "makedirs");
        Ref args = Ref::steal(PyTuple_Pack(1, logdir.get()));
        Ref kwargs = Ref::steal(Py_BuildValue("{s:O}", "exist_ok", Py_True));
        if (!makedirs || !args || !kwargs) return -1;
        if (!call(makedirs.get(), args.get(), kwargs.get())) return -1;
    }

    // 8. logfile
    {
        Ref filename = Ref::steal(PyUnicode_FromFormat("gps_%U.log", day.get()));
        Ref logfile =
            filename ? call_attr(attr(os, "path"), "join", logdir.get(), filename.get()) : Ref{};
        if (!bind(module, "logfile", logfile)) return -1;
    }

    // 9. version
    Ref version = Ref::steal(PyUnicode_FromString(kVersion));
    if (!bind(module, "version", version)) return -1;

    // 10. The module-wide logger, made by the logging service.
    {
        Ref service = call_attr(global(module, "log"), "zq_logger");
        Ref gps = service ? Ref::steal(PyUnicode_FromString("gps")) : Ref{};
        Ref logfile = gps ? global(module, "logfile") : Ref{};
        Ref logger = logfile ? call_attr(service, "createlogger", gps.get(), logfile.get()) : Ref{};
        if (!bind(module, "l", logger)) return -1;
    }

    // 11. Banner: the first record the module writes.
    {
        Ref v = global(module, "version");
        Ref text = v ? Ref::steal(PyObject_Str(v.get())) : Ref{};
        if (!text) return -1;
        Ref banner = Ref::steal(PyUnicode_FromFormat("ZQ GPS - Version: %U", text.get()));
        if (!banner || !log(module, Name::info, banner.get())) return -1;
    }

    // 12. The serial library; 13. the UBX codec's reader, builder and SET.
    if (!import_as(module, "serial", "serial")) return -1;
    {
        Ref codec = Ref::steal(PyImport_ImportModule("libs.pyubx2"));
        if (!codec) return -1;
        for (const char* n : {"UBXReader", "UBXMessage", "SET"}) {
            if (!import_from(module, codec, "libs.pyubx2", n)) return -1;
        }
    }

    // 14, 15. The classes.
    st->method_type = create_method_type(module);
    if (!st->method_type) return -1;
    st->error_type = create_error_type(module);
    if (!st->error_type || PyModule_AddObjectRef(module, "zq_error", st->error_type) < 0) return -1;
    st->receiver_type = create_receiver_type(module);
    if (!st->receiver_type || PyModule_AddObjectRef(module, "zq_gps", st->receiver_type) < 0)
        return -1;
    return 0;
}

int module_exec(PyObject* module) noexcept {
    return boundary([module] { return exec_steps(module); }, -1);
}

int module_traverse(PyObject* module, visitproc visit, void* arg) noexcept {
    ModuleState* st = state(module);
    if (!st) return 0;
    Py_VISIT(st->method_type);
    Py_VISIT(st->receiver_type);
    Py_VISIT(st->error_type);
    return 0;
}

int module_clear(PyObject* module) noexcept {
    ModuleState* st = state(module);
    if (!st) return 0;
    Py_CLEAR(st->method_type);
    Py_CLEAR(st->receiver_type);
    Py_CLEAR(st->error_type);
    for (PyObject*& n : st->names)
        Py_CLEAR(n);
    return 0;
}

void module_free(void* module) noexcept {
    module_clear(static_cast<PyObject*>(module));
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "zq_gps",        nullptr,      sizeof(ModuleState), nullptr,
    module_slots,          module_traverse, module_clear, module_free,
};

}  // namespace zq

PyMODINIT_FUNC PyInit_zq_gps() {
    return PyModuleDef_Init(&zq::module_def);
}
