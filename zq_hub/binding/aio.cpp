// The hub for hosts built on asyncio: wait_async() and messages_async() hand out futures of the
// running loop, completed from a reader callback on the queue's eventfd (loop.add_reader), so
// no task polls and the loop sleeps until the reader queues something.
#include <new>

#include "feed.hpp"
#include "pyref.hpp"

namespace zq_hub {
namespace {

// One future being completed: of one wait_async() call, or of one step of an async iteration.
struct PendingObject {
    PyObject_HEAD PyObject* hub;
    PyObject* owner;  // the AsyncMessages iterating, or NULL: a one-shot queue of wait_async
    PyObject* loop;
    PyObject* future;  // NULL once settled and cleaned up
    PyObject* timer;   // the loop's TimerHandle of the timeout, or NULL
    std::shared_ptr<Feed>* feed;
    int fd;
    bool reader;  // loop.add_reader in place
};

struct AsyncMessagesObject {
    PyObject_HEAD PyObject* hub;
    std::shared_ptr<Feed>* feed;  // nullptr once ended
    PyObject* pending;            // the step in progress, or NULL
    std::optional<double> timeout;
    uint64_t dropped;  // once ended
};

void async_end(AsyncMessagesObject* it) {
    end_held_feed(as_hub(it->hub), &it->feed, &it->dropped);
}

// Removes the reader and the timer and lets go of the future (GIL held). Idempotent.
void pending_cleanup(PendingObject* p) {
    if (p->reader) {
        p->reader = false;
        Ref fd = Ref::steal(PyLong_FromLong(p->fd));
        Ref done =
            fd ? Ref::steal(PyObject_CallMethod(p->loop, "remove_reader", "O", fd.get())) : Ref{};
        if (!done) PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(p));
    }
    if (p->timer) {
        Ref done = Ref::steal(PyObject_CallMethod(p->timer, "cancel", nullptr));
        if (!done) PyErr_Clear();
        Py_CLEAR(p->timer);
    }
    if (p->feed) {
        std::shared_ptr<Feed> f = std::move(*p->feed);
        delete p->feed;
        p->feed = nullptr;
        if (!p->owner) close_feed(as_hub(p->hub), f);
    }
    if (p->owner) {
        auto* it = reinterpret_cast<AsyncMessagesObject*>(p->owner);
        if (it->pending == reinterpret_cast<PyObject*>(p)) Py_CLEAR(it->pending);
        Py_CLEAR(p->owner);
    }
    Py_CLEAR(p->future);
}

bool future_done(PyObject* fut) {
    Ref done = Ref::steal(PyObject_CallMethod(fut, "done", nullptr));
    const int truth = done ? PyObject_IsTrue(done.get()) : -1;
    if (truth < 0) PyErr_Clear();
    return truth != 0;
}

// Settles the future with ITEM (stolen), or with the end when ITEM is NULL: None for a wait,
// StopAsyncIteration for an iteration (which then stays ended).
void pending_settle(PendingObject* p, PyObject* item) {
    Ref owned = Ref::steal(item);
    Ref fut = Ref::borrow(p->future);
    if (!item && p->owner) async_end(reinterpret_cast<AsyncMessagesObject*>(p->owner));
    Ref done;
    if (item) {
        done = Ref::steal(PyObject_CallMethod(fut.get(), "set_result", "O", item));
    } else if (p->owner) {
        done = Ref::steal(
            PyObject_CallMethod(fut.get(), "set_exception", "O", PyExc_StopAsyncIteration));
    } else {
        done = Ref::steal(PyObject_CallMethod(fut.get(), "set_result", "O", Py_None));
    }
    if (!done) PyErr_WriteUnraisable(fut.get());
    pending_cleanup(p);
}

// Takes what the queue has: settles on an item or on the queue's end; false when neither.
bool pending_try(PendingObject* p) {
    if (!p->future || !p->feed) return true;
    if (future_done(p->future)) {
        pending_cleanup(p);
        return true;
    }
    std::shared_ptr<Feed> f = *p->feed;
    if (std::optional<PyObject*> v = f->box.try_pop()) {
        pending_settle(p, *v);
        return true;
    }
    if (f->box.finished()) {
        pending_settle(p, nullptr);
        return true;
    }
    return false;
}

PyObject* pending_ready(PyObject* self, PyObject*) {
    pending_try(reinterpret_cast<PendingObject*>(self));
    Py_RETURN_NONE;
}

PyObject* pending_timeout(PyObject* self, PyObject*) {
    auto* p = reinterpret_cast<PendingObject*>(self);
    Py_CLEAR(p->timer);
    if (!pending_try(p)) pending_settle(p, nullptr);
    Py_RETURN_NONE;
}

PyObject* pending_done(PyObject* self, PyObject*) {
    pending_cleanup(reinterpret_cast<PendingObject*>(self));
    Py_RETURN_NONE;
}

int pending_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* p = reinterpret_cast<PendingObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(p->hub);
    Py_VISIT(p->owner);
    Py_VISIT(p->loop);
    Py_VISIT(p->future);
    Py_VISIT(p->timer);
    return 0;
}

int pending_clear(PyObject* self) {
    auto* p = reinterpret_cast<PendingObject*>(self);
    if (p->feed) {
        std::shared_ptr<Feed> f = std::move(*p->feed);
        delete p->feed;
        p->feed = nullptr;
        if (!p->owner && p->hub) close_feed(as_hub(p->hub), f);
    }
    Py_CLEAR(p->owner);
    Py_CLEAR(p->loop);
    Py_CLEAR(p->future);
    Py_CLEAR(p->timer);
    Py_CLEAR(p->hub);
    return 0;
}

void pending_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    pending_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyMethodDef pending_methods[] = {
    {"_ready", pending_ready, METH_NOARGS, nullptr},
    {"_timeout", pending_timeout, METH_NOARGS, nullptr},
    {"_done", pending_done, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot pending_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(pending_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(pending_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(pending_clear)},
    {Py_tp_methods, pending_methods},
    {0, nullptr},
};

PyType_Spec pending_spec = {
    "zq_hub._Pending",
    sizeof(PendingObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    pending_slots,
};

Ref running_loop() {
    Ref asyncio = Ref::steal(PyImport_ImportModule("asyncio"));
    return asyncio ? Ref::steal(PyObject_CallMethod(asyncio.get(), "get_running_loop", nullptr))
                   : Ref{};
}

// A future of the running loop, settled from FEED: at once when it has an item or has ended,
// else from the loop's reader on its eventfd or from the timeout. OWNER: the iteration, or
// NULL (FEED is then this future's own, closed once it settles). A new reference, or NULL.
PyObject* start_pending(HubObject* h, PyObject* owner, std::shared_ptr<Feed> feed,
                        std::optional<double> timeout) {
    Ref loop = running_loop();
    if (!loop) {
        if (!owner) close_feed(h, feed);
        return nullptr;
    }
    Ref fut = Ref::steal(PyObject_CallMethod(loop.get(), "create_future", nullptr));
    auto* tp = reinterpret_cast<PyTypeObject*>(state_of(Py_TYPE(h))->pending_type);
    Ref self = fut ? Ref::steal(tp->tp_alloc(tp, 0)) : Ref{};
    if (!self) {
        if (!owner) close_feed(h, feed);
        return nullptr;
    }
    auto* p = reinterpret_cast<PendingObject*>(self.get());
    p->hub = Py_NewRef(reinterpret_cast<PyObject*>(h));
    p->owner = Py_XNewRef(owner);
    p->loop = Py_NewRef(loop.get());
    p->future = Py_NewRef(fut.get());
    p->fd = feed->box.fd();
    p->feed = new (std::nothrow) std::shared_ptr<Feed>(feed);
    if (!p->feed) {
        if (!owner) close_feed(h, feed);
        return PyErr_NoMemory();
    }
    if (owner) {
        auto* it = reinterpret_cast<AsyncMessagesObject*>(owner);
        Py_XSETREF(it->pending, Py_NewRef(self.get()));
    }
    if (pending_try(p)) return fut.release();

    Ref ready = Ref::steal(PyObject_GetAttrString(self.get(), "_ready"));
    Ref fd = ready ? Ref::steal(PyLong_FromLong(p->fd)) : Ref{};
    Ref added =
        fd ? Ref::steal(PyObject_CallMethod(loop.get(), "add_reader", "OO", fd.get(), ready.get()))
           : Ref{};
    if (!added) {
        pending_cleanup(p);
        return nullptr;
    }
    p->reader = true;
    if (timeout) {
        Ref on_timeout = Ref::steal(PyObject_GetAttrString(self.get(), "_timeout"));
        p->timer = on_timeout ? PyObject_CallMethod(loop.get(), "call_later", "dO", *timeout,
                                                    on_timeout.get())
                              : nullptr;
        if (!p->timer) {
            pending_cleanup(p);
            return nullptr;
        }
    }
    Ref on_done = Ref::steal(PyObject_GetAttrString(self.get(), "_done"));
    Ref hooked =
        on_done
            ? Ref::steal(PyObject_CallMethod(fut.get(), "add_done_callback", "O", on_done.get()))
            : Ref{};
    if (!hooked) {
        pending_cleanup(p);
        return nullptr;
    }
    return fut.release();
}

// ---------------------------------------------------------------------------------------------
// AsyncMessages

int async_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* it = reinterpret_cast<AsyncMessagesObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(it->hub);
    Py_VISIT(it->pending);
    return 0;
}

int async_clear(PyObject* self) {
    auto* it = reinterpret_cast<AsyncMessagesObject*>(self);
    if (it->hub) async_end(it);
    Py_CLEAR(it->pending);
    Py_CLEAR(it->hub);
    return 0;
}

void async_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    async_clear(self);
    reinterpret_cast<AsyncMessagesObject*>(self)->timeout.~optional();
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* async_anext(PyObject* self) {
    auto* it = reinterpret_cast<AsyncMessagesObject*>(self);
    if (!it->feed) {
        PyErr_SetNone(PyExc_StopAsyncIteration);
        return nullptr;
    }
    if (it->pending) {
        PyErr_SetString(PyExc_RuntimeError,
                        "anext(): the previous step of this iteration is still awaited");
        return nullptr;
    }
    return start_pending(as_hub(it->hub), self, *it->feed, it->timeout);
}

PyObject* async_close(PyObject* self, PyObject*) {
    auto* it = reinterpret_cast<AsyncMessagesObject*>(self);
    async_end(it);
    if (it->pending) {
        // The step awaited now ends the iteration.
        Ref p = Ref::borrow(it->pending);
        pending_try(reinterpret_cast<PendingObject*>(p.get()));
    }
    Py_RETURN_NONE;
}

PyObject* async_get_dropped(PyObject* self, void*) {
    auto* it = reinterpret_cast<AsyncMessagesObject*>(self);
    return PyLong_FromUnsignedLongLong(held_dropped(it->feed, it->dropped));
}

PyObject* async_get_closed(PyObject* self, void*) {
    return PyBool_FromLong(reinterpret_cast<AsyncMessagesObject*>(self)->feed == nullptr);
}

PyMethodDef async_methods[] = {
    {"close", async_close, METH_NOARGS,
     "close(): ends the iteration (a step awaited now ends it) and lets go of its queue."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef async_getset[] = {
    {"dropped", async_get_dropped, nullptr,
     "Items this iteration's queue lost, oldest first, while the host fell behind.", nullptr},
    {"closed", async_get_closed, nullptr, "True once the iteration has ended.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot async_slots[] = {
    {Py_tp_doc, const_cast<char*>("Messages in arrival order for `async for`; "
                                  "Hub.messages_async() makes it.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(async_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(async_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(async_clear)},
    {Py_am_aiter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_am_anext, reinterpret_cast<void*>(async_anext)},
    {Py_tp_methods, async_methods},
    {Py_tp_getset, async_getset},
    {0, nullptr},
};

PyType_Spec async_spec = {
    "zq_hub.AsyncMessages",
    sizeof(AsyncMessagesObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    async_slots,
};

}  // namespace

PyObject* hub_wait_async(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"timeout", nullptr};
    PyObject* timeout = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:wait_async", const_cast<char**>(names),
                                     &timeout))
        return nullptr;
    std::optional<double> seconds;
    if (!parse_timeout(timeout, "wait_async", &seconds)) return nullptr;
    HubObject* h = as_hub(self);
    Selection sel;
    sel.accepted = true;
    std::shared_ptr<Feed> f = open_feed(h, sel, 1, true);
    if (!f) return nullptr;
    return start_pending(h, nullptr, std::move(f), seconds);
}

PyObject* hub_messages_async(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"identities", "timeout", "states", "capacity", nullptr};
    PyObject* identities = Py_None;
    PyObject* timeout = Py_None;
    int states = 0;
    Py_ssize_t capacity = 256;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO$pn:messages_async",
                                     const_cast<char**>(names), &identities, &timeout, &states,
                                     &capacity))
        return nullptr;
    Selection sel;
    std::optional<double> seconds;
    if (!check_capacity(capacity, "messages_async") ||
        !parse_timeout(timeout, "messages_async", &seconds) ||
        !parse_selection(identities, states != 0, "messages_async", &sel))
        return nullptr;
    HubObject* h = as_hub(self);
    auto* tp = reinterpret_cast<PyTypeObject*>(state_of(Py_TYPE(self))->async_messages_type);
    Ref it = Ref::steal(tp->tp_alloc(tp, 0));
    if (!it) return nullptr;
    auto* a = reinterpret_cast<AsyncMessagesObject*>(it.get());
    new (&a->timeout) std::optional<double>(seconds);
    a->hub = Py_NewRef(self);
    std::shared_ptr<Feed> f = open_feed(h, sel, static_cast<std::size_t>(capacity), true);
    if (!f || !hold_feed(h, f, &a->feed)) return nullptr;
    return it.release();
}

bool create_aio_types(PyObject* module, ModuleState* st) {
    st->pending_type = PyType_FromModuleAndSpec(module, &pending_spec, nullptr);
    st->async_messages_type =
        st->pending_type ? PyType_FromModuleAndSpec(module, &async_spec, nullptr) : nullptr;
    return st->async_messages_type &&
           PyModule_AddObjectRef(module, "AsyncMessages", st->async_messages_type) == 0;
}

}  // namespace zq_hub
