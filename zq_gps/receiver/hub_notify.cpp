// Notifications to zq_hub.
#include "hub_notify.hpp"

#include "module.hpp"

namespace zq::hub_notify {
namespace {

// The observer zq_hub publishes, when it is imported: sys.modules["zq_hub"]._observer.
const zq_hub_abi::Observer* find(PyObject* module) {
    if (!state_ready(module)) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* hub =
        modules ? PyDict_GetItemWithError(modules, name(module, Name::zq_hub)) : nullptr;
    if (!hub || !PyModule_Check(hub)) return nullptr;
    PyObject* dict = PyModule_GetDict(hub);
    PyObject* capsule =
        dict ? PyDict_GetItemWithError(dict, name(module, Name::_observer)) : nullptr;
    if (!capsule) return nullptr;
    const auto* o = static_cast<const zq_hub_abi::Observer*>(
        PyCapsule_GetPointer(capsule, zq_hub_abi::kObserverCapsule));
    if (!o || o->version != zq_hub_abi::kVersion) return nullptr;
    return o;
}

// Runs FN with the observer, leaving the Python error state (a pending exception, or none) as
// it found it.
template <class Fn>
void notify(PyObject* module, Fn&& fn) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (const zq_hub_abi::Observer* o = find(module)) fn(*o);
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
}

}  // namespace

void pass_begin(PyObject* module, PyObject* receiver, PyObject* ubr) {
    notify(module, [&](const zq_hub_abi::Observer& o) { o.pass_begin(receiver, ubr); });
}

void message_read(PyObject* module, PyObject* receiver, PyObject* raw, PyObject* msg) {
    notify(module, [&](const zq_hub_abi::Observer& o) { o.message_read(receiver, raw, msg); });
}

void accepted(PyObject* module, PyObject* receiver, PyObject* msg) {
    notify(module, [&](const zq_hub_abi::Observer& o) { o.accepted(receiver, msg); });
}

void state(PyObject* module, PyObject* receiver, zq_hub_abi::LoopState s) {
    notify(module, [&](const zq_hub_abi::Observer& o) { o.state(receiver, s); });
}

const zq_hub_abi::Observer* write_begin(PyObject* module, PyObject* receiver) {
    const zq_hub_abi::Observer* begun = nullptr;
    notify(module, [&](const zq_hub_abi::Observer& o) {
        begun = &o;
        o.write_begin(receiver);
    });
    return begun;
}

void write_end(const zq_hub_abi::Observer* begun, PyObject* receiver) {
    if (!begun) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    begun->write_end(receiver);
    PyErr_Restore(type, value, traceback);
}

}  // namespace zq::hub_notify
