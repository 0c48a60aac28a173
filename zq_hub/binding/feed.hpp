// What the host waits on: the queues of the hub's waiters, iterators and subscriptions, fed by
// the reader loop's notifications with the message objects the reader made (so a message the
// host gets is the very object the receiver stored, rx_time and all), and the state changes.
// The reader only queues a reference per queue that wants the message; it never waits for a
// host. Every function here is called with the GIL held.
#pragma once

#include <Python.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "../core/mailbox.hpp"
#include "hub.hpp"

namespace zq_hub {

// One host queue. Its items are owned references (messages, or state names); whoever takes
// one out owns it, and takes it out without the GIL only to hand it on with the GIL.
struct Feed {
    Feed(std::size_t capacity, bool with_fd) : box(capacity, with_fd) {}
    zq::hub::Mailbox<PyObject*> box;
    bool accepted = false;           // the accepted messages, once stored
    bool states = false;             // state changes, as "live", "stale", "stopped"
    std::vector<uint16_t> keys;      // messages of these class/id keys, as read
    std::vector<std::string> names;  // the same, by identity (for stand-in readers' messages)
};

// A subscription's thread and what it shares with the Subscription handle.
struct Worker {
    std::shared_ptr<Feed> feed;
    PyObject* callback = nullptr;  // owned; cleared (with the GIL) when cancelled
    std::thread thread;
    std::thread::id id;
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;  // the thread has left its loop
};

// What a host asked for: identities=None (the accepted messages) or a list, and states.
struct Selection {
    bool accepted = false;
    bool states = false;
    std::vector<uint16_t> keys;
    std::vector<std::string> names;
};

// Parses IDENTITIES (None, one name, or an iterable of names) and STATES for function FN;
// false with TypeError or ValueError set.
bool parse_selection(PyObject* identities, bool states, const char* fn, Selection* out);
// TIMEOUT as seconds: None gives nullopt; false with an error set for a bad value.
bool parse_timeout(PyObject* timeout, const char* fn, std::optional<double>* out);
// CAPACITY for a queue: at least 1, at most 1 << 20.
bool check_capacity(Py_ssize_t capacity, const char* fn);

// A new queue registered with H (closed at once when H is closed); nullptr with an error set.
std::shared_ptr<Feed> open_feed(HubObject* h, const Selection& sel, std::size_t capacity,
                                bool with_fd);
// Unregisters and closes FEED, releasing what it still holds. Idempotent.
void close_feed(HubObject* h, const std::shared_ptr<Feed>& feed);
// Releases everything queued in FEED.
void release_all(const std::shared_ptr<Feed>& feed);

// An iterator's queue (messages(), states(), messages_async()) is held in a heap-allocated
// shared_ptr, as the iterator's memory is not C++-constructed; the holder is nullptr once the
// iteration has ended, and the iterator keeps the queue's drop count from then on.
// Sets *HOLDER to FEED; false with MemoryError set (FEED closed) when it cannot be allocated.
bool hold_feed(HubObject* h, const std::shared_ptr<Feed>& feed, std::shared_ptr<Feed>** holder);
// Ends the hold: *DROPPED takes the queue's drops, the holder is freed and FEED closed.
// Idempotent.
void end_held_feed(HubObject* h, std::shared_ptr<Feed>** holder, uint64_t* dropped);
// The drops of a held queue, or DROPPED once the hold has ended.
uint64_t held_dropped(const std::shared_ptr<Feed>* holder, uint64_t dropped);

// The reader's notifications, fanned out to the queues.
void feed_read(HubObject* h, PyObject* raw, PyObject* msg);
void feed_accepted(HubObject* h, PyObject* msg);
// Publishes state S on the tap and, when it changed, to the queues that take states.
void change_state(HubObject* h, zq::hub::State s);

// hub.close(): closes every queue and cancels every subscription (GIL held), then waits a
// little, without the GIL, for the subscriptions' threads.
void close_feeds(HubObject* h);

// Waits for the host with the GIL released: POP(slice) returns true when it got an item.
// On the main thread signals (Ctrl-C) are handled: with FD (readable when an item waits) the
// wait sleeps on it and a signal ends it at once; without, the wait is cut in short slices.
// Returns 1 when an item came, 0 on timeout or when DONE() says nothing more will come,
// -1 with an error set (a signal handler raised).
using PopFn = std::function<bool(std::optional<std::chrono::nanoseconds>)>;
int host_wait(std::optional<double> timeout, const PopFn& pop, const std::function<bool()>& done,
              int fd = -1);

// The Hub's methods and getters of this file and of aio.cpp.
PyObject* hub_wait(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* hub_wait_state(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* hub_messages(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* hub_states(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* hub_subscribe(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* hub_frames(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* hub_get_dropped(PyObject* self, void*);
PyObject* hub_wait_async(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* hub_messages_async(PyObject* self, PyObject* args, PyObject* kwargs);

// Makes this file's types and aio.cpp's into ST; false with an error set.
bool create_feed_types(PyObject* module, ModuleState* st);
bool create_aio_types(PyObject* module, ModuleState* st);

}  // namespace zq_hub
