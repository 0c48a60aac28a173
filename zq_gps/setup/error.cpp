// Class zq_error. Its constructor logs the failure at error level, prints the error line and,
// for code 1 (no device), asks the interpreter to exit with status 1. Codes other than 1 and 2
// are reported as "Unknown GPS error." with the code as text.
#include "error.hpp"

#include <array>

#include "method.hpp"
#include "module.hpp"

namespace zq {
namespace {

// Sets `message` and `code` for ERROR_CODE, compared with the host's equality.
// Returns 1 when the code is 1 (the process must end), 0 otherwise, -1 on error.
int set_code(PyObject* module, PyObject* self, PyObject* error_code) {
    struct Known {
        long value;
        const char* message;
        const char* code;
    };
    static constexpr std::array<Known, 2> known = {{
        {1, "No GPS-mouse is present in system.", "0001"},
        {2, "Failure in GPS-read().", "0002"},
    }};
    for (const Known& k : known) {
        Ref v = Ref::steal(PyLong_FromLong(k.value));
        if (!v) return -1;
        int eq = PyObject_RichCompareBool(error_code, v.get(), Py_EQ);
        if (eq < 0) return -1;
        if (!eq) continue;
        Ref message = Ref::steal(PyUnicode_FromString(k.message));
        Ref code = Ref::steal(PyUnicode_FromString(k.code));
        if (!message || !setattr(module, self, Name::message, message.get())) return -1;
        if (!code || !setattr(module, self, Name::code, code.get())) return -1;
        return k.value == 1;
    }
    Ref message = Ref::steal(PyUnicode_FromString("Unknown GPS error."));
    Ref spec = Ref::steal(PyUnicode_FromString("04d"));
    if (!spec) return -1;
    // An integer as four digits, anything else as its text.
    Ref code = PyLong_Check(error_code) ? Ref::steal(PyObject_Format(error_code, spec.get()))
                                        : Ref::steal(PyObject_Str(error_code));
    if (!message || !setattr(module, self, Name::message, message.get())) return -1;
    if (!code || !setattr(module, self, Name::code, code.get())) return -1;
    return 0;
}

// "Error-Code: " + code + ", Error-Message: " + message, joined with the host's addition.
Ref error_line(PyObject* module, PyObject* self) {
    Ref head = Ref::steal(PyUnicode_FromString("Error-Code: "));
    Ref code = getattr(module, self, Name::code);
    if (!head || !code) return {};
    Ref text = Ref::steal(PyNumber_Add(head.get(), code.get()));
    Ref sep = Ref::steal(PyUnicode_FromString(", Error-Message: "));
    if (!text || !sep) return {};
    text = Ref::steal(PyNumber_Add(text.get(), sep.get()));
    Ref message = text ? getattr(module, self, Name::message) : Ref{};
    if (!message) return {};
    return Ref::steal(PyNumber_Add(text.get(), message.get()));
}

PyObject* error_init(PyObject* module, PyObject* self, PyObject* const* args) {
    PyObject* e = args[0];
    PyObject* error_code = args[1];
    int ends = set_code(module, self, error_code);
    if (ends < 0) return nullptr;

    Ref e_text = Ref::steal(PyObject_Str(e));
    Ref self_text = e_text ? Ref::steal(PyObject_Str(self)) : Ref{};
    if (!self_text) return nullptr;
    Ref log_text =
        Ref::steal(PyUnicode_FromFormat("GPS Error: %U, %U", e_text.get(), self_text.get()));
    if (!log_text || !log(module, Name::error, log_text.get())) return nullptr;

    Ref line = error_line(module, self);
    if (!line || !host_print(module, line.get())) return nullptr;

    // A missing device ends the process, with status 1: it is a failure, not a normal end.
    Ref one = Ref::steal(PyLong_FromLong(1));
    int eq = one ? PyObject_RichCompareBool(error_code, one.get(), Py_EQ) : -1;
    if (eq < 0) return nullptr;
    if (eq) {
        Ref sys = global(module, Name::sys);
        Ref exit = sys ? getattr(module, sys.get(), Name::exit) : Ref{};
        if (!exit) return nullptr;
        if (!call(exit.get(), one.get())) return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* error_str(PyObject* module, PyObject* self, PyObject* const*) {
    Ref line = error_line(module, self);
    return line ? PyObject_Repr(line.get()) : nullptr;
}

constexpr const char* init_params[] = {"e", "error_code"};

constexpr MethodDef error_methods[] = {
    {"__init__", error_init, init_params, 2, nullptr, 0, nullptr},
    {"__str__", error_str, nullptr, 0, nullptr, 0, nullptr},
};
static_assert(methods_fit(error_methods));

int error_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    return reinterpret_cast<PyTypeObject*>(PyExc_Exception)->tp_traverse(self, visit, arg);
}

// Through the interpreter's trashcan, as the base exception's own dealloc: freeing a long chain
// of errors linked by __cause__ or __context__ is spread out instead of recursing once per
// link. The base's trashcan only applies to its own dealloc, so this one holds its own.
void error_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    destructor base_dealloc = reinterpret_cast<PyTypeObject*>(PyExc_Exception)->tp_dealloc;
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, error_dealloc) {
        base_dealloc(self);
        Py_DECREF(tp);
    }
    Py_TRASHCAN_END
}

PyType_Slot error_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(error_traverse)},
    {Py_tp_dealloc, reinterpret_cast<void*>(error_dealloc)},
    {0, nullptr},
};

PyType_Spec error_spec = {
    "zq_gps.zq_error", 0, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    error_slots,
};

}  // namespace

PyObject* create_error_type(PyObject* module) {
    Ref cls = Ref::steal(PyType_FromModuleAndSpec(module, &error_spec, PyExc_Exception));
    if (!cls || !add_methods(module, cls.get(), error_methods, std::size(error_methods)))
        return nullptr;
    return cls.release();
}

bool report_error(PyObject* module, PyObject* e, long code) {
    if (!e) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "zq_gps: no error to report");
        return false;
    }
    Ref cls = global(module, Name::zq_error);
    Ref c = Ref::steal(PyLong_FromLong(code));
    if (!cls || !c) return false;
    PyObject* args[] = {e, c.get()};
    return call(cls.get(), args, 2).get() != nullptr;
}

}  // namespace zq
