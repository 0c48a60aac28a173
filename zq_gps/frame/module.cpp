// The zq_gps extension module: import-time set-up and the module's namespace helpers.
//
// Importing the module runs a fixed sequence of steps, each through the host's own objects so
// that a host that has replaced one of them is obeyed: the library directory goes on sys.path,
// the log directory and the day's log file are fixed, the module-wide logger `l` is created
// and writes the version banner, and the serial library and the UBX codec are bound. The two
// classes come last.
#include "module.hpp"

#include "error.hpp"
#include "method.hpp"
#include "receiver.hpp"

namespace zq {

namespace {

Ref lookup(PyObject* module, PyObject* key) {
    PyObject* v = PyDict_GetItemWithError(PyModule_GetDict(module), key);
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) return {};
    if (PyObject* builtins = PyEval_GetBuiltins()) {
        v = PyDict_GetItemWithError(builtins, key);
        if (v) return Ref::borrow(v);
        if (PyErr_Occurred()) return {};
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    return {};
}

}  // namespace

Ref global(PyObject* module, Name n) {
    return lookup(module, name(module, n));
}

Ref global(PyObject* module, const char* n) {
    Ref key = Ref::steal(PyUnicode_InternFromString(n));
    return key ? lookup(module, key.get()) : Ref{};
}

bool host_print(PyObject* module, PyObject* text) {
    Ref print = global(module, Name::print);
    if (!print) return false;
    return Ref::steal(PyObject_CallOneArg(print.get(), text)).get() != nullptr;
}

bool host_print(PyObject* module, const char* text) {
    Ref t = Ref::steal(PyUnicode_FromString(text));
    return t && host_print(module, t.get());
}

bool log(PyObject* module, Name level, PyObject* arg) {
    Ref l = global(module, Name::l);
    if (!l) return false;
    return Ref::steal(PyObject_CallMethodOneArg(l.get(), name(module, level), arg)).get() !=
           nullptr;
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
    return Ref::steal(PyObject_CallMethodNoArgs(obj, name(module, n)));
}

Ref call_method1(PyObject* module, PyObject* obj, Name n, PyObject* arg) {
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

Ref attr(const Ref& obj, const char* n) {
    return obj ? Ref::steal(PyObject_GetAttrString(obj.get(), n)) : Ref{};
}

// "ROOT_PATH" in os.environ, asked of the host's mapping each time.
int root_path_present(const Ref& environ) {
    Ref key = Ref::steal(PyUnicode_FromString("ROOT_PATH"));
    return key ? PySequence_Contains(environ.get(), key.get()) : -1;
}

// os.path.join(os.environ["ROOT_PATH"], leaf)
Ref join_root(const Ref& os, const Ref& environ, const char* leaf) {
    Ref root = Ref::steal(PyMapping_GetItemString(environ.get(), "ROOT_PATH"));
    Ref join = attr(attr(os, "path"), "join");
    if (!root || !join) return {};
    return Ref::steal(PyObject_CallFunction(join.get(), "Os", root.get(), leaf));
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

int module_exec(PyObject* module) {
    ModuleState* st = state(module);
    static const char* const names[] = {
#define ZQ_STR(n) #n,
        ZQ_NAMES(ZQ_STR)
#undef ZQ_STR
    };
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
    Ref syspath = attr(sys, "path");
    if (!libdir || !syspath) return -1;
    if (!Ref::steal(PyObject_CallMethod(syspath.get(), "append", "O", libdir.get()))) return -1;

    // 3. time, threading, datetime
    if (!import_as(module, "time", "time") || !import_as(module, "threading", "threading") ||
        !import_as(module, "datetime", "datetime"))
        return -1;

    // 4. The logging module itself, not the package that holds it.
    if (!import_as(module, "log", "libs.zq_logger")) return -1;

    // 5. day
    Ref today = Ref::steal(
        PyObject_CallMethod(attr(global(module, "datetime"), "date").get(), "today", nullptr));
    if (!today) return -1;
    Ref day = Ref::steal(PyObject_CallMethod(today.get(), "strftime", "s", "%d_%m_%Y"));
    if (!bind(module, "day", day)) return -1;

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
        if (!Ref::steal(PyObject_Call(makedirs.get(), args.get(), kwargs.get()))) return -1;
    }

    // 8. logfile
    {
        Ref filename = Ref::steal(PyUnicode_FromFormat("gps_%U.log", day.get()));
        Ref join = attr(attr(os, "path"), "join");
        if (!filename || !join) return -1;
        Ref logfile = Ref::steal(
            PyObject_CallFunctionObjArgs(join.get(), logdir.get(), filename.get(), nullptr));
        if (!bind(module, "logfile", logfile)) return -1;
    }

    // 9. version
    Ref version = Ref::steal(PyUnicode_FromString(kVersion));
    if (!bind(module, "version", version)) return -1;

    // 10. The module-wide logger, made by the logging service.
    {
        Ref service =
            Ref::steal(PyObject_CallNoArgs(attr(global(module, "log"), "zq_logger").get()));
        if (!service) return -1;
        Ref logger = Ref::steal(PyObject_CallMethod(service.get(), "createlogger", "sO", "gps",
                                                    global(module, "logfile").get()));
        if (!bind(module, "l", logger)) return -1;
    }

    // 11. Banner: the first record the module writes.
    {
        Ref text = Ref::steal(PyObject_Str(global(module, "version").get()));
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

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState* st = state(module);
    if (!st) return 0;
    Py_VISIT(st->method_type);
    Py_VISIT(st->receiver_type);
    Py_VISIT(st->error_type);
    return 0;
}

int module_clear(PyObject* module) {
    ModuleState* st = state(module);
    if (!st) return 0;
    Py_CLEAR(st->method_type);
    Py_CLEAR(st->receiver_type);
    Py_CLEAR(st->error_type);
    for (PyObject*& n : st->names)
        Py_CLEAR(n);
    return 0;
}

void module_free(void* module) {
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
