// The Hub type: attach, the tap's feed from the receiver's reader, close.
#include "hub.hpp"

#include <structmember.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <new>
#include <vector>

#include "feed.hpp"
#include "port.hpp"
#include "services.hpp"

namespace zq_hub {
namespace {

using zq::hub::State;

// The attached hubs, by receiver; each entry holds a reference to its hub. Guarded by the GIL.
std::vector<HubObject*>& registry() {
    static std::vector<HubObject*> hubs;
    return hubs;
}

double clock_seconds(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// The tap sink a reader holds: it keeps the core hub alive for as long as the reader does.
struct SinkBox {
    zq_hub_abi::TapSink sink;
    std::shared_ptr<zq::hub::Hub> hub;
};

// Called by the reader thread with the GIL held; never blocks, never throws.
void sink_push(void* ctx, zq_hub_abi::TapKind kind, const uint8_t* data, std::size_t n,
               double rx_mono, double rx_real) {
    auto* box = static_cast<SinkBox*>(ctx);
    try {
        if (kind == zq_hub_abi::TapKind::ubx_frame) {
            box->hub->tap().publish_frame({data, n}, rx_mono, rx_real);
        } else {
            box->hub->tap().publish_skipped({data, n}, rx_mono, rx_real);
        }
    } catch (const std::exception&) {
        // Out of memory for an item: that item is lost, the reader goes on.
    }
}

void sink_free(PyObject* capsule) {
    delete static_cast<SinkBox*>(PyCapsule_GetContext(capsule));
}

PyObject* make_sink(const std::shared_ptr<zq::hub::Hub>& hub) {
    auto* box = new (std::nothrow) SinkBox{{zq_hub_abi::kVersion, nullptr, sink_push}, hub};
    if (!box) return PyErr_NoMemory();
    box->sink.ctx = box;
    PyObject* capsule = PyCapsule_New(&box->sink, zq_hub_abi::kTapCapsule, sink_free);
    if (!capsule || PyCapsule_SetContext(capsule, box) < 0) {
        if (!capsule) delete box;
        Py_XDECREF(capsule);
        return nullptr;
    }
    return capsule;
}

// Asks READER to feed SINK (None: to stop); false when it cannot (a stand-in reader).
bool set_tap(PyObject* reader, PyObject* sink) {
    Ref method = Ref::steal(PyObject_GetAttrString(reader, "_set_tap"));
    Ref done = method ? Ref::steal(PyObject_CallOneArg(method.get(), sink)) : Ref{};
    if (!done) PyErr_Clear();
    return static_cast<bool>(done);
}

void untap(HubObject* h) {
    if (!h->tapped) return;
    port_stopped(h);
    if (h->native_tap) set_tap(h->tapped, Py_None);
    Py_CLEAR(h->tapped);
    h->native_tap = false;
    h->core->hub->tap().end_of_stream(monotonic_now(), realtime_now());
}

// The receiver's port path as the services name the device (the gpsd server's DEVICE).
void note_device(HubObject* h) {
    Ref port = Ref::steal(PyObject_GetAttrString(h->receiver, "port"));
    Py_ssize_t n = 0;
    const char* path =
        port && PyUnicode_Check(port.get()) ? PyUnicode_AsUTF8AndSize(port.get(), &n) : nullptr;
    if (!path) {
        PyErr_Clear();
        return;
    }
    try {
        h->core->hub->set_device(std::string(path, static_cast<std::size_t>(n)));
    } catch (const std::exception&) {
    }
}

bool is_receiver(PyObject* obj) {
    PyObject* mro = Py_TYPE(obj)->tp_mro;
    if (!mro || !PyTuple_Check(mro)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        auto* t = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (std::string_view(t->tp_name) == "zq_gps.zq_gps") return true;
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// Type slots

int hub_traverse(PyObject* self, visitproc visit, void* arg) {
    HubObject* h = as_hub(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(h->receiver);
    Py_VISIT(h->tapped);
    Py_VISIT(h->sink);
    Py_VISIT(h->latest);
    return 0;
}

int hub_clear(PyObject* self) {
    HubObject* h = as_hub(self);
    Py_CLEAR(h->receiver);
    Py_CLEAR(h->tapped);
    Py_CLEAR(h->sink);
    Py_CLEAR(h->latest);
    return 0;
}

void hub_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_hub(self)->weakrefs) PyObject_ClearWeakRefs(self);
    hub_clear(self);
    delete as_hub(self)->core;
    tp->tp_free(self);
    Py_DECREF(tp);
}

// close(): detaches from the receiver, stops every service and wakes every waiter. The
// receiver goes on reading as before.
PyObject* hub_close(PyObject* self, PyObject*) {
    HubObject* h = as_hub(self);
    auto& hubs = registry();
    const auto it = std::find(hubs.begin(), hubs.end(), h);
    const bool registered = it != hubs.end();
    if (registered) hubs.erase(it);
    untap(h);
    Py_CLEAR(h->receiver);
    // Waiters wake with None, iterations end, no callback starts after this.
    close_feeds(h);
    // Services' threads may need the GIL to finish (callbacks): wait for them without it.
    std::shared_ptr<zq::hub::Hub> hub = h->core->hub;
    pyref::without_gil([&] {
        try {
            hub->close();
        } catch (const std::exception&) {
            // A service that cannot be stopped cleanly is left to the process's end.
        }
    });
    if (registered) Py_DECREF(self);
    Py_RETURN_NONE;
}

PyObject* hub_enter(PyObject* self, PyObject*) {
    return Py_NewRef(self);
}

PyObject* hub_exit(PyObject* self, PyObject* const*, Py_ssize_t) {
    Ref done = Ref::steal(hub_close(self, nullptr));
    if (!done) return nullptr;
    Py_RETURN_FALSE;
}

// A closed hub hears nothing more: it reports "stopped", not the last state it heard.
PyObject* hub_get_state(PyObject* self, void*) {
    HubObject* h = as_hub(self);
    const State s = h->receiver ? h->core->hub->tap().state() : State::stopped;
    return Py_NewRef(state_of(Py_TYPE(self))->state_names[static_cast<int>(s)]);
}

PyObject* hub_get_latest(PyObject* self, void*) {
    PyObject* m = as_hub(self)->latest;
    return Py_NewRef(m ? m : Py_None);
}

PyObject* hub_get_receiver(PyObject* self, void*) {
    PyObject* r = as_hub(self)->receiver;
    return Py_NewRef(r ? r : Py_None);
}

PyObject* hub_get_closed(PyObject* self, void*) {
    return PyBool_FromLong(as_hub(self)->core->hub->closed());
}

PyObject* hub_repr(PyObject* self) {
    HubObject* h = as_hub(self);
    if (!h->receiver) return PyUnicode_FromString("<zq_hub.Hub closed>");
    return PyUnicode_FromFormat("<zq_hub.Hub %s on %R>",
                                zq::hub::to_string(h->core->hub->tap().state()), h->receiver);
}

// The hub's own rows; each service adds its own (services.hpp) when the type is made.
PyMethodDef hub_methods[] = {
    {"close", hub_close, METH_NOARGS,
     "close(): detach from the receiver, stop every service and wake every waiter."},
    {"__enter__", hub_enter, METH_NOARGS, nullptr},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hub_exit)),
     METH_FASTCALL, nullptr},
    {"wait", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hub_wait)),
     METH_VARARGS | METH_KEYWORDS,
     "wait(timeout=None): the next accepted message, once stored, or None."},
    {"wait_state", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hub_wait_state)),
     METH_VARARGS | METH_KEYWORDS,
     "wait_state(timeout=None, *, since=None): the state once it differs from SINCE, or None."},
    {"messages", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hub_messages)),
     METH_VARARGS | METH_KEYWORDS,
     "messages(identities=None, timeout=None, *, states=False, capacity=256): an iterator."},
    {"states", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hub_states)),
     METH_VARARGS | METH_KEYWORDS, "states(timeout=None, *, capacity=256): an iterator."},
    {"subscribe", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hub_subscribe)),
     METH_VARARGS | METH_KEYWORDS,
     "subscribe(callback, identities=None, *, states=False, capacity=256) -> Subscription."},
    {"frames", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hub_frames)),
     METH_VARARGS | METH_KEYWORDS,
     "frames(kinds=None, timeout=None, *, capacity=256): (kind, rx_time, bytes) iterator."},
    {"wait_async", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hub_wait_async)),
     METH_VARARGS | METH_KEYWORDS, "wait_async(timeout=None): awaitable wait()."},
    {"messages_async",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hub_messages_async)),
     METH_VARARGS | METH_KEYWORDS,
     "messages_async(identities=None, timeout=None, *, states=False, capacity=256): an async "
     "iterator."},
};

PyGetSetDef hub_getset[] = {
    {"state", hub_get_state, nullptr,
     "\"live\", \"stale\" or \"stopped\": the receiver's reader as the hub last heard of it.",
     nullptr},
    {"latest", hub_get_latest, nullptr, "The last accepted message, or None.", nullptr},
    {"receiver", hub_get_receiver, nullptr, "The receiver attached to, or None once closed.",
     nullptr},
    {"closed", hub_get_closed, nullptr, "True once close() has run.", nullptr},
    {"dropped", hub_get_dropped, nullptr,
     "Items the hub's queues lost, oldest first, while their hosts fell behind.", nullptr},
};

// The type's tables: the hub's rows, then each service's, then the sentinel. Made once per
// process; every module object's type points into them.
template <class Row, std::size_t N, class... Extra>
std::vector<Row> merged(const Row (&own)[N], Extra... extra) {
    std::vector<Row> rows(std::begin(own), std::end(own));
    (rows.insert(rows.end(), extra.begin(), extra.end()), ...);
    rows.push_back(Row{});
    return rows;
}

PyMethodDef* method_table() {
    static std::vector<PyMethodDef> rows =
        merged(hub_methods, gpsd_rows().methods, timefeed_rows().methods, ntrip_rows().methods);
    return rows.data();
}

PyGetSetDef* getset_table() {
    static std::vector<PyGetSetDef> rows =
        merged(hub_getset, gpsd_rows().getset, timefeed_rows().getset, ntrip_rows().getset);
    return rows.data();
}

PyMemberDef hub_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(HubObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot hub_slots[] = {
    {Py_tp_doc, const_cast<char*>("The hub of one receiver; zq_hub.attach(receiver) makes it.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(hub_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(hub_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(hub_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(hub_repr)},
    {Py_tp_methods, nullptr},  // method_table()
    {Py_tp_getset, nullptr},   // getset_table()
    {Py_tp_members, hub_members},
    {0, nullptr},
};

PyType_Spec hub_spec = {
    "zq_hub.Hub",
    sizeof(HubObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    hub_slots,
};

}  // namespace

double monotonic_now() {
    return clock_seconds(CLOCK_MONOTONIC);
}

double realtime_now() {
    return clock_seconds(CLOCK_REALTIME);
}

ModuleState* state_of(PyTypeObject* type) {
    return static_cast<ModuleState*>(PyType_GetModuleState(type));
}

PyObject* create_hub_type(PyObject* module) {
    for (PyType_Slot* slot = hub_slots; slot->slot != 0; ++slot) {
        if (slot->slot == Py_tp_methods) slot->pfunc = method_table();
        if (slot->slot == Py_tp_getset) slot->pfunc = getset_table();
    }
    return PyType_FromModuleAndSpec(module, &hub_spec, nullptr);
}

HubObject* hub_for(PyObject* receiver) {
    for (HubObject* h : registry())
        if (h->receiver == receiver) return h;
    return nullptr;
}

PyObject* attach(PyObject* module, PyObject* receiver) {
    if (HubObject* h = hub_for(receiver)) return Py_NewRef(reinterpret_cast<PyObject*>(h));
    if (!is_receiver(receiver)) {
        PyErr_Format(PyExc_TypeError, "attach() takes a zq_gps receiver, not %.100s",
                     Py_TYPE(receiver)->tp_name);
        return nullptr;
    }
    // From the module's state, not its attribute, which a host may replace.
    auto* st = static_cast<ModuleState*>(PyModule_GetState(module));
    if (!st || !st->hub_type) {
        PyErr_SetString(PyExc_RuntimeError, "attach(): the zq_hub module is not set up");
        return nullptr;
    }
    auto* tp = reinterpret_cast<PyTypeObject*>(st->hub_type);
    Ref self = Ref::steal(tp->tp_alloc(tp, 0));
    if (!self) return nullptr;
    HubObject* h = as_hub(self.get());
    h->core = new (std::nothrow) HubCore;
    if (!h->core) return PyErr_NoMemory();
    h->sink = make_sink(h->core->hub);
    if (!h->sink) return nullptr;
    registry().push_back(h);
    h->receiver = Py_NewRef(receiver);
    Py_INCREF(self.get());  // the registry's reference
    // A reader already running is tapped at its next pass.
    return self.release();
}

void close_all() {
    while (!registry().empty()) {
        Ref h = Ref::borrow(reinterpret_cast<PyObject*>(registry().back()));
        Ref done = Ref::steal(hub_close(h.get(), nullptr));
        if (!done) PyErr_Clear();
    }
}

// ---------------------------------------------------------------------------------------------
// What the reader loop's notifications do

void on_pass_begin(HubObject* h, PyObject* ubr) {
    h->core->reader = PyThread_get_thread_ident();
    if (ubr != h->tapped) {
        untap(h);
        h->tapped = Py_NewRef(ubr);
        h->native_tap = set_tap(ubr, h->sink);
        note_device(h);
        port_follow(h, h->receiver);
    }
    if (h->core->hub->tap().state() == State::stopped) change_state(h, State::stale);
}

void on_message_read(HubObject* h, PyObject* raw, PyObject* msg) {
    feed_read(h, raw, msg);
    // A stand-in reader: the frames it returns are what the tap gets.
    if (h->native_tap || !PyBytes_Check(raw)) return;
    const auto* p = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(raw));
    const auto n = static_cast<std::size_t>(PyBytes_GET_SIZE(raw));
    try {
        h->core->hub->tap().publish_frame({p, n}, monotonic_now(), realtime_now());
    } catch (const std::exception&) {
    }
}

void on_accepted(HubObject* h, PyObject* msg) {
    Py_XSETREF(h->latest, Py_NewRef(msg));
    feed_accepted(h, msg);
}

void on_state(HubObject* h, zq_hub_abi::LoopState s) {
    auto& tap = h->core->hub->tap();
    if (s == zq_hub_abi::LoopState::stopped) {
        port_stopped(h);
        tap.end_of_stream(monotonic_now(), realtime_now());
        change_state(h, State::stopped);
    } else if (s == zq_hub_abi::LoopState::stale) {
        change_state(h, State::stale);
    }
}

void on_write_begin(HubObject* h) {
    port_write_begin(h);
}

void on_write_end(HubObject* h) {
    port_write_end(h);
}

}  // namespace zq_hub
