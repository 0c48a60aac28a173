// zq_hub: the receiver's hub for hosts that wait instead of polling, and for the board's other
// programs. attach(receiver) gives a receiver's Hub; the module also publishes the observer
// that zq_gps's reader loop notifies.
#include <Python.h>

#include "feed.hpp"
#include "hub.hpp"

#ifndef ZQ_VERSION
#error "ZQ_VERSION must be defined by the build"
#endif

namespace zq_hub {
namespace {

PyObject* module_attach(PyObject* module, PyObject* receiver) {
    return attach(module, receiver);
}

// Registered with atexit: runs while the interpreter is whole, before daemon threads are torn
// down, so no service thread is left waiting for an interpreter that is gone.
PyObject* module_close_all(PyObject*, PyObject*) {
    close_all();
    Py_RETURN_NONE;
}

PyMethodDef close_all_def = {"_close_all", module_close_all, METH_NOARGS, nullptr};

PyMethodDef module_methods[] = {
    {"attach", module_attach, METH_O,
     "attach(receiver) -> Hub: the receiver's hub, made on first use; attaching again returns "
     "the same one until it is closed."},
    {nullptr, nullptr, 0, nullptr},
};

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    auto* st = static_cast<ModuleState*>(PyModule_GetState(module));
    if (!st) return 0;
    Py_VISIT(st->hub_type);
    Py_VISIT(st->messages_type);
    Py_VISIT(st->frames_type);
    Py_VISIT(st->subscription_type);
    Py_VISIT(st->async_messages_type);
    Py_VISIT(st->pending_type);
    for (PyObject* n : st->state_names)
        Py_VISIT(n);
    return 0;
}

int module_clear(PyObject* module) {
    auto* st = static_cast<ModuleState*>(PyModule_GetState(module));
    if (!st) return 0;
    Py_CLEAR(st->hub_type);
    Py_CLEAR(st->messages_type);
    Py_CLEAR(st->frames_type);
    Py_CLEAR(st->subscription_type);
    Py_CLEAR(st->async_messages_type);
    Py_CLEAR(st->pending_type);
    for (PyObject*& n : st->state_names)
        Py_CLEAR(n);
    return 0;
}

void module_free(void* module) {
    module_clear(static_cast<PyObject*>(module));
}

int module_exec(PyObject* module) {
    auto* st = static_cast<ModuleState*>(PyModule_GetState(module));
    const char* states[] = {"live", "stale", "stopped"};  // by zq::hub::State
    for (int i = 0; i < 3; ++i) {
        st->state_names[i] = PyUnicode_InternFromString(states[i]);
        if (!st->state_names[i]) return -1;
    }
    st->hub_type = create_hub_type(module);
    if (!st->hub_type || PyModule_AddObjectRef(module, "Hub", st->hub_type) < 0) return -1;
    if (!create_feed_types(module, st) || !create_aio_types(module, st)) return -1;
    Ref observer = Ref::steal(PyCapsule_New(const_cast<zq_hub_abi::Observer*>(&kObserver),
                                            zq_hub_abi::kObserverCapsule, nullptr));
    if (!observer || PyModule_AddObjectRef(module, "_observer", observer.get()) < 0) return -1;
    if (PyModule_AddStringConstant(module, "__version__", ZQ_VERSION) < 0) return -1;
    // The hub's own threads call into the interpreter only through pyref::with_gil.
    if (!pyref::install_exit_gate()) return -1;
    Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
    Ref fn = atexit ? Ref::steal(PyCFunction_NewEx(&close_all_def, nullptr, nullptr)) : Ref{};
    Ref done =
        fn ? Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", fn.get())) : Ref{};
    return done ? 0 : -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "zq_hub",
    "The receiver's hub: wait for messages, tap every frame.",
    sizeof(ModuleState),
    module_methods,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace
}  // namespace zq_hub

PyMODINIT_FUNC PyInit_zq_hub() {
    return PyModuleDef_Init(&zq_hub::module_def);
}
