// The zq_gps extension module: what importing it does, and the module object's own slots.
//
// Importing runs the steps below in order, each through the host's own objects so that a host
// that has replaced one of them is obeyed: the names are interned, the library directory goes
// on sys.path, the log directory and the day's log file are fixed, the module-wide logger `l`
// is created and writes the version banner, and the serial library and the UBX codec are
// bound. The classes come last. The first step that fails ends the import with its error.
#include "module.hpp"

#include <iterator>

#include "error.hpp"
#include "method.hpp"
#include "receiver.hpp"

namespace zq {
namespace {

constexpr const char* kVersion = "1.4.0";

// ---------------------------------------------------------------------------------------------
// Helpers of the steps

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

// The deployment root's LEAF when ROOT_PATH is set, FALLBACK otherwise; the environment is
// asked anew on each call.
Ref under_root(const Ref& os, const Ref& environ, const char* leaf, const char* fallback) {
    int present = root_path_present(environ);
    if (present < 0) return {};
    return present ? join_root(os, environ, leaf) : Ref::steal(PyUnicode_FromString(fallback));
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

// ---------------------------------------------------------------------------------------------
// The steps, in the order the import runs them

// What one step hands on to later ones: the objects it bound, held as it found them, so that
// later steps use them even when the host rebinds the module's globals in between.
struct Setup {
    PyObject* module;
    Ref os;
    Ref environ;  // os.environ, looked up once
    Ref day;
    Ref logdir;
};

// The attribute and global names the module's code uses, interned once per module object.
bool intern_names(Setup& s) {
    ModuleState* st = state(s.module);
    static const char* const names[] = {
#define ZQ_STR(n) #n,
        ZQ_NAMES(ZQ_STR)
#undef ZQ_STR
    };
    static_assert(std::size(names) == std::size(ModuleState{}.names));
    for (int i = 0; i < static_cast<int>(Name::count_); ++i) {
        st->names[i] = PyUnicode_InternFromString(names[i]);
        if (!st->names[i]) return false;
    }
    return true;
}

// import sys, os; then the library directory (under the deployment root when ROOT_PATH is set)
// goes at the end of the search path.
bool extend_search_path(Setup& s) {
    if (!import_as(s.module, "sys", "sys") || !import_as(s.module, "os", "os")) return false;
    Ref sys = global(s.module, "sys");
    s.os = global(s.module, "os");
    if (!sys || !s.os) return false;
    s.environ = attr(s.os, "environ");
    if (!s.environ) return false;
    Ref libdir = under_root(s.os, s.environ, "libs", "libs");
    return libdir && call_attr(attr(sys, "path"), "append", libdir.get());
}

// import time, threading, datetime; and the logging module itself, not the package that
// holds it, as `log`.
bool import_services(Setup& s) {
    return import_as(s.module, "time", "time") && import_as(s.module, "threading", "threading") &&
           import_as(s.module, "datetime", "datetime") &&
           import_as(s.module, "log", "libs.zq_logger");
}

// day: today's date as the log file names it, from the host's datetime.
bool bind_day(Setup& s) {
    Ref today = call_attr(attr(global(s.module, "datetime"), "date"), "today");
    Ref format = today ? Ref::steal(PyUnicode_FromString("%d_%m_%Y")) : Ref{};
    s.day = format ? call_attr(today, "strftime", format.get()) : Ref{};
    return s.day && check_text(s.day) && bind(s.module, "day", s.day);
}

// logdir, and the directory itself (an existing one is fine). The environment is asked again,
// now that the logging module has loaded.
bool make_log_directory(Setup& s) {
    s.logdir = under_root(s.os, s.environ, "logs", "./logs");
    if (!bind(s.module, "logdir", s.logdir)) return false;
    Ref makedirs = attr(s.os, "makedirs");
    Ref args = Ref::steal(PyTuple_Pack(1, s.logdir.get()));
    Ref kwargs = Ref::steal(Py_BuildValue("{s:O}", "exist_ok", Py_True));
    if (!makedirs || !args || !kwargs) return false;
    return static_cast<bool>(call(makedirs.get(), args.get(), kwargs.get()));
}

// logfile: the day's file in the log directory.
bool bind_logfile(Setup& s) {
    Ref filename = Ref::steal(PyUnicode_FromFormat("gps_%U.log", s.day.get()));
    Ref logfile =
        filename ? call_attr(attr(s.os, "path"), "join", s.logdir.get(), filename.get()) : Ref{};
    return bind(s.module, "logfile", logfile);
}

// version, and the same text as __version__, where tools look for a module's version.
bool bind_version(Setup& s) {
    return bind(s.module, "version", Ref::steal(PyUnicode_FromString(kVersion))) &&
           bind(s.module, "__version__", Ref::steal(PyUnicode_FromString(kVersion)));
}

// The module-wide logger `l`, made by the logging service for the module's `logfile`.
bool create_logger(Setup& s) {
    Ref service = call_attr(global(s.module, "log"), "zq_logger");
    Ref gps = service ? Ref::steal(PyUnicode_FromString("gps")) : Ref{};
    Ref logfile = gps ? global(s.module, "logfile") : Ref{};
    Ref logger = logfile ? call_attr(service, "createlogger", gps.get(), logfile.get()) : Ref{};
    return bind(s.module, "l", logger);
}

// The banner: the first record the module writes.
bool write_banner(Setup& s) {
    Ref v = global(s.module, "version");
    Ref text = v ? Ref::steal(PyObject_Str(v.get())) : Ref{};
    if (!text) return false;
    Ref banner = Ref::steal(PyUnicode_FromFormat("ZQ GPS - Version: %U", text.get()));
    return banner && log(s.module, Name::info, banner.get());
}

// import serial; from libs.pyubx2 import UBXReader, UBXMessage, SET.
bool import_device_libraries(Setup& s) {
    if (!import_as(s.module, "serial", "serial")) return false;
    Ref codec = Ref::steal(PyImport_ImportModule("libs.pyubx2"));
    if (!codec) return false;
    for (const char* n : {"UBXReader", "UBXMessage", "SET"}) {
        if (!import_from(s.module, codec, "libs.pyubx2", n)) return false;
    }
    return true;
}

// The method descriptor type the classes' methods are made of, then zq_error and zq_gps.
bool create_classes(Setup& s) {
    ModuleState* st = state(s.module);
    st->method_type = create_method_type(s.module);
    if (!st->method_type) return false;
    st->error_type = create_error_type(s.module);
    if (!st->error_type || PyModule_AddObjectRef(s.module, "zq_error", st->error_type) < 0)
        return false;
    st->receiver_type = create_receiver_type(s.module);
    return st->receiver_type && PyModule_AddObjectRef(s.module, "zq_gps", st->receiver_type) == 0;
}

// clang-format off
constexpr bool (*kSteps[])(Setup&) = {
    intern_names,
    extend_search_path,
    import_services,
    bind_day,
    make_log_directory,
    bind_logfile,
    bind_version,
    create_logger,
    write_banner,
    import_device_libraries,
    create_classes,
};
// clang-format on

// ---------------------------------------------------------------------------------------------
// The module object

int exec_steps(PyObject* module) {
    Setup s{module, {}, {}, {}, {}};
    for (auto step : kSteps) {
        if (!step(s)) return -1;
    }
    return 0;
}

int module_exec(PyObject* module) {
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
