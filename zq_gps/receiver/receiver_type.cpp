// Class zq_gps: a plain class on object whose instances keep all state in their __dict__.
#include "receiver.hpp"

#include <structmember.h>

#include <algorithm>

#include "method.hpp"

namespace zq {

void RetiredReaders::add(unsigned long ident) {
    if (contains(ident)) return;
    // A full list drops its oldest entry: a reader that has not left after eight restarts is
    // stuck in a call that never returns to its loop.
    if (count_ == idents_.size()) {
        std::copy(idents_.begin() + 1, idents_.end(), idents_.begin());
        --count_;
    }
    idents_[count_++] = ident;
}

void RetiredReaders::remove(unsigned long ident) {
    auto end = idents_.begin() + count_;
    auto it = std::find(idents_.begin(), end, ident);
    if (it == end) return;
    std::copy(it + 1, end, it);
    --count_;
}

bool RetiredReaders::contains(unsigned long ident) const {
    auto end = idents_.begin() + count_;
    return std::find(idents_.begin(), end, ident) != end;
}

namespace {

constexpr const char* init_params[] = {"gpsmode", "port"};
constexpr const char* init_defaults[] = {"NAV-PVT", "/dev/ttyACM0"};

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
