// The Hub type of the zq_hub module: one per receiver, found by attach(receiver). It feeds the
// core hub's tap from the receiver's reader and answers the host (zq_hub/core holds everything
// that runs without the interpreter).
#pragma once

#include <Python.h>

#include <memory>
#include <vector>

#include "../core/hub.hpp"
#include "pyref.hpp"
#include "zq_hub_abi.hpp"

namespace zq_hub {

using pyref::Ref;

struct Feed;
struct Worker;

// The C++ side of a Hub object. The core hub is shared with the tap sink a reader holds, so a
// reader that outlives the Hub object (or its close) only feeds a closed tap. The host's
// queues (feed.hpp) are listed here while open; the lists are used with the GIL held.
struct HubCore {
    std::shared_ptr<zq::hub::Hub> hub = std::make_shared<zq::hub::Hub>();
    std::vector<std::shared_ptr<Feed>> feeds;                // waiters, iterators, callbacks
    std::vector<std::shared_ptr<zq::hub::Consumer>> frames;  // frames() iterators
    std::vector<std::shared_ptr<Worker>> workers;            // subscriptions' threads
    std::size_t keyed = 0;                                   // feeds that take messages by identity
    uint64_t retired_dropped = 0;                            // drops of the queues closed so far
    unsigned long reader = 0;  // the thread of the last reader pass (PyThread ident)
};

// The module's state: its types, and the state names as the host sees them.
struct ModuleState {
    PyObject* hub_type;
    PyObject* messages_type;
    PyObject* frames_type;
    PyObject* subscription_type;
    PyObject* async_messages_type;
    PyObject* pending_type;
    PyObject* state_names[3];  // by zq::hub::State
};

struct HubObject {
    PyObject_HEAD PyObject* receiver;  // the zq_gps object; NULL once closed
    PyObject* tapped;                  // the reader whose tap feeds this hub; NULL: none yet
    PyObject* sink;                    // capsule with this hub's TapSink, for _set_tap
    PyObject* latest;                  // the last accepted message; NULL: none yet
    PyObject* weakrefs;
    HubCore* core;
    bool native_tap;  // `tapped` hands frames to the tap itself (the codec's own reader)
};

inline HubObject* as_hub(PyObject* o) {
    return reinterpret_cast<HubObject*>(o);
}

// Creates the Hub type for MODULE; a new reference.
PyObject* create_hub_type(PyObject* module);
// The module state of the module that made TYPE's objects (the Hub and the binding's types).
ModuleState* state_of(PyTypeObject* type);

// attach(receiver): the receiver's hub, made on first use.
PyObject* attach(PyObject* module, PyObject* receiver);
// The hub attached to RECEIVER (borrowed), or nullptr.
HubObject* hub_for(PyObject* receiver);
// Closes every attached hub: at interpreter exit, before threads are torn down.
void close_all();

// What the reader loop's notifications do to a hub (observer.cpp dispatches to these). None
// may fail or leave an error set.
void on_pass_begin(HubObject* h, PyObject* ubr);
void on_message_read(HubObject* h, PyObject* raw, PyObject* msg);
void on_accepted(HubObject* h, PyObject* msg);
void on_state(HubObject* h, zq_hub_abi::LoopState s);
void on_write_begin(HubObject* h);
void on_write_end(HubObject* h);

// The observer table published as zq_hub._observer.
extern const zq_hub_abi::Observer kObserver;

// Clocks as the tap stamps items.
double monotonic_now();
double realtime_now();

}  // namespace zq_hub
