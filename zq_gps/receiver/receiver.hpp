// The receiver class zq_gps. The instance layout and what its three files share:
//   receiver.cpp   the type, construction and the accessors
//   loop.cpp       the reader thread's loop
//   lifecycle.cpp  run, stop, restart and setPowerMode, and what keeps one reader per object
// Its attributes are described once, in attributes.hpp.
#pragma once

#include <Python.h>

#include <array>

#include "attributes.hpp"
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

// Creates class zq_gps for MODULE. Returns a new reference.
PyObject* create_receiver_type(PyObject* module);

// Stores attribute A's initial value on SELF. ARGS are __init__'s bound arguments; rows that
// restart stores again need none, and restart passes nullptr.
bool store_initial(PyObject* module, PyObject* self, const attributes::Attribute& a,
                   PyObject* const* args);

// Method implementations (self is an instance of zq_gps; args as bound by the descriptor).
PyObject* receiver_loop(PyObject* module, PyObject* self, PyObject* const* args);
PyObject* receiver_run(PyObject* module, PyObject* self, PyObject* const* args);
PyObject* receiver_stop(PyObject* module, PyObject* self, PyObject* const* args);
PyObject* receiver_restart(PyObject* module, PyObject* self, PyObject* const* args);
PyObject* receiver_set_power_mode(PyObject* module, PyObject* self, PyObject* const* args);

}  // namespace zq
