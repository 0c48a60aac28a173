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

// True when the definition's parameters fit the descriptor's bound-argument array and its
// defaults are among its parameters.
constexpr bool fits(const MethodDef& d) {
    return d.nparams >= 0 && d.nparams <= kMaxParams && d.ndefaults >= 0 &&
           d.ndefaults <= d.nparams && (d.nparams == 0 || d.params != nullptr) &&
           (d.ndefaults == 0 || d.defaults != nullptr);
}

// Checks a class's method table at compile time: static_assert(methods_fit(table)). The table
// and its name arrays are constexpr, so a count larger than its array does not compile.
template <std::size_t N>
consteval bool methods_fit(const MethodDef (&defs)[N]) {
    for (const MethodDef& d : defs) {
        if (!fits(d)) return false;
        for (int i = 0; i < d.nparams; ++i) {
            if (d.params[i] == nullptr) return false;
        }
        for (int i = 0; i < d.ndefaults; ++i) {
            if (d.defaults[i] == nullptr) return false;
        }
    }
    return true;
}

// Creates the descriptor type for MODULE. Returns a new reference.
PyObject* create_method_type(PyObject* module);

// Makes one descriptor per definition and sets it on CLS, in the order given (so that the class
// namespace lists them in that order and the interpreter's slots follow them).
bool add_methods(PyObject* module, PyObject* cls, const MethodDef* specs, std::size_t count);

}  // namespace zq
