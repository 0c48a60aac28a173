// Method descriptor type of the zq_gps module.
#include "method.hpp"

#include <structmember.h>

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

std::string qualname_of(const MethodObject* m) {
    const char* q = PyUnicode_AsUTF8(m->qualname);
    return q ? q : m->spec->name;
}

void set_type_error(const MethodObject* m, const std::string& tail) {
    PyErr_Format(PyExc_TypeError, "%s() %s", qualname_of(m).c_str(), tail.c_str());
}

std::string plural(int n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

// Binds positional and keyword arguments to the method's parameters the way the interpreter
// binds a Python function's, with the same error texts.
bool bind(const MethodObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out) {
    const MethodDef* s = m->spec;
    if (nargs > s->nparams) {
        std::string takes;
        if (s->ndefaults == 0) {
            takes = plural(s->nparams + 1, "positional argument");
        } else {
            takes = "from " + std::to_string(s->nparams - s->ndefaults + 1) + " to " +
                    std::to_string(s->nparams + 1) + " positional arguments";
        }
        set_type_error(m, "takes " + takes + " but " + std::to_string(nargs + 1) +
                              (nargs + 1 == 1 ? " was" : " were") + " given");
        return false;
    }
    for (int i = 0; i < s->nparams; ++i)
        out[i] = i < nargs ? args[i] : nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        int found = -1;
        for (int i = 0; i < s->nparams; ++i) {
            if (PyUnicode_CompareWithASCIIString(key, s->params[i]) == 0) found = i;
        }
        if (found < 0) {
            set_type_error(m, "got an unexpected keyword argument '" +
                                  std::string(PyUnicode_AsUTF8(key)) + "'");
            return false;
        }
        if (out[found] != nullptr) {
            set_type_error(
                m, "got multiple values for argument '" + std::string(s->params[found]) + "'");
            return false;
        }
        out[found] = args[nargs + k];
    }
    int first_default = s->nparams - s->ndefaults;
    std::string missing;
    int nmissing = 0;
    for (int i = 0; i < s->nparams; ++i) {
        if (out[i] != nullptr) continue;
        if (i >= first_default) {
            out[i] = PyTuple_GET_ITEM(m->defaults, i - first_default);
            continue;
        }
        missing += (nmissing ? "' and '" : "'") + std::string(s->params[i]);
        ++nmissing;
    }
    if (nmissing) {
        set_type_error(m, "missing " + plural(nmissing, "required positional argument") + ": " +
                              missing + "'");
        return false;
    }
    return true;
}

PyObject* method_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
    auto* m = reinterpret_cast<MethodObject*>(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs < 1) {
        set_type_error(m, "needs an instance of '" +
                              std::string(reinterpret_cast<PyTypeObject*>(m->owner)->tp_name) +
                              "' as its first argument");
        return nullptr;
    }
    PyObject* self = args[0];
    if (!PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(m->owner))) {
        PyErr_Format(PyExc_TypeError,
                     "descriptor '%s' for '%s' objects doesn't apply to a '%s' object",
                     m->spec->name, reinterpret_cast<PyTypeObject*>(m->owner)->tp_name,
                     Py_TYPE(self)->tp_name);
        return nullptr;
    }
    PyObject* bound[kMaxParams] = {};
    if (!bind(m, args + 1, nargs - 1, kwnames, bound)) return nullptr;
    PyObject* module = PyType_GetModule(reinterpret_cast<PyTypeObject*>(m->owner));
    if (!module) return nullptr;
    return m->spec->impl(module, self, bound);
}

PyObject* method_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* method_repr(PyObject* self) {
    auto* m = reinterpret_cast<MethodObject*>(self);
    return PyUnicode_FromFormat("<method '%U' of '%s' objects>", m->qualname,
                                reinterpret_cast<PyTypeObject*>(m->owner)->tp_name);
}

int method_traverse(PyObject* self, visitproc visit, void* arg) {
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
            sig += "=";
            sig += PyUnicode_AsUTF8(r.get());
        }
    }
    sig += ")";
    return Ref::steal(PyUnicode_FromString(sig.c_str()));
}

Ref new_method(PyObject* module, PyObject* cls, const MethodDef& s) {
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
