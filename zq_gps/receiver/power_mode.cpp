// setPowerMode: one CFG-RXM frame asking for continuous (full power) mode, written in one call.
// Class 6 id 0x11 is CFG-RXM, the message that carries lpMode; nothing is logged or caught.
#include "receiver.hpp"

namespace zq {

PyObject* receiver_set_power_mode(PyObject* module, PyObject* self, PyObject* const*) {
    Ref builder = global(module, Name::UBXMessage);
    Ref set = builder ? global(module, Name::SET) : Ref{};
    if (!set) return nullptr;
    Ref args = Ref::steal(Py_BuildValue("(iiO)", 6, 0x11, set.get()));
    Ref kwargs = Ref::steal(Py_BuildValue("{s:i}", "lpMode", 0));
    if (!args || !kwargs) return nullptr;
    Ref message = Ref::steal(PyObject_Call(builder.get(), args.get(), kwargs.get()));
    if (!message) return nullptr;

    // The port's write is looked up before the message is serialized.
    Ref ser = getattr(module, self, Name::ser);
    Ref write = ser ? getattr(module, ser.get(), Name::write) : Ref{};
    if (!write) return nullptr;
    Ref frame = call_method0(module, message.get(), Name::serialize);
    if (!frame || !Ref::steal(PyObject_CallOneArg(write.get(), frame.get()))) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace zq
