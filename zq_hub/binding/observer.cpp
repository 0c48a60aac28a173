// The observer zq_gps's reader loop calls (common/zq_hub_abi.hpp): each notification goes to
// the hub attached to that receiver, if any.
#include "hub.hpp"

namespace zq_hub {
namespace {

void pass_begin(PyObject* receiver, PyObject* ubr) {
    if (HubObject* h = hub_for(receiver)) on_pass_begin(h, ubr);
}

void message_read(PyObject* receiver, PyObject* raw, PyObject* msg) {
    if (HubObject* h = hub_for(receiver)) on_message_read(h, raw, msg);
}

void accepted(PyObject* receiver, PyObject* msg) {
    if (HubObject* h = hub_for(receiver)) on_accepted(h, msg);
}

void state(PyObject* receiver, zq_hub_abi::LoopState s) {
    if (HubObject* h = hub_for(receiver)) on_state(h, s);
}

void write_begin(PyObject* receiver) {
    if (HubObject* h = hub_for(receiver)) on_write_begin(h);
}

void write_end(PyObject* receiver) {
    if (HubObject* h = hub_for(receiver)) on_write_end(h);
}

}  // namespace

const zq_hub_abi::Observer kObserver = {
    zq_hub_abi::kVersion, pass_begin, message_read, accepted, state, write_begin, write_end,
};

}  // namespace zq_hub
