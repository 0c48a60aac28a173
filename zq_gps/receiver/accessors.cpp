// Read-only accessors: the latest values as the reader stored them, no copy, no conversion.
#include "receiver.hpp"

namespace zq {
namespace {

PyObject* tuple_of(PyObject* module, PyObject* self, std::initializer_list<Name> names) {
    Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!t) return nullptr;
    Py_ssize_t i = 0;
    for (Name n : names) {
        Ref v = getattr(module, self, n);
        if (!v) return nullptr;
        PyTuple_SET_ITEM(t.get(), i++, v.release());
    }
    return t.release();
}

}  // namespace

PyObject* receiver_getgps(PyObject* module, PyObject* self, PyObject* const*) {
    return tuple_of(module, self,
                    {Name::lon, Name::lat, Name::acc, Name::numofsat, Name::gSpeed, Name::headAcc,
                     Name::headMot});
}

PyObject* receiver_getparseddata(PyObject* module, PyObject* self, PyObject* const*) {
    return tuple_of(module, self, {Name::lon, Name::lat, Name::acc});
}

PyObject* receiver_getlat(PyObject* module, PyObject* self, PyObject* const*) {
    return getattr(module, self, Name::lat).release();
}

PyObject* receiver_getlon(PyObject* module, PyObject* self, PyObject* const*) {
    return getattr(module, self, Name::lon).release();
}

PyObject* receiver_getversion(PyObject* module, PyObject*, PyObject* const*) {
    return global(module, Name::version).release();
}

}  // namespace zq
