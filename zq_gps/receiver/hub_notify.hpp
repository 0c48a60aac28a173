// Where the reader loop and setPowerMode tell zq_hub what happens, when a host has imported it
// (common/zq_hub_abi.hpp). The hub is found at the moment of each notification, as every other
// outside name is: a host that never imports zq_hub pays one dictionary look-up. None of these
// can fail or change the Python error state: what the module does stays exactly as it was.
#pragma once

#include <Python.h>

#include "zq_hub_abi.hpp"

namespace zq::hub_notify {

void pass_begin(PyObject* module, PyObject* receiver, PyObject* ubr);
void message_read(PyObject* module, PyObject* receiver, PyObject* raw, PyObject* msg);
void accepted(PyObject* module, PyObject* receiver, PyObject* msg);
void state(PyObject* module, PyObject* receiver, zq_hub_abi::LoopState s);

// Bracket one write to the receiver's port: write_end(write_begin(...)) on every way out of
// the write but a forced unwind (no destructor here: the write lets the GIL go, and a thread
// ended at finalization must not run hub code without it).
const zq_hub_abi::Observer* write_begin(PyObject* module, PyObject* receiver);
void write_end(const zq_hub_abi::Observer* begun, PyObject* receiver);

}  // namespace zq::hub_notify
