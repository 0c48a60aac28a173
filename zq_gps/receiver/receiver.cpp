// Class zq_gps: a plain class on object whose instances keep all state in their __dict__.
// Construction gives every attribute its initial value, in the table's order, then starts
// reading through run(); the accessors return the latest values as the reader stored them, no
// copy, no conversion.
#include "receiver.hpp"

#include <structmember.h>

#include "method.hpp"

namespace zq {

using attributes::Attribute;
using attributes::Value;

bool store_initial(PyObject* module, PyObject* self, const Attribute& a, PyObject* const* args) {
    const Value& v = a.initial;
    switch (v.kind) {
        case Value::integer:
            return setattr_long(module, self, a.name, v.integer_value);
        case Value::real:
            return setattr_double(module, self, a.name, v.real_value);
        case Value::none:
            return setattr(module, self, a.name, Py_None);
        case Value::false_:
            return setattr(module, self, a.name, Py_False);
        case Value::argument:
            return setattr(module, self, a.name, args[v.argument_index]);
        case Value::clock: {
            Ref time = global(module, Name::time);
            Ref now = time ? call_method0(module, time.get(), Name::time) : Ref{};
            return now && setattr(module, self, a.name, now.get());
        }
    }
    PyErr_SetString(PyExc_SystemError, "zq_gps: unknown kind of initial value");
    return false;
}

namespace {

// ---------------------------------------------------------------------------------------------
// Methods

PyObject* receiver_init(PyObject* module, PyObject* self, PyObject* const* args) {
    if (!log(module, Name::info, "GPS init")) return nullptr;
    for (const Attribute& a : attributes::kTable) {
        if (!store_initial(module, self, a, args)) return nullptr;
    }
    if (!call_method0(module, self, Name::run)) return nullptr;
    Py_RETURN_NONE;
}

// The first COUNT summary attributes as a tuple, in getgps() order.
PyObject* summary(PyObject* module, PyObject* self, std::size_t count) {
    Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(count)));
    if (!t) return nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        Ref v = getattr(module, self, attributes::kTable[attributes::kSummary[i]].name);
        if (!v) return nullptr;
        PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), v.release());
    }
    return t.release();
}

PyObject* receiver_getgps(PyObject* module, PyObject* self, PyObject* const*) {
    return summary(module, self, attributes::kSummary.size());
}

PyObject* receiver_getparseddata(PyObject* module, PyObject* self, PyObject* const*) {
    return summary(module, self, attributes::kParsedData);
}

PyObject* receiver_getlat(PyObject* module, PyObject* self, PyObject* const*) {
    return getattr(module, self, Name::lat).release();
}

PyObject* receiver_getlon(PyObject* module, PyObject* self, PyObject* const*) {
    return getattr(module, self, Name::lon).release();
}

PyObject* receiver_getversion(PyObject* module, PyObject*, PyObject* const*) {
    return global(module, Name::version).release();
}

constexpr const char* init_params[] = {"gpsmode", "port"};
constexpr const char* init_defaults[] = {"NAV-PVT", "/dev/ttyACM0"};
static_assert(std::size(init_params) == attributes::kArguments);

// The class body's order.
constexpr MethodDef receiver_methods[] = {
    {"__init__", receiver_init, init_params, 2, init_defaults, 2, nullptr},
    {"run", receiver_run, nullptr, 0, nullptr, 0, nullptr},
    {"loop_gps", receiver_loop, nullptr, 0, nullptr, 0, nullptr},
    {"stop", receiver_stop, nullptr, 0, nullptr, 0, nullptr},
    {"getparseddata", receiver_getparseddata, nullptr, 0, nullptr, 0, nullptr},
    {"setPowerMode", receiver_set_power_mode, nullptr, 0, nullptr, 0, nullptr},
    {"getgps", receiver_getgps, nullptr, 0, nullptr, 0, nullptr},
    {"getlat", receiver_getlat, nullptr, 0, nullptr, 0, nullptr},
    {"getlon", receiver_getlon, nullptr, 0, nullptr, 0, nullptr},
    {"getversion", receiver_getversion, nullptr, 0, nullptr, 0, nullptr},
    {"restart", receiver_restart, nullptr, 0, nullptr, 0, nullptr},
};
static_assert(methods_fit(receiver_methods));

// ---------------------------------------------------------------------------------------------
// The type

int receiver_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_receiver(self)->dict);
    return 0;
}

int receiver_clear(PyObject* self) {
    Py_CLEAR(as_receiver(self)->dict);
    return 0;
}

void receiver_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_receiver(self)->weakrefs) PyObject_ClearWeakRefs(self);
    receiver_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyMemberDef receiver_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(Receiver, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Receiver, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef receiver_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot receiver_slots[] = {
    {Py_tp_members, receiver_members},
    {Py_tp_getset, receiver_getset},
    {Py_tp_traverse, reinterpret_cast<void*>(receiver_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(receiver_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(receiver_dealloc)},
    {0, nullptr},
};

PyType_Spec receiver_spec = {
    "zq_gps.zq_gps",
    sizeof(Receiver),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    receiver_slots,
};

}  // namespace

PyObject* create_receiver_type(PyObject* module) {
    Ref cls = Ref::steal(PyType_FromModuleAndSpec(module, &receiver_spec, nullptr));
    if (!cls || !add_methods(module, cls.get(), receiver_methods, std::size(receiver_methods)))
        return nullptr;
    return cls.release();
}

}  // namespace zq
