// The receiver class zq_gps: instance layout and the methods, one concern per source file.
#pragma once

#include <Python.h>

#include <array>

#include "module.hpp"

namespace zq {

// Reader threads that a restart has retired, by thread identity. A retired loop leaves at its
// next pass instead of reading, and removes itself from the list as it leaves.
class RetiredReaders {
  public:
    void add(unsigned long ident);
    void remove(unsigned long ident);
    bool contains(unsigned long ident) const;

  private:
    std::array<unsigned long, 8> idents_{};
    std::size_t count_ = 0;
};

// Instances come from the inherited object allocator, which zero-fills them: the all-zero
// RetiredReaders is the empty list, and zero owner and depth are a free lifecycle lock.
struct Receiver {
    PyObject_HEAD PyObject* dict;
    PyObject* weakrefs;
    RetiredReaders retired;
    unsigned long lifecycle_owner;  // thread inside run or restart, 0 for none
    unsigned long lifecycle_depth;  // its nested entries (a host callable calling back)
};

inline Receiver* as_receiver(PyObject* self) {
    return reinterpret_cast<Receiver*>(self);
}

// Makes run and restart on one object take effect one after another, whatever the host's
// threads do: a thread that finds another inside either waits, with the interpreter lock
// released, until it has left. The thread inside may enter again (a host callable that calls
// back into the object), as it could before.
class LifecycleLock {
  public:
    explicit LifecycleLock(PyObject* self);
    ~LifecycleLock();
    LifecycleLock(const LifecycleLock&) = delete;
    LifecycleLock& operator=(const LifecycleLock&) = delete;

  private:
    Receiver* receiver_;
};

// Creates class zq_gps for MODULE. Returns a new reference.
PyObject* create_receiver_type(PyObject* module);

// Method implementations (self is an instance of zq_gps; args as bound by the descriptor).
PyObject* receiver_init(PyObject* module, PyObject* self, PyObject* const* args);
PyObject* receiver_run(PyObject* module, PyObject* self, PyObject* const* args);
PyObject* receiver_loop(PyObject* module, PyObject* self, PyObject* const* args);
PyObject* receiver_stop(PyObject* module, PyObject* self, PyObject* const* args);
PyObject* receiver_restart(PyObject* module, PyObject* self, PyObject* const* args);
PyObject* receiver_set_power_mode(PyObject* module, PyObject* self, PyObject* const* args);
PyObject* receiver_getgps(PyObject* module, PyObject* self, PyObject* const* args);
PyObject* receiver_getparseddata(PyObject* module, PyObject* self, PyObject* const* args);
PyObject* receiver_getlat(PyObject* module, PyObject* self, PyObject* const* args);
PyObject* receiver_getlon(PyObject* module, PyObject* self, PyObject* const* args);
PyObject* receiver_getversion(PyObject* module, PyObject* self, PyObject* const* args);

// Opens the port, builds the reader and creates and starts the reader thread, storing each on
// the object before the next step reads it back. Shared by run and restart.
bool open_port(PyObject* module, PyObject* self);
bool start_thread(PyObject* module, PyObject* self);

// True when the object's thread handle `t1` names a thread that is still alive. Lookup
// failures count as "not alive" and leave no error set.
bool reader_alive(PyObject* module, PyObject* self);

// Marks the earlier reader thread (a live `t1`) retired, so that it stores nothing more and
// leaves at its next step; returns it (empty when there is none) for wait_retired. Failures
// are not the host's concern: an ordinary error is dropped (*ok true), an interrupt or exit
// request stays pending (*ok false).
Ref retire_earlier_reader(PyObject* module, PyObject* self, bool* ok);
// Waits, bounded, for the thread that retire_earlier_reader returned to end. Same failures.
bool wait_retired(PyObject* module, PyObject* self, PyObject* thread);

}  // namespace zq
