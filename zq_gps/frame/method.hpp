// The module's method objects: descriptors that bind like Python functions and carry the
// introspection a host expects of them (__name__, __qualname__, __module__, __doc__,
// __defaults__ and a text signature), which the interpreter's plain C descriptors lack.
#pragma once

#include <Python.h>

#include <cstddef>

namespace zq {

// Receives the bound arguments (without the instance) in declaration order; returns a new
// reference, or nullptr with a Python error set.
using MethodImpl = PyObject* (*)(PyObject* module, PyObject* self, PyObject* const* args);

inline constexpr int kMaxParams = 4;

struct MethodDef {
    const char* name;
    MethodImpl impl;
    const char* const* params;  // names of the parameters after the instance
    int nparams;
    const char* const* defaults;  // text defaults of the last ndefaults parameters
    int ndefaults;
    const char* doc;
};

// Creates the descriptor type for MODULE. Returns a new reference.
PyObject* create_method_type(PyObject* module);

// Makes one descriptor per definition and sets it on CLS, in the order given (so that the class
// namespace lists them in that order and the interpreter's slots follow them).
bool add_methods(PyObject* module, PyObject* cls, const MethodDef* specs, std::size_t count);

}  // namespace zq
