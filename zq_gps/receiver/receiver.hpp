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
// RetiredReaders is the empty list.
struct Receiver {
    PyObject_HEAD PyObject* dict;
    PyObject* weakrefs;
    RetiredReaders retired;
};

inline Receiver* as_receiver(PyObject* self) {
    return reinterpret_cast<Receiver*>(self);
}

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

}  // namespace zq
