// The observer zq_gps's reader loop calls (common/zq_hub_abi.hpp): each notification goes to
// the hub attached to that receiver, if any.
#include "hub.hpp"

namespace zq_hub {
namespace {

// The hub stays alive through each notification, whatever Python code a notification runs
// (a stand-in message's finalizer that closes the hub, say).
template <class Fn>
void with_hub(PyObject* receiver, Fn&& fn) {
    HubObject* h = hub_for(receiver);
    if (!h) return;
    Ref keep = Ref::borrow(reinterpret_cast<PyObject*>(h));
    fn(h);
}

void pass_begin(PyObject* receiver, PyObject* ubr) {
    with_hub(receiver, [&](HubObject* h) { on_pass_begin(h, ubr); });
}

void message_read(PyObject* receiver, PyObject* raw, PyObject* msg) {
    with_hub(receiver, [&](HubObject* h) { on_message_read(h, raw, msg); });
}

void accepted(PyObject* receiver, PyObject* msg) {
    with_hub(receiver, [&](HubObject* h) { on_accepted(h, msg); });
}

void state(PyObject* receiver, zq_hub_abi::LoopState s) {
    with_hub(receiver, [&](HubObject* h) { on_state(h, s); });
}

void write_begin(PyObject* receiver) {
    with_hub(receiver, [&](HubObject* h) { on_write_begin(h); });
}

void write_end(PyObject* receiver) {
    with_hub(receiver, [&](HubObject* h) { on_write_end(h); });
}

}  // namespace

const zq_hub_abi::Observer kObserver = {
    zq_hub_abi::kVersion, pass_begin, message_read, accepted, state, write_begin, write_end,
};

}  // namespace zq_hub
