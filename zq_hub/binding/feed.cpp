// The host's side of the hub: its queues, the blocking waits and iterators over them, the
// subscriptions' threads, and the Python view of the tap (frames()).
#include "feed.hpp"

#include <poll.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <new>

#include "pyref.hpp"

namespace zq_hub {
namespace {

using zq::hub::State;
using ns = std::chrono::nanoseconds;

// A waiter on the main thread with no descriptor to wait on (the tap's frames()) looks at
// signals this often; one that waits on its queue's eventfd is woken by the signal itself and
// looks this often only as a safety net.
constexpr auto kSignalSlice = std::chrono::milliseconds(50);
constexpr auto kSignalNet = std::chrono::seconds(1);
// A timeout longer than this is no timeout (and no overflow of the clock's arithmetic).
constexpr double kLongestTimeout = 1e9;
// How long close() waits for subscriptions' callbacks that are still running.
constexpr auto kCloseGrace = std::chrono::seconds(2);
constexpr Py_ssize_t kMaxCapacity = 1 << 20;
constexpr Py_ssize_t kDefaultCapacity = 256;

ModuleState* hub_state(HubObject* h) {
    return state_of(Py_TYPE(reinterpret_cast<PyObject*>(h)));
}

bool hub_closed(HubObject* h) {
    return !h->receiver || h->core->hub->closed();
}

// A wait on the receiver's reader thread (a stand-in or a logger of the host's that calls the
// hub while the reader runs it) would wait for the reader itself: refused, so the reader
// counts a failure and goes on instead of hanging.
bool refuse_reader_wait(HubObject* h, std::optional<double> timeout, const char* fn) {
    if (timeout && *timeout <= 0) return false;
    if (!h->receiver || h->core->reader != PyThread_get_thread_ident()) return false;
    PyErr_Format(PyExc_RuntimeError,
                 "%s(): called on the receiver's reader thread, which it would wait for", fn);
    return true;
}

void deliver(const std::shared_ptr<Feed>& f, PyObject* obj, std::vector<PyObject*>& released) {
    Py_INCREF(obj);
    if (std::optional<PyObject*> back = f->box.push(obj)) released.push_back(*back);
}

void release(std::vector<PyObject*>& released) {
    for (PyObject* o : released)
        Py_DECREF(o);
    released.clear();
}

// The class/id key of a frame as the reader returned it, when RAW is one.
std::optional<uint16_t> frame_key(PyObject* raw) {
    if (!PyBytes_Check(raw) || PyBytes_GET_SIZE(raw) < 4) return std::nullopt;
    const auto* p = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(raw));
    if (p[0] != 0xB5 || p[1] != 0x62) return std::nullopt;
    return static_cast<uint16_t>(p[2] << 8 | p[3]);
}

// Logs the pending error of CALLBACK through the receiver module's logger (`l.error`), as the
// module logs its own errors; to sys.unraisablehook when that logger cannot take it.
void report_callback_error(PyObject* callback) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref t = Ref::steal(type), v = Ref::steal(value), trace = Ref::steal(tb);
    if (v && trace) PyException_SetTraceback(v.get(), trace.get());
    Ref mod = Ref::steal(PyImport_ImportModule("traceback"));
    Ref lines = mod && v
                    ? Ref::steal(PyObject_CallMethod(mod.get(), "format_exception", "O", v.get()))
                    : Ref{};
    Ref empty = lines ? Ref::steal(PyUnicode_FromString("")) : Ref{};
    Ref text = empty ? Ref::steal(PyUnicode_Join(empty.get(), lines.get())) : Ref{};
    if (!text) {
        PyErr_Clear();
        text = Ref::steal(PyUnicode_FromString("(no traceback)"));
    }
    Ref name = Ref::steal(PyObject_Repr(callback));
    if (!name) {
        PyErr_Clear();
        name = Ref::steal(PyUnicode_FromString("callback"));
    }
    Ref record = name && text ? Ref::steal(PyUnicode_FromFormat("zq_hub: callback %U raised: %U",
                                                                name.get(), text.get()))
                              : Ref{};
    Ref gps = record
                  ? Ref::steal(PyImport_GetModule(Ref::steal(PyUnicode_FromString("zq_gps")).get()))
                  : Ref{};
    Ref l = gps ? Ref::steal(PyObject_GetAttrString(gps.get(), "l")) : Ref{};
    Ref done = l ? Ref::steal(PyObject_CallMethod(l.get(), "error", "O", record.get())) : Ref{};
    if (done) return;
    PyErr_Clear();
    if (!v) return;
    PyErr_Restore(t.release(), v.release(), trace.release());
    PyErr_WriteUnraisable(callback);
}

// ---------------------------------------------------------------------------------------------
// Messages: the iterator of messages() and states()

struct MessagesObject {
    PyObject_HEAD PyObject* hub;
    std::shared_ptr<Feed>* feed;  // nullptr once ended
    std::optional<double> timeout;
    uint64_t dropped;  // once ended
};

void messages_end(MessagesObject* it) {
    end_held_feed(as_hub(it->hub), &it->feed, &it->dropped);
}

// The slots and methods Messages and Frames share: T holds the hub and a timeout, END lets go
// of the iteration's queue (idempotent).
template <class T, void (*End)(T*)>
struct IteratorSlots {
    static int traverse(PyObject* self, visitproc visit, void* arg) {
        Py_VISIT(Py_TYPE(self));
        Py_VISIT(reinterpret_cast<T*>(self)->hub);
        return 0;
    }

    static int clear(PyObject* self) {
        auto* it = reinterpret_cast<T*>(self);
        if (it->hub) End(it);
        Py_CLEAR(it->hub);
        return 0;
    }

    static void dealloc(PyObject* self) {
        PyTypeObject* tp = Py_TYPE(self);
        PyObject_GC_UnTrack(self);
        clear(self);
        reinterpret_cast<T*>(self)->timeout.~optional();
        tp->tp_free(self);
        Py_DECREF(tp);
    }

    static PyObject* close(PyObject* self, PyObject*) {
        End(reinterpret_cast<T*>(self));
        Py_RETURN_NONE;
    }

    static PyObject* exit(PyObject* self, PyObject*) {
        End(reinterpret_cast<T*>(self));
        Py_RETURN_FALSE;
    }
};

using MessagesSlots = IteratorSlots<MessagesObject, messages_end>;

PyObject* messages_next(PyObject* self) {
    auto* it = reinterpret_cast<MessagesObject*>(self);
    if (!it->feed) return nullptr;
    if (refuse_reader_wait(as_hub(it->hub), it->timeout, "next")) return nullptr;
    std::shared_ptr<Feed> f = *it->feed;
    PyObject* item = nullptr;
    const int r = host_wait(
        it->timeout,
        [&](std::optional<ns> slice) {
            std::optional<PyObject*> v = f->box.pop(slice);
            if (v) item = *v;
            return v.has_value();
        },
        [&] { return f->box.finished(); }, f->box.fd());
    if (r == 1) return item;
    if (r == 0) messages_end(it);
    return nullptr;
}

PyObject* messages_enter(PyObject* self, PyObject*) {
    return Py_NewRef(self);
}

PyObject* messages_get_dropped(PyObject* self, void*) {
    auto* it = reinterpret_cast<MessagesObject*>(self);
    return PyLong_FromUnsignedLongLong(held_dropped(it->feed, it->dropped));
}

PyObject* messages_get_closed(PyObject* self, void*) {
    return PyBool_FromLong(reinterpret_cast<MessagesObject*>(self)->feed == nullptr);
}

PyMethodDef messages_methods[] = {
    {"close", MessagesSlots::close, METH_NOARGS,
     "close(): ends the iteration and lets go of its queue (what is queued is dropped)."},
    {"__enter__", messages_enter, METH_NOARGS, nullptr},
    {"__exit__", MessagesSlots::exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef messages_getset[] = {
    {"dropped", messages_get_dropped, nullptr,
     "Items this iteration's queue lost, oldest first, while the host fell behind.", nullptr},
    {"closed", messages_get_closed, nullptr, "True once the iteration has ended.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot messages_slots[] = {
    {Py_tp_doc, const_cast<char*>("Messages (and state changes) in arrival order; "
                                  "Hub.messages() and Hub.states() make it.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(MessagesSlots::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(MessagesSlots::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(MessagesSlots::clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(messages_next)},
    {Py_tp_methods, messages_methods},
    {Py_tp_getset, messages_getset},
    {0, nullptr},
};

PyType_Spec messages_spec = {
    "zq_hub.Messages",
    sizeof(MessagesObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    messages_slots,
};

PyObject* new_messages(HubObject* h, const Selection& sel, std::optional<double> timeout,
                       Py_ssize_t capacity) {
    auto* tp = reinterpret_cast<PyTypeObject*>(hub_state(h)->messages_type);
    Ref self = Ref::steal(tp->tp_alloc(tp, 0));
    if (!self) return nullptr;
    auto* it = reinterpret_cast<MessagesObject*>(self.get());
    new (&it->timeout) std::optional<double>(timeout);
    it->hub = Py_NewRef(reinterpret_cast<PyObject*>(h));
    // With an eventfd, so that next() on the main thread is ended by a signal (see host_wait).
    std::shared_ptr<Feed> f = open_feed(h, sel, static_cast<std::size_t>(capacity), true);
    if (!f || !hold_feed(h, f, &it->feed)) return nullptr;
    return self.release();
}

// ---------------------------------------------------------------------------------------------
// Frames: the tap as the host sees it

const char* kind_name(zq::hub::Kind k) {
    switch (k) {
        case zq::hub::Kind::ubx:
            return "ubx";
        case zq::hub::Kind::nmea:
            return "nmea";
        case zq::hub::Kind::rtcm3:
            return "rtcm3";
        case zq::hub::Kind::other:
            return "other";
        case zq::hub::Kind::state:
            break;
    }
    return "state";
}

struct FramesObject {
    PyObject_HEAD PyObject* hub;
    std::shared_ptr<zq::hub::Consumer>* consumer;  // nullptr once ended
    std::optional<double> timeout;
    uint64_t dropped;  // once ended
};

void frames_end(FramesObject* it) {
    if (!it->consumer) return;
    std::shared_ptr<zq::hub::Consumer> c = std::move(*it->consumer);
    it->dropped = c->dropped();
    delete it->consumer;
    it->consumer = nullptr;
    HubCore* core = as_hub(it->hub)->core;
    core->retired_dropped += c->dropped();
    std::erase(core->frames, c);
    core->hub->tap().unsubscribe(c);
}

using FramesSlots = IteratorSlots<FramesObject, frames_end>;

PyObject* frames_next(PyObject* self) {
    auto* it = reinterpret_cast<FramesObject*>(self);
    if (!it->consumer) return nullptr;
    if (refuse_reader_wait(as_hub(it->hub), it->timeout, "next")) return nullptr;
    std::shared_ptr<zq::hub::Consumer> c = *it->consumer;
    zq::hub::ItemPtr item;
    const int r = host_wait(
        it->timeout,
        [&](std::optional<ns> slice) {
            item = c->pop(slice);
            return item != nullptr;
        },
        [&] { return c->closed() && c->size() == 0; });
    if (r == 0) frames_end(it);
    if (r != 1) return nullptr;
    Ref kind = Ref::steal(PyUnicode_InternFromString(kind_name(item->kind)));
    Ref when = kind ? Ref::steal(PyFloat_FromDouble(item->rx_mono)) : Ref{};
    Ref bytes = when ? Ref::steal(PyBytes_FromStringAndSize(
                           reinterpret_cast<const char*>(item->bytes.data()),
                           static_cast<Py_ssize_t>(item->bytes.size())))
                     : Ref{};
    return bytes ? PyTuple_Pack(3, kind.get(), when.get(), bytes.get()) : nullptr;
}

PyObject* frames_get_dropped(PyObject* self, void*) {
    auto* it = reinterpret_cast<FramesObject*>(self);
    return PyLong_FromUnsignedLongLong(it->consumer ? (*it->consumer)->dropped() : it->dropped);
}

PyObject* frames_get_closed(PyObject* self, void*) {
    return PyBool_FromLong(reinterpret_cast<FramesObject*>(self)->consumer == nullptr);
}

PyMethodDef frames_methods[] = {
    {"close", FramesSlots::close, METH_NOARGS, "close(): ends the iteration."},
    {"__enter__", messages_enter, METH_NOARGS, nullptr},
    {"__exit__", FramesSlots::exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef frames_getset[] = {
    {"dropped", frames_get_dropped, nullptr, "Frames this iteration's queue lost, oldest first.",
     nullptr},
    {"closed", frames_get_closed, nullptr, "True once the iteration has ended.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot frames_slots[] = {
    {Py_tp_doc, const_cast<char*>("(kind, rx_time, bytes) of every frame the reader takes; "
                                  "Hub.frames() makes it.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(FramesSlots::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(FramesSlots::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(FramesSlots::clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(frames_next)},
    {Py_tp_methods, frames_methods},
    {Py_tp_getset, frames_getset},
    {0, nullptr},
};

PyType_Spec frames_spec = {
    "zq_hub.Frames",
    sizeof(FramesObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    frames_slots,
};

// KINDS: None (every kind of bytes) or an iterable of "ubx", "nmea", "rtcm3", "other".
bool parse_kinds(PyObject* kinds, zq::hub::Interest* out) {
    out->state = false;
    if (kinds == Py_None) {
        out->ubx = out->nmea = out->rtcm3 = out->other = true;
        return true;
    }
    out->ubx = false;
    if (PyUnicode_Check(kinds)) {
        PyErr_SetString(PyExc_TypeError,
                        "frames(): kinds must be an iterable of kind names, not one str");
        return false;
    }
    Ref iter = Ref::steal(PyObject_GetIter(kinds));
    if (!iter) return false;
    bool any = false;
    while (Ref k = Ref::steal(PyIter_Next(iter.get()))) {
        const char* s = PyUnicode_Check(k.get()) ? PyUnicode_AsUTF8(k.get()) : nullptr;
        if (!s) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_TypeError, "frames(): a kind is a str, not %.100s",
                             Py_TYPE(k.get())->tp_name);
            return false;
        }
        const std::string_view name(s);
        if (name == "ubx") {
            out->ubx = true;
        } else if (name == "nmea") {
            out->nmea = true;
        } else if (name == "rtcm3") {
            out->rtcm3 = true;
        } else if (name == "other") {
            out->other = true;
        } else {
            PyErr_Format(PyExc_ValueError,
                         "frames(): unknown kind %R (kinds: 'ubx', 'nmea', 'rtcm3', 'other')",
                         k.get());
            return false;
        }
        any = true;
    }
    if (PyErr_Occurred()) return false;
    if (!any) {
        PyErr_SetString(PyExc_ValueError, "frames(): kinds names none");
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Subscription: a callback on a thread of its own

struct SubscriptionObject {
    PyObject_HEAD PyObject* hub;
    std::shared_ptr<Worker>* worker;
};

// Marks the worker's end on every way out of its loop, the thread's end at exit included (no
// interpreter here).
struct DoneMark {
    Worker& w;
    ~DoneMark() {
        {
            std::lock_guard lock(w.mu);
            w.done = true;
        }
        w.cv.notify_all();
    }
};

// The thread: takes each item without the GIL, then calls back with it. A callback that raises
// is logged and the subscription goes on; one that blocks holds up only this queue.
PYREF_PASSES_UNWIND void worker_main(std::shared_ptr<Worker> w) {
    DoneMark mark{*w};
    try {
        for (;;) {
            std::optional<PyObject*> item = w->feed->box.pop();
            if (!item) break;
            PyObject* obj = *item;
            const bool ran = pyref::with_gil([&] {
                Ref owned = Ref::steal(obj);
                if (!w->callback) return;  // cancelled meanwhile: none starts after cancel()
                Ref cb = Ref::borrow(w->callback);
                Ref r = Ref::steal(PyObject_CallOneArg(cb.get(), owned.get()));
                if (!r) report_callback_error(cb.get());
            });
            if (!ran) break;
        }
    } catch (const std::exception&) {
        // Out of memory in the interpreter's thread state: this subscription ends.
    }
}

// Stops W's callbacks (GIL held): none starts after this returns.
void worker_cancel(HubObject* h, const std::shared_ptr<Worker>& w) {
    Py_CLEAR(w->callback);
    close_feed(h, w->feed);
}

// Joins the workers of H that have ended (GIL held; each join is of a thread past its loop).
void reap_workers(HubObject* h) {
    auto& ws = h->core->workers;
    for (auto it = ws.begin(); it != ws.end();) {
        std::shared_ptr<Worker> w = *it;
        bool done;
        {
            std::lock_guard lock(w->mu);
            done = w->done;
        }
        if (!done) {
            ++it;
            continue;
        }
        it = ws.erase(it);
        if (w->thread.joinable()) {
            if (w->id == std::this_thread::get_id()) {
                w->thread.detach();
            } else {
                pyref::without_gil([&] { w->thread.join(); });
            }
        }
    }
}

int subscription_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<SubscriptionObject*>(self)->hub);
    return 0;
}

int subscription_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<SubscriptionObject*>(self)->hub);
    return 0;
}

void subscription_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    subscription_clear(self);
    delete reinterpret_cast<SubscriptionObject*>(self)->worker;
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* subscription_cancel(PyObject* self, PyObject*) {
    auto* s = reinterpret_cast<SubscriptionObject*>(self);
    if (s->hub && s->worker) {
        worker_cancel(as_hub(s->hub), *s->worker);
        reap_workers(as_hub(s->hub));
    }
    Py_RETURN_NONE;
}

PyObject* subscription_exit(PyObject* self, PyObject*) {
    Ref done = Ref::steal(subscription_cancel(self, nullptr));
    if (!done) return nullptr;
    Py_RETURN_FALSE;
}

PyObject* subscription_get_active(PyObject* self, void*) {
    auto* s = reinterpret_cast<SubscriptionObject*>(self);
    return PyBool_FromLong(s->worker && (*s->worker)->callback != nullptr);
}

PyObject* subscription_get_dropped(PyObject* self, void*) {
    auto* s = reinterpret_cast<SubscriptionObject*>(self);
    return PyLong_FromUnsignedLongLong(s->worker ? (*s->worker)->feed->box.dropped() : 0);
}

PyObject* subscription_get_callback(PyObject* self, void*) {
    auto* s = reinterpret_cast<SubscriptionObject*>(self);
    PyObject* cb = s->worker ? (*s->worker)->callback : nullptr;
    return Py_NewRef(cb ? cb : Py_None);
}

PyMethodDef subscription_methods[] = {
    {"cancel", subscription_cancel, METH_NOARGS,
     "cancel(): no callback starts after this returns (one running now finishes); what is "
     "queued is dropped. Never waits for the callback; idempotent."},
    {"__enter__", messages_enter, METH_NOARGS, nullptr},
    {"__exit__", subscription_exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef subscription_getset[] = {
    {"active", subscription_get_active, nullptr, "False once cancelled or the hub closed.",
     nullptr},
    {"dropped", subscription_get_dropped, nullptr,
     "Items this subscription's queue lost while its callback fell behind.", nullptr},
    {"callback", subscription_get_callback, nullptr, "The callback, or None once cancelled.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot subscription_slots[] = {
    {Py_tp_doc, const_cast<char*>("A callback the hub calls on a thread of its own; "
                                  "Hub.subscribe() makes it.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(subscription_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(subscription_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(subscription_clear)},
    {Py_tp_methods, subscription_methods},
    {Py_tp_getset, subscription_getset},
    {0, nullptr},
};

PyType_Spec subscription_spec = {
    "zq_hub.Subscription",
    sizeof(SubscriptionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    subscription_slots,
};

// ---------------------------------------------------------------------------------------------
// Argument helpers

// (identities=None, timeout=None, *, states=False, capacity=256), as messages() takes them.
struct QueueArgs {
    PyObject* identities = Py_None;
    PyObject* timeout = Py_None;
    int states = 0;
    Py_ssize_t capacity = kDefaultCapacity;
    Selection sel;
    std::optional<double> seconds;
};

bool parse_queue_args(PyObject* args, PyObject* kwargs, const char* fn, QueueArgs* a) {
    static const char* names[] = {"identities", "timeout", "states", "capacity", nullptr};
    const std::string format = std::string("|OO$pn:") + fn;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), const_cast<char**>(names),
                                     &a->identities, &a->timeout, &a->states, &a->capacity))
        return false;
    return check_capacity(a->capacity, fn) && parse_timeout(a->timeout, fn, &a->seconds) &&
           parse_selection(a->identities, a->states != 0, fn, &a->sel);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Queues

bool parse_selection(PyObject* identities, bool states, const char* fn, Selection* out) {
    out->states = states;
    if (identities == Py_None) {
        out->accepted = true;
        return true;
    }
    Ref iter;
    Ref one;
    if (PyUnicode_Check(identities)) {
        one = Ref::steal(PyTuple_Pack(1, identities));
        if (!one) return false;
        iter = Ref::steal(PyObject_GetIter(one.get()));
    } else {
        iter = Ref::steal(PyObject_GetIter(identities));
    }
    if (!iter) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Format(PyExc_TypeError,
                         "%s(): identities must be None, a str or an iterable of str, not %.100s",
                         fn, Py_TYPE(identities)->tp_name);
        }
        return false;
    }
    while (Ref name = Ref::steal(PyIter_Next(iter.get()))) {
        if (!PyUnicode_Check(name.get())) {
            PyErr_Format(PyExc_TypeError,
                         "%s(): an identity is a str such as 'NAV-SAT', not %.100s", fn,
                         Py_TYPE(name.get())->tp_name);
            return false;
        }
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(name.get(), &n);
        if (!s) return false;
        const std::string_view text(s, static_cast<std::size_t>(n));
        const std::optional<uint16_t> key = zq::hub::key_of(text);
        if (!key) {
            PyErr_Format(PyExc_ValueError, "%s(): no message has the identity %R", fn, name.get());
            return false;
        }
        if (std::find(out->keys.begin(), out->keys.end(), *key) == out->keys.end()) {
            if (out->keys.size() >= 256) {
                PyErr_Format(PyExc_ValueError, "%s(): more than 256 identities", fn);
                return false;
            }
            out->keys.push_back(*key);
            out->names.emplace_back(text);
        }
    }
    if (PyErr_Occurred()) return false;
    if (out->keys.empty() && !out->states) {
        PyErr_Format(PyExc_ValueError, "%s(): identities names no message and states is False", fn);
        return false;
    }
    return true;
}

bool parse_timeout(PyObject* timeout, const char* fn, std::optional<double>* out) {
    if (timeout == Py_None) {
        *out = std::nullopt;
        return true;
    }
    if (!PyFloat_Check(timeout) && !PyLong_Check(timeout)) {
        PyErr_Format(PyExc_TypeError,
                     "%s(): timeout must be None or a number of seconds, not "
                     "%.100s",
                     fn, Py_TYPE(timeout)->tp_name);
        return false;
    }
    const double t = PyFloat_AsDouble(timeout);
    if (t == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
        *out = PyObject_RichCompareBool(timeout, Ref::steal(PyLong_FromLong(0)).get(), Py_GT) == 1
                   ? std::nullopt
                   : std::optional<double>(0.0);
        PyErr_Clear();
        return true;
    }
    if (std::isnan(t)) {
        PyErr_Format(PyExc_ValueError, "%s(): timeout is NaN", fn);
        return false;
    }
    if (t > kLongestTimeout) {
        *out = std::nullopt;
    } else {
        *out = std::max(t, 0.0);
    }
    return true;
}

bool check_capacity(Py_ssize_t capacity, const char* fn) {
    if (capacity >= 1 && capacity <= kMaxCapacity) return true;
    PyErr_Format(PyExc_ValueError, "%s(): capacity must be 1 to %zd, not %zd", fn, kMaxCapacity,
                 capacity);
    return false;
}

std::shared_ptr<Feed> open_feed(HubObject* h, const Selection& sel, std::size_t capacity,
                                bool with_fd) {
    std::shared_ptr<Feed> f;
    try {
        f = std::make_shared<Feed>(capacity, with_fd);
        f->keys = sel.keys;
        f->names = sel.names;
        f->accepted = sel.accepted;
        f->states = sel.states;
        if (hub_closed(h)) {
            f->box.close();
        } else {
            h->core->feeds.push_back(f);
            if (!f->keys.empty()) ++h->core->keyed;
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    } catch (const std::system_error& e) {
        PyErr_SetString(PyExc_OSError, e.what());
        return nullptr;
    }
    return f;
}

void release_all(const std::shared_ptr<Feed>& feed) {
    std::deque<PyObject*> left = feed->box.take_all();
    for (PyObject* o : left)
        Py_DECREF(o);
}

bool hold_feed(HubObject* h, const std::shared_ptr<Feed>& feed, std::shared_ptr<Feed>** holder) {
    *holder = new (std::nothrow) std::shared_ptr<Feed>(feed);
    if (*holder) return true;
    close_feed(h, feed);
    PyErr_NoMemory();
    return false;
}

void end_held_feed(HubObject* h, std::shared_ptr<Feed>** holder, uint64_t* dropped) {
    if (!*holder) return;
    std::shared_ptr<Feed> f = std::move(**holder);
    *dropped = f->box.dropped();
    delete *holder;
    *holder = nullptr;
    close_feed(h, f);
}

uint64_t held_dropped(const std::shared_ptr<Feed>* holder, uint64_t dropped) {
    return holder ? (*holder)->box.dropped() : dropped;
}

void close_feed(HubObject* h, const std::shared_ptr<Feed>& feed) {
    if (!feed) return;
    auto& feeds = h->core->feeds;
    const auto it = std::find(feeds.begin(), feeds.end(), feed);
    if (it != feeds.end()) {
        if (!feed->keys.empty()) --h->core->keyed;
        h->core->retired_dropped += feed->box.dropped();
        feeds.erase(it);
    }
    feed->box.close();
    release_all(feed);
}

void feed_read(HubObject* h, PyObject* raw, PyObject* msg) {
    HubCore* core = h->core;
    if (core->keyed == 0) return;
    const std::optional<uint16_t> key = frame_key(raw);
    std::string name;
    if (!key) {
        // A stand-in reader's message: matched by its identity.
        Ref id = Ref::steal(PyObject_GetAttrString(msg, "identity"));
        Py_ssize_t n = 0;
        const char* s =
            id && PyUnicode_Check(id.get()) ? PyUnicode_AsUTF8AndSize(id.get(), &n) : nullptr;
        if (!s) {
            PyErr_Clear();
            return;
        }
        name.assign(s, static_cast<std::size_t>(n));
    }
    std::vector<PyObject*> released;
    for (const auto& f : core->feeds) {
        if (f->keys.empty()) continue;
        const bool wanted =
            key ? std::find(f->keys.begin(), f->keys.end(), *key) != f->keys.end()
                : std::find(f->names.begin(), f->names.end(), name) != f->names.end();
        if (wanted) deliver(f, msg, released);
    }
    release(released);
}

void feed_accepted(HubObject* h, PyObject* msg) {
    change_state(h, State::live);
    std::vector<PyObject*> released;
    for (const auto& f : h->core->feeds)
        if (f->accepted) deliver(f, msg, released);
    release(released);
}

void change_state(HubObject* h, State s) {
    auto& tap = h->core->hub->tap();
    const State before = tap.state();
    tap.publish_state(s, monotonic_now(), realtime_now());
    if (tap.state() == before) return;
    PyObject* name = hub_state(h)->state_names[static_cast<int>(s)];
    std::vector<PyObject*> released;
    for (const auto& f : h->core->feeds)
        if (f->states) deliver(f, name, released);
    release(released);
}

void close_feeds(HubObject* h) {
    HubCore* core = h->core;
    for (const auto& w : core->workers)
        worker_cancel(h, w);
    while (!core->feeds.empty()) {
        std::shared_ptr<Feed> f = core->feeds.back();
        close_feed(h, f);
    }
    for (const auto& c : core->frames) {
        core->retired_dropped += c->dropped();
        c->close();
    }
    core->frames.clear();
    // The callbacks still running may need the GIL to finish.
    std::vector<std::shared_ptr<Worker>> ws;
    ws.swap(core->workers);
    pyref::without_gil([&] {
        const auto deadline = std::chrono::steady_clock::now() + kCloseGrace;
        for (const auto& w : ws) {
            if (w->id == std::this_thread::get_id()) {
                w->thread.detach();  // close() from a callback: the thread ends after it
                continue;
            }
            bool done;
            {
                std::unique_lock lock(w->mu);
                done = w->cv.wait_until(lock, deadline, [&] { return w->done; });
            }
            if (done) {
                w->thread.join();
            } else {
                w->thread.detach();  // a callback that does not return: left to itself
            }
        }
    });
}

namespace {

// The asynchronous signals a main-thread waiter lets interrupt its wait: all but the ones a
// fault raises, which must never be held back.
sigset_t interrupting_signals() {
    sigset_t s;
    sigfillset(&s);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS})
        sigdelset(&s, sig);
    return s;
}

// Waits up to SLICE for FD to become readable, letting the signals blocked in the caller's
// mask OPEN through while it waits (ppoll: a signal that came after the caller last looked is
// delivered here and ends the wait at once).
void wait_readable(int fd, ns slice, const sigset_t* open) {
    pollfd p{fd, POLLIN, 0};
    timespec ts{static_cast<time_t>(slice.count() / 1000000000),
                static_cast<long>(slice.count() % 1000000000)};
    ::ppoll(&p, 1, &ts, open);
}

}  // namespace

int host_wait(std::optional<double> timeout, const PopFn& pop, const std::function<bool()>& done,
              int fd) {
    using clock = std::chrono::steady_clock;
    const bool main = _PyOS_IsMainThread();
    std::optional<clock::time_point> deadline;
    if (timeout) {
        deadline = clock::now() + std::chrono::duration_cast<clock::duration>(
                                      std::chrono::duration<double>(*timeout));
    }
    static const sigset_t interrupting = interrupting_signals();
    for (;;) {
        std::optional<ns> slice;
        if (deadline)
            slice = std::max(ns(0), std::chrono::duration_cast<ns>(*deadline - clock::now()));
        bool got;
        if (main && fd >= 0) {
            // Signals are held back from the check below until ppoll lets them in, so one that
            // arrives in between still ends the wait rather than waiting out the safety net.
            sigset_t before;
            pthread_sigmask(SIG_BLOCK, &interrupting, &before);
            if (PyErr_CheckSignals() < 0) {
                pthread_sigmask(SIG_SETMASK, &before, nullptr);
                return -1;
            }
            const ns net = slice ? std::min<ns>(*slice, kSignalNet) : ns(kSignalNet);
            got = pyref::without_gil([&] {
                if (pop(ns(0))) return true;
                wait_readable(fd, net, &before);
                return pop(ns(0));
            });
            pthread_sigmask(SIG_SETMASK, &before, nullptr);
        } else {
            if (main) slice = slice ? std::min<ns>(*slice, kSignalSlice) : ns(kSignalSlice);
            got = pyref::without_gil([&] { return pop(slice); });
        }
        if (got) return 1;
        if (done()) return 0;
        if (PyErr_CheckSignals() < 0) return -1;
        if (deadline && clock::now() >= *deadline) return 0;
    }
}

// ---------------------------------------------------------------------------------------------
// The Hub's methods

namespace {

// The first item a feed of SEL (CAPACITY deep, opened now) receives within SECONDS, or None;
// the feed is closed again either way.
PyObject* wait_one(HubObject* h, const Selection& sel, std::size_t capacity,
                   std::optional<double> seconds) {
    // On the main thread the wait sleeps on the queue's eventfd, so that a signal ends it.
    std::shared_ptr<Feed> f = open_feed(h, sel, capacity, _PyOS_IsMainThread());
    if (!f) return nullptr;
    PyObject* item = nullptr;
    const int r = host_wait(
        seconds,
        [&](std::optional<ns> slice) {
            std::optional<PyObject*> v = f->box.pop(slice);
            if (v) item = *v;
            return v.has_value();
        },
        [&] { return f->box.finished(); }, f->box.fd());
    close_feed(h, f);
    if (r < 0) return nullptr;
    if (r == 0) Py_RETURN_NONE;
    return item;
}

}  // namespace

PyObject* hub_wait(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"timeout", nullptr};
    PyObject* timeout = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:wait", const_cast<char**>(names), &timeout))
        return nullptr;
    std::optional<double> seconds;
    if (!parse_timeout(timeout, "wait", &seconds)) return nullptr;
    HubObject* h = as_hub(self);
    if (hub_closed(h)) Py_RETURN_NONE;
    if (refuse_reader_wait(h, seconds, "wait")) return nullptr;
    Selection sel;
    sel.accepted = true;
    return wait_one(h, sel, 1, seconds);
}

PyObject* hub_wait_state(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"timeout", "since", nullptr};
    PyObject* timeout = Py_None;
    PyObject* since = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O$O:wait_state", const_cast<char**>(names),
                                     &timeout, &since))
        return nullptr;
    std::optional<double> seconds;
    if (!parse_timeout(timeout, "wait_state", &seconds)) return nullptr;
    HubObject* h = as_hub(self);
    ModuleState* st = hub_state(h);
    PyObject* now = st->state_names[static_cast<int>(h->core->hub->tap().state())];
    if (since != Py_None) {
        bool known = false;
        for (PyObject* n : st->state_names) {
            const int eq = PyUnicode_Check(since) ? PyUnicode_Compare(since, n) == 0 : 0;
            if (PyErr_Occurred()) return nullptr;
            known = known || eq;
        }
        if (!known) {
            PyErr_Format(PyExc_ValueError,
                         "wait_state(): since must be 'live', 'stale', 'stopped' or None, not %R",
                         since);
            return nullptr;
        }
    }
    if (hub_closed(h)) Py_RETURN_NONE;
    if (since != Py_None && PyUnicode_Compare(since, now) != 0) return Py_NewRef(now);
    if (refuse_reader_wait(h, seconds, "wait_state")) return nullptr;
    Selection sel;
    sel.states = true;
    return wait_one(h, sel, 8, seconds);
}

PyObject* hub_messages(PyObject* self, PyObject* args, PyObject* kwargs) {
    QueueArgs a;
    if (!parse_queue_args(args, kwargs, "messages", &a)) return nullptr;
    return new_messages(as_hub(self), a.sel, a.seconds, a.capacity);
}

PyObject* hub_states(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"timeout", "capacity", nullptr};
    PyObject* timeout = Py_None;
    Py_ssize_t capacity = kDefaultCapacity;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O$n:states", const_cast<char**>(names),
                                     &timeout, &capacity))
        return nullptr;
    std::optional<double> seconds;
    if (!check_capacity(capacity, "states") || !parse_timeout(timeout, "states", &seconds))
        return nullptr;
    Selection sel;
    sel.states = true;
    return new_messages(as_hub(self), sel, seconds, capacity);
}

PyObject* hub_subscribe(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"callback", "identities", "states", "capacity", nullptr};
    PyObject* callback = nullptr;
    PyObject* identities = Py_None;
    int states = 0;
    Py_ssize_t capacity = kDefaultCapacity;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O$pn:subscribe", const_cast<char**>(names),
                                     &callback, &identities, &states, &capacity))
        return nullptr;
    if (!PyCallable_Check(callback)) {
        PyErr_Format(PyExc_TypeError, "subscribe(): callback must be callable, not %.100s",
                     Py_TYPE(callback)->tp_name);
        return nullptr;
    }
    Selection sel;
    if (!check_capacity(capacity, "subscribe") ||
        !parse_selection(identities, states != 0, "subscribe", &sel))
        return nullptr;
    HubObject* h = as_hub(self);
    reap_workers(h);
    auto* tp = reinterpret_cast<PyTypeObject*>(hub_state(h)->subscription_type);
    Ref handle = Ref::steal(tp->tp_alloc(tp, 0));
    if (!handle) return nullptr;
    auto* s = reinterpret_cast<SubscriptionObject*>(handle.get());
    s->hub = Py_NewRef(self);
    std::shared_ptr<Feed> f = open_feed(h, sel, static_cast<std::size_t>(capacity), false);
    if (!f) return nullptr;
    try {
        auto w = std::make_shared<Worker>();
        w->feed = f;
        s->worker = new std::shared_ptr<Worker>(w);
        if (!hub_closed(h)) {
            w->callback = Py_NewRef(callback);
            w->thread = std::thread(worker_main, w);
            w->id = w->thread.get_id();
            h->core->workers.push_back(w);
        }
    } catch (const std::bad_alloc&) {
        close_feed(h, f);
        return PyErr_NoMemory();
    } catch (const std::system_error& e) {
        close_feed(h, f);
        if (s->worker) Py_CLEAR((*s->worker)->callback);
        PyErr_Format(PyExc_RuntimeError, "subscribe(): cannot start a thread: %s", e.what());
        return nullptr;
    }
    return handle.release();
}

PyObject* hub_frames(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"kinds", "timeout", "capacity", nullptr};
    PyObject* kinds = Py_None;
    PyObject* timeout = Py_None;
    Py_ssize_t capacity = kDefaultCapacity;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO$n:frames", const_cast<char**>(names),
                                     &kinds, &timeout, &capacity))
        return nullptr;
    zq::hub::Interest interest;
    std::optional<double> seconds;
    if (!check_capacity(capacity, "frames") || !parse_timeout(timeout, "frames", &seconds) ||
        !parse_kinds(kinds, &interest))
        return nullptr;
    HubObject* h = as_hub(self);
    auto* tp = reinterpret_cast<PyTypeObject*>(hub_state(h)->frames_type);
    Ref it = Ref::steal(tp->tp_alloc(tp, 0));
    if (!it) return nullptr;
    auto* f = reinterpret_cast<FramesObject*>(it.get());
    new (&f->timeout) std::optional<double>(seconds);
    f->hub = Py_NewRef(self);
    try {
        std::shared_ptr<zq::hub::Consumer> c =
            h->core->hub->tap().subscribe(std::move(interest), static_cast<std::size_t>(capacity));
        if (hub_closed(h)) {
            c->close();
        } else {
            h->core->frames.push_back(c);
        }
        f->consumer = new std::shared_ptr<zq::hub::Consumer>(std::move(c));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    return it.release();
}

PyObject* hub_get_dropped(PyObject* self, void*) {
    HubCore* core = as_hub(self)->core;
    uint64_t n = core->retired_dropped;
    for (const auto& f : core->feeds)
        n += f->box.dropped();
    for (const auto& c : core->frames)
        n += c->dropped();
    return PyLong_FromUnsignedLongLong(n);
}

bool create_feed_types(PyObject* module, ModuleState* st) {
    st->messages_type = PyType_FromModuleAndSpec(module, &messages_spec, nullptr);
    st->frames_type =
        st->messages_type ? PyType_FromModuleAndSpec(module, &frames_spec, nullptr) : nullptr;
    st->subscription_type =
        st->frames_type ? PyType_FromModuleAndSpec(module, &subscription_spec, nullptr) : nullptr;
    if (!st->subscription_type) return false;
    return PyModule_AddObjectRef(module, "Messages", st->messages_type) == 0 &&
           PyModule_AddObjectRef(module, "Frames", st->frames_type) == 0 &&
           PyModule_AddObjectRef(module, "Subscription", st->subscription_type) == 0;
}

}  // namespace zq_hub
