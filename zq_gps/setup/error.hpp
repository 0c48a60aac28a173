// The module's error type, zq_error: constructing one is the report of a device failure.
#pragma once

#include <Python.h>

namespace zq {

// Creates class zq_error for MODULE. Returns a new reference.
PyObject* create_error_type(PyObject* module);

// Builds zq_error(e, code) through the module's current binding of `zq_error`, as the driver's
// failure paths do, and drops the object. Returns false with the Python error set when the
// construction raised (for code 1 that is the exit request).
bool report_error(PyObject* module, PyObject* e, long code);

}  // namespace zq
