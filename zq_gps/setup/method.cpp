// Method descriptor type of the zq_gps module.
#include "method.hpp"

#include <structmember.h>

#include <cstdarg>
#include <string>

#include "module.hpp"

namespace zq {
namespace {

struct MethodObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    const MethodDef* spec;
    PyObject* owner;  // the defining class
    PyObject* name;
    PyObject* qualname;
    PyObject* module_name;
    PyObject* doc;
    PyObject* defaults;  // tuple, or None
    PyObject* signature;
};

PyTypeObject* owner_type(const MethodObject* m) {
    return reinterpret_cast<PyTypeObject*>(m->owner);
}

// TypeError "<qualname>() <FORMAT...>", formatted by the interpreter (%U, %S and %R take the
// host's objects as they are, whatever characters they hold).
void type_error(const MethodObject* m, const char* format, ...) {
    va_list va;
    va_start(va, format);
    Ref tail = Ref::steal(PyUnicode_FromFormatV(format, va));
    va_end(va);
    if (tail) PyErr_Format(PyExc_TypeError, "%U() %U", m->qualname, tail.get());
}

const char* plural(Py_ssize_t n) {
    return n == 1 ? "" : "s";
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's list of missing names.
Ref name_list(const char* const* names, const int* which, int n) {
    Ref text = Ref::steal(PyUnicode_FromString(""));
    for (int i = 0; text && i < n; ++i) {
        const char* sep = i == 0 ? "" : n == 2 ? " and " : i == n - 1 ? ", and " : ", ";
        text = Ref::steal(PyUnicode_FromFormat("%U%s'%s'", text.get(), sep, names[which[i]]));
    }
    return text;
}

// Binds positional and keyword arguments to the method's parameters the way the interpreter
// binds a Python function's, with the same error texts. OUT has room for kMaxParams.
bool bind(const MethodObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out) {
    const MethodDef* s = m->spec;
    if (nargs > s->nparams) {
        Py_ssize_t given = nargs + 1;
        if (s->ndefaults == 0) {
            type_error(m, "takes %d positional argument%s but %zd %s given", s->nparams + 1,
                       plural(s->nparams + 1), given, given == 1 ? "was" : "were");
        } else {
            type_error(m, "takes from %d to %d positional arguments but %zd %s given",
                       s->nparams - s->ndefaults + 1, s->nparams + 1, given,
                       given == 1 ? "was" : "were");
        }
        return false;
    }
    for (int i = 0; i < s->nparams; ++i)
        out[i] = i < nargs ? args[i] : nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            type_error(m, "keywords must be strings");
            return false;
        }
        int found = -1;
        for (int i = 0; i < s->nparams && found < 0; ++i) {
            if (PyUnicode_CompareWithASCIIString(key, s->params[i]) == 0) found = i;
        }
        if (found < 0) {
            type_error(m, "got an unexpected keyword argument '%S'", key);
            return false;
        }
        if (out[found] != nullptr) {
            type_error(m, "got multiple values for argument '%s'", s->params[found]);
            return false;
        }
        out[found] = args[nargs + k];
    }
    int first_default = s->nparams - s->ndefaults;
    int missing[kMaxParams];
    int nmissing = 0;
    for (int i = 0; i < s->nparams; ++i) {
        if (out[i] != nullptr) continue;
        if (i >= first_default) {
            out[i] = PyTuple_GET_ITEM(m->defaults, i - first_default);
            continue;
        }
        missing[nmissing++] = i;
    }
    if (nmissing) {
        Ref list = name_list(s->params, missing, nmissing);
        if (list) {
            type_error(m, "missing %d required positional argument%s: %U", nmissing,
                       plural(nmissing), list.get());
        }
        return false;
    }
    return true;
}

// A descriptor whose references the garbage collector has cleared (it was part of a cycle
// being freed) can still be reached by a finalizer; it refuses the call.
bool usable(const MethodObject* m) {
    if (m->owner && m->qualname && m->defaults) return true;
    PyErr_Format(PyExc_SystemError, "zq_gps: method '%s' has been cleared", m->spec->name);
    return false;
}

PyObject* call_impl(MethodObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!usable(m)) return nullptr;
    if (nargs < 1) {
        type_error(m, "needs an instance of '%s' as its first argument", owner_type(m)->tp_name);
        return nullptr;
    }
    PyObject* self = args[0];
    if (!PyObject_TypeCheck(self, owner_type(m))) {
        PyErr_Format(PyExc_TypeError,
                     "descriptor '%s' for '%s' objects doesn't apply to a '%s' object",
                     m->spec->name, owner_type(m)->tp_name, Py_TYPE(self)->tp_name);
        return nullptr;
    }
    PyObject* bound[kMaxParams] = {};
    if (!bind(m, args + 1, nargs - 1, kwnames, bound)) return nullptr;
    PyObject* module = PyType_GetModule(owner_type(m));
    if (!module || !state_ready(module)) return nullptr;
    // Held the way the interpreter's own C functions hold it: every way back into the module
    // passes here, so a host's loop through our methods ends in RecursionError.
    RecursionGuard guard;
    if (!guard) return nullptr;
    return m->spec->impl(module, self, bound);
}

// The one entry of every method of the module: no C++ exception goes past it. Not noexcept,
// nor are the slots below that may run Python code: the unwind that ends a thread at
// interpreter exit passes (common/pyref.hpp).
PyObject* method_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
    auto* m = reinterpret_cast<MethodObject*>(callable);
    return boundary([&] { return call_impl(m, args, PyVectorcall_NARGS(nargsf), kwnames); },
                    static_cast<PyObject*>(nullptr));
}

PyObject* method_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* method_repr(PyObject* self) {
    auto* m = reinterpret_cast<MethodObject*>(self);
    if (!usable(m)) return nullptr;
    return PyUnicode_FromFormat("<method '%U' of '%s' objects>", m->qualname,
                                owner_type(m)->tp_name);
}

int method_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    auto* m = reinterpret_cast<MethodObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(m->owner);
    Py_VISIT(m->defaults);
    return 0;
}

int method_clear(PyObject* self) {
    auto* m = reinterpret_cast<MethodObject*>(self);
    Py_CLEAR(m->owner);
    Py_CLEAR(m->name);
    Py_CLEAR(m->qualname);
    Py_CLEAR(m->module_name);
    Py_CLEAR(m->doc);
    Py_CLEAR(m->defaults);
    Py_CLEAR(m->signature);
    return 0;
}

void method_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    method_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyMemberDef method_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(MethodObject, vectorcall), READONLY, nullptr},
    {"__name__", T_OBJECT, offsetof(MethodObject, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(MethodObject, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(MethodObject, module_name), READONLY, nullptr},
    {"__doc__", T_OBJECT, offsetof(MethodObject, doc), READONLY, nullptr},
    {"__defaults__", T_OBJECT, offsetof(MethodObject, defaults), READONLY, nullptr},
    {"__objclass__", T_OBJECT, offsetof(MethodObject, owner), READONLY, nullptr},
    {"__text_signature__", T_OBJECT, offsetof(MethodObject, signature), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot method_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(method_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(method_repr)},
    {Py_tp_members, method_members},
    {Py_tp_traverse, reinterpret_cast<void*>(method_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(method_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(method_dealloc)},
    {0, nullptr},
};

PyType_Spec method_spec = {
    "zq_gps.method",
    sizeof(MethodObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    method_slots,
};

// "(self, gpsmode='NAV-PVT', port='/dev/ttyACM0')", as inspect reads it.
Ref text_signature(const MethodDef& s) {
    std::string sig = "(self";
    int first_default = s.nparams - s.ndefaults;
    for (int i = 0; i < s.nparams; ++i) {
        sig += ", ";
        sig += s.params[i];
        if (i >= first_default) {
            Ref text = Ref::steal(PyUnicode_FromString(s.defaults[i - first_default]));
            if (!text) return {};
            Ref r = Ref::steal(PyObject_Repr(text.get()));
            if (!r) return {};
            const char* utf8 = PyUnicode_AsUTF8(r.get());
            if (!utf8) return {};
            sig += "=";
            sig += utf8;
        }
    }
    sig += ")";
    return Ref::steal(PyUnicode_FromString(sig.c_str()));
}

Ref new_method(PyObject* module, PyObject* cls, const MethodDef& s) {
    if (!fits(s)) {
        PyErr_Format(PyExc_SystemError, "zq_gps: method '%s' has too many parameters", s.name);
        return {};
    }
    auto* tp = reinterpret_cast<PyTypeObject*>(state(module)->method_type);
    Ref obj = Ref::steal(reinterpret_cast<PyObject*>(PyObject_GC_New(MethodObject, tp)));
    if (!obj) return {};
    auto* m = reinterpret_cast<MethodObject*>(obj.get());
    m->vectorcall = method_vectorcall;
    m->spec = &s;
    m->owner = Py_NewRef(cls);
    m->name = PyUnicode_FromString(s.name);
    m->qualname = PyUnicode_FromFormat(
        "%U.%s", reinterpret_cast<PyHeapTypeObject*>(cls)->ht_qualname, s.name);
    m->module_name = PyUnicode_FromString("zq_gps");
    m->doc = s.doc ? PyUnicode_FromString(s.doc) : Py_NewRef(Py_None);
    m->defaults = nullptr;
    m->signature = nullptr;
    PyObject_GC_Track(obj.get());
    if (!m->name || !m->qualname || !m->module_name || !m->doc) return {};
    if (s.ndefaults) {
        m->defaults = PyTuple_New(s.ndefaults);
        if (!m->defaults) return {};
        for (int i = 0; i < s.ndefaults; ++i) {
            PyObject* d = PyUnicode_FromString(s.defaults[i]);
            if (!d) return {};
            PyTuple_SET_ITEM(m->defaults, i, d);
        }
    } else {
        m->defaults = Py_NewRef(Py_None);
    }
    m->signature = text_signature(s).release();
    if (!m->signature) return {};
    return obj;
}

}  // namespace

PyObject* create_method_type(PyObject* module) {
    return PyType_FromModuleAndSpec(module, &method_spec, nullptr);
}

bool add_methods(PyObject* module, PyObject* cls, const MethodDef* specs, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        Ref m = new_method(module, cls, specs[i]);
        if (!m || PyObject_SetAttrString(cls, specs[i].name, m.get()) < 0) return false;
    }
    return true;
}

}  // namespace zq
