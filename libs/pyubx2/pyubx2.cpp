// libs.pyubx2: the Python face of the UBX codec core (UBXReader, UBXMessage, GET/SET/POLL).
//
// Field values are not converted when a frame is read: a message keeps its frame as a bytes
// object and reads a field when the attribute is asked for, through a per-form name -> index
// dict built once at import. The decoding work per call is one frame's worth, far below the
// cost of a GIL round trip, so it runs with the GIL held; the one place that lets go of it is
// the wait for a pyserial port's bytes (serial_port.hpp), once per wake-up.
#include <Python.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "config_keys.hpp"
#include "pyref.hpp"
#include "serial_port.hpp"
#include "ubx/ubx.hpp"
#include "zq_hub_abi.hpp"

using pyref::Ref;

namespace {

constexpr std::size_t kRows = ubx::catalogue.size();
constexpr Py_ssize_t kDefaultChunk = 65536;
// A stream without in_waiting is read this much at a time at most, plus what a frame needs.
constexpr Py_ssize_t kMaxChunk = 1 << 20;

struct ModuleState {
    PyTypeObject* message_type;
    PyTypeObject* reader_type;
    PyObject* error;          // UBXError(ValueError)
    PyObject* parse_error;    // UBXParseError(UBXError): frames that cannot be decoded
    PyObject* message_error;  // UBXMessageError(UBXError): builder input
    PyObject* str_in_waiting;
    PyObject* str_read;
    PyObject* str_timeout;
    PyObject* identities[kRows];  // per catalogue row
    PyObject* names[kRows];       // per row: dict field name -> index into its fields
};

ModuleState* state_of(PyTypeObject* tp) {
    return static_cast<ModuleState*>(PyType_GetModuleState(tp));
}

// The one place where core errors become Python exceptions.
void set_error(ModuleState* st, const ubx::Error& e) {
    PyObject* type = st->message_error;
    switch (e.code()) {
        case ubx::Errc::BadFrame:
        case ubx::Errc::BadChecksum:
        case ubx::Errc::BadLength:
            type = st->parse_error;
            break;
        default:
            break;
    }
    Ref exc = Ref::steal(PyObject_CallFunction(type, "s", e.what()));
    if (!exc) return;
    Ref cls = Ref::steal(PyLong_FromLong(e.cls()));
    Ref id = Ref::steal(PyLong_FromLong(e.id()));
    Ref len = Ref::steal(PyLong_FromSize_t(e.length()));
    if (!cls || !id || !len || PyObject_SetAttrString(exc.get(), "msg_cls", cls.get()) < 0 ||
        PyObject_SetAttrString(exc.get(), "msg_id", id.get()) < 0 ||
        PyObject_SetAttrString(exc.get(), "length", len.get()) < 0) {
        return;
    }
    PyErr_SetObject(type, exc.get());
}

// Runs fn at an interpreter boundary: no C++ exception gets past it, but the unwind that ends
// the thread at interpreter exit does (common/pyref.hpp, rule 1).
template <class Fn>
PYREF_PASSES_UNWIND auto guarded(ModuleState* st, Fn&& fn) -> decltype(fn()) {
    try {
        return fn();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const ubx::Error& e) {
        set_error(st, e);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "libs.pyubx2: unknown C++ exception");
    }
    return decltype(fn())(nullptr);
}

PyObject* to_python(const ubx::Value& v) {
    if (v.real) return PyFloat_FromDouble(v.r);
    switch (v.kind) {
        case ubx::Value::Kind::Int:
            return PyLong_FromLongLong(v.i);
        case ubx::Value::Kind::Bytes:
            return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(v.bytes.data()),
                                             static_cast<Py_ssize_t>(v.bytes.size()));
        case ubx::Value::Kind::Text:
            return PyUnicode_DecodeLatin1(reinterpret_cast<const char*>(v.bytes.data()),
                                          static_cast<Py_ssize_t>(v.bytes.size()), nullptr);
    }
    Py_RETURN_NONE;
}

void append_escaped(std::string& out, std::span<const uint8_t> b, char quote) {
    static const char hex[] = "0123456789abcdef";
    for (uint8_t c : b) {
        if (c == '\\' || c == static_cast<uint8_t>(quote)) {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
}

// A real as Python's repr() writes it.
void append_real(std::string& out, double d) {
    char* s = PyOS_double_to_string(d, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!s) throw std::bad_alloc();
    out += s;
    PyMem_Free(s);
}

void append_value(std::string& out, const ubx::Value& v) {
    if (v.real) return append_real(out, v.r);
    switch (v.kind) {
        case ubx::Value::Kind::Int:
            out += std::to_string(v.i);
            break;
        case ubx::Value::Kind::Bytes:
            out += "b'";
            append_escaped(out, v.bytes, '\'');
            out += '\'';
            break;
        case ubx::Value::Kind::Text:
            out += '\'';
            append_escaped(out, v.bytes, '\'');
            out += '\'';
            break;
    }
}

// ---------------------------------------------------------------------------------------------
// UBXMessage

struct MessageObject {
    PyObject_HEAD PyObject* raw;  // bytes: the whole frame, sync chars to checksum
    const ubx::MessageDef* def;   // nullptr: class/id unknown or length fits no form
    double rx_time;               // time.monotonic() when read() took its last byte; NaN: not read
    uint8_t cls;
    uint8_t id;
    uint8_t mode;
};

ubx::Message as_message(const MessageObject* m) {
    const auto* p = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(m->raw));
    const auto n = static_cast<std::size_t>(PyBytes_GET_SIZE(m->raw));
    return ubx::Message(m->cls, m->id, m->def, {p + ubx::kHeaderSize, n - ubx::kOverhead});
}

std::size_t row_of(const ubx::MessageDef* d) {
    return static_cast<std::size_t>(d - ubx::catalogue.data());
}

// A configuration key list or key/value tail, which Python sees as a list or dict.
bool is_key_tail(const ubx::MessageDef* def, const ubx::FieldRef& f) {
    return f.field == def->tail &&
           (def->tail_kind == ubx::TailKind::Keys || def->tail_kind == ubx::TailKind::KeyValues);
}

PyObject* field_object(const ubx::MessageDef* def, const ubx::FieldRef& f, const ubx::Value& v) {
    if (is_key_tail(def, f)) return pyubx2::tail_object(*def, v.bytes);
    return to_python(v);
}

// Takes over `raw`, a complete checked frame.
PyObject* new_message(ModuleState* st, Ref raw, const ubx::MessageDef* def, uint8_t mode) {
    auto* m = PyObject_GC_New(MessageObject, st->message_type);
    if (!m) return nullptr;
    const auto* p = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(raw.get()));
    m->raw = raw.release();
    m->def = def;
    m->rx_time = std::nan("");
    m->cls = p[2];
    m->id = p[3];
    m->mode = mode;
    PyObject_GC_Track(m);
    return reinterpret_cast<PyObject*>(m);
}

int message_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<MessageObject*>(self)->raw);
    return 0;
}

int message_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<MessageObject*>(self)->raw);
    return 0;
}

void message_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    message_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// True when some form of the message has an R4/R8 field of this name.
bool takes_real(uint8_t cls, uint8_t id, std::string_view name) {
    for (const ubx::MessageDef& m : ubx::forms_of(cls, id)) {
        const auto ref = ubx::find_field(m, name);
        if (ref && ref->field != m.tail && ubx::type_real(ref->field->type)) return true;
    }
    return false;
}

// A form of the message whose configuration key (or key/value) tail has this name.
const ubx::MessageDef* key_tail_form(uint8_t cls, uint8_t id, std::string_view name) {
    for (const ubx::MessageDef& m : ubx::forms_of(cls, id)) {
        if (m.tail && m.tail->name == name &&
            (m.tail_kind == ubx::TailKind::Keys || m.tail_kind == ubx::TailKind::KeyValues)) {
            return &m;
        }
    }
    return nullptr;
}

// UBXMessage(msgClass, msgID, mode, **fields)
PyObject* message_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
    ModuleState* st = state_of(tp);
    int cls = 0;
    int id = 0;
    int mode = 0;
    if (!PyArg_ParseTuple(args, "iii:UBXMessage", &cls, &id, &mode)) return nullptr;
    if (cls < 0 || cls > 255 || id < 0 || id > 255) {
        PyErr_Format(PyExc_ValueError, "UBXMessage: msgClass and msgID must be 0..255, got %d, %d",
                     cls, id);
        return nullptr;
    }
    if (mode < 0 || mode > 2) {
        PyErr_Format(PyExc_ValueError,
                     "UBXMessage: mode must be GET (0), SET (1) or POLL (2), got %d", mode);
        return nullptr;
    }
    const auto c = static_cast<uint8_t>(cls);
    const auto i = static_cast<uint8_t>(id);
    std::vector<ubx::NamedValue> fields;
    std::vector<Ref> keep;  // owners of the bytes that values point into
    if (kwargs) {
        PyObject* key;
        PyObject* value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            Py_ssize_t nlen = 0;
            const char* name = PyUnicode_AsUTF8AndSize(key, &nlen);
            if (!name) return nullptr;
            ubx::NamedValue nv{{name, static_cast<std::size_t>(nlen)}, {}};
            if (PyLong_Check(value)) {
                int overflow = 0;
                long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
                if (v == -1 && PyErr_Occurred()) return nullptr;
                // Out of int64 range is out of every field's range: let the builder say so.
                if (overflow) v = overflow > 0 ? INT64_MAX : INT64_MIN;
                nv.value = ubx::Value(v);
            } else if (PyBytes_Check(value) || PyByteArray_Check(value)) {
                Ref b = Ref::steal(PyBytes_FromObject(value));
                if (!b) return nullptr;
                nv.value = ubx::Value::of_bytes(
                    {reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(b.get())),
                     static_cast<std::size_t>(PyBytes_GET_SIZE(b.get()))});
                keep.push_back(std::move(b));
            } else if (PyUnicode_Check(value)) {
                // Text fields are one byte per character on the wire and are read back as
                // Latin-1, so they are written as Latin-1 too.
                Ref b = Ref::steal(PyUnicode_AsLatin1String(value));
                if (!b) {
                    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return nullptr;
                    PyErr_Clear();
                    PyErr_Format(PyExc_ValueError,
                                 "UBXMessage: field '%U' takes text of one byte per character "
                                 "(Latin-1), got %R",
                                 key, value);
                    return nullptr;
                }
                nv.value =
                    ubx::Value::of_text({PyBytes_AS_STRING(b.get()),
                                         static_cast<std::size_t>(PyBytes_GET_SIZE(b.get()))});
                keep.push_back(std::move(b));
            } else if (const ubx::MessageDef* t = key_tail_form(c, i, nv.name);
                       t && (PyDict_Check(value) || PyList_Check(value) || PyTuple_Check(value))) {
                // cfgData as a dict, keys as a list: what as_dict() gives back.
                Ref b = Ref::steal(guarded(st, [&]() -> PyObject* {
                    const auto tail = pyubx2::tail_payload(*t, value);
                    if (!tail) return nullptr;
                    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(tail->data()),
                                                     static_cast<Py_ssize_t>(tail->size()));
                }));
                if (!b) return nullptr;
                nv.value = ubx::Value::of_bytes(
                    {reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(b.get())),
                     static_cast<std::size_t>(PyBytes_GET_SIZE(b.get()))});
                keep.push_back(std::move(b));
            } else if (PyFloat_Check(value) && takes_real(c, i, nv.name)) {
                nv.value = ubx::Value::of_real(PyFloat_AS_DOUBLE(value));
            } else {
                PyErr_Format(PyExc_TypeError,
                             "UBXMessage: field '%U' takes int, bytes or str, not %.100s", key,
                             Py_TYPE(value)->tp_name);
                return nullptr;
            }
            fields.push_back(nv);
        }
    }
    return guarded(st, [&]() -> PyObject* {
        const std::vector<uint8_t> frame =
            ubx::build_frame(c, i, static_cast<ubx::Mode>(mode), fields);
        Ref raw = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(frame.data()),
                                                       static_cast<Py_ssize_t>(frame.size())));
        if (!raw) return nullptr;
        const ubx::MessageDef* def = ubx::find_form(
            c, i, std::span(frame).subspan(ubx::kHeaderSize, frame.size() - ubx::kOverhead));
        return new_message(st, std::move(raw), def, static_cast<uint8_t>(mode));
    });
}

// Field attributes first, then the type's own attributes (identity, serialize, ...).
PyObject* message_getattro(PyObject* self, PyObject* name) {
    auto* m = reinterpret_cast<MessageObject*>(self);
    if (m->def && PyUnicode_CheckExact(name)) {
        ModuleState* st = state_of(Py_TYPE(self));
        const std::size_t row = row_of(m->def);
        PyObject* idx = PyDict_GetItemWithError(st->names[row], name);
        if (idx) {
            const ubx::Field& f = m->def->fields[PyLong_AsSize_t(idx)];
            return to_python(ubx::read_field(
                f, reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(m->raw)) + ubx::kHeaderSize));
        }
        if (PyErr_Occurred()) return nullptr;
        if (!m->def->block.empty() || m->def->tail) {
            Py_ssize_t n = 0;
            const char* s = PyUnicode_AsUTF8AndSize(name, &n);
            if (!s) return nullptr;
            const ubx::Message msg = as_message(m);
            const std::string_view key{s, static_cast<std::size_t>(n)};
            const auto ref = ubx::find_field(*m->def, key);
            if (ref && ref->block <= msg.blocks()) {
                return guarded(st, [&] { return field_object(m->def, *ref, msg.value(*ref)); });
            }
        }
    }
    return PyObject_GenericGetAttr(self, name);
}

PyObject* message_identity(PyObject* self, void*) {
    auto* m = reinterpret_cast<MessageObject*>(self);
    if (m->def) return Py_NewRef(state_of(Py_TYPE(self))->identities[row_of(m->def)]);
    return guarded(state_of(Py_TYPE(self)), [&]() -> PyObject* {
        const std::string s = ubx::identity(m->cls, m->id);
        return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
    });
}

PyObject* message_msg_cls(PyObject* self, void*) {
    return PyLong_FromLong(reinterpret_cast<MessageObject*>(self)->cls);
}

PyObject* message_msg_id(PyObject* self, void*) {
    return PyLong_FromLong(reinterpret_cast<MessageObject*>(self)->id);
}

PyObject* message_mode(PyObject* self, void*) {
    return PyLong_FromLong(reinterpret_cast<MessageObject*>(self)->mode);
}

PyObject* message_rx_time(PyObject* self, void*) {
    const double t = reinterpret_cast<MessageObject*>(self)->rx_time;
    if (std::isnan(t)) Py_RETURN_NONE;
    return PyFloat_FromDouble(t);
}

PyObject* message_payload(PyObject* self, void*) {
    PyObject* raw = reinterpret_cast<MessageObject*>(self)->raw;
    return PyBytes_FromStringAndSize(PyBytes_AS_STRING(raw) + ubx::kHeaderSize,
                                     PyBytes_GET_SIZE(raw) - ubx::kOverhead);
}

PyObject* message_length(PyObject* self, void*) {
    return PyLong_FromSsize_t(PyBytes_GET_SIZE(reinterpret_cast<MessageObject*>(self)->raw) -
                              ubx::kOverhead);
}

PyObject* message_serialize(PyObject* self, PyObject*) {
    return Py_NewRef(reinterpret_cast<MessageObject*>(self)->raw);
}

PyObject* message_as_dict(PyObject* self, PyObject*) {
    return guarded(state_of(Py_TYPE(self)), [&]() -> PyObject* {
        const ubx::Message msg = as_message(reinterpret_cast<MessageObject*>(self));
        Ref d = Ref::steal(PyDict_New());
        if (!d) return nullptr;
        bool ok = true;
        msg.for_each([&](const ubx::FieldRef& f, const ubx::Value& v) {
            if (!ok) return;
            Ref val = Ref::steal(field_object(msg.def(), f, v));
            ok = val && PyDict_SetItemString(d.get(), f.name().c_str(), val.get()) == 0;
        });
        return ok ? d.release() : nullptr;
    });
}

PyObject* message_repr(PyObject* self) {
    auto* m = reinterpret_cast<MessageObject*>(self);
    return guarded(state_of(Py_TYPE(self)), [&]() -> PyObject* {
        const ubx::Message msg = as_message(m);
        std::string s = "<UBX(" + msg.identity();
        if (m->def) {
            bool ok = true;
            msg.for_each([&](const ubx::FieldRef& f, const ubx::Value& v) {
                if (!ok) return;
                s += ", ";
                s += f.name();
                s += '=';
                if (!is_key_tail(m->def, f)) return append_value(s, v);
                // Key names and numbers: ASCII, so the dict's or list's repr reads as is.
                Ref obj = Ref::steal(field_object(m->def, f, v));
                Ref r = Ref::steal(obj ? PyObject_Repr(obj.get()) : nullptr);
                const char* text = r ? PyUnicode_AsUTF8(r.get()) : nullptr;
                if (!text) {
                    ok = false;
                    return;
                }
                s += text;
            });
            if (!ok) return nullptr;
        } else {
            // One log line: a long unknown payload is cut short.
            constexpr std::size_t kShown = 64;
            const auto p = msg.payload();
            s += ", payload=b'";
            append_escaped(s, p.first(std::min(p.size(), kShown)), '\'');
            s += '\'';
            if (p.size() > kShown) s += "... (" + std::to_string(p.size()) + " bytes)";
        }
        s += ")>";
        return PyUnicode_DecodeLatin1(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
    });
}

PyObject* message_richcompare(PyObject* self, PyObject* other, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    // The frame is class, id, length, payload and a checksum of them: equal frames, equal content.
    return PyObject_RichCompare(reinterpret_cast<MessageObject*>(self)->raw,
                                reinterpret_cast<MessageObject*>(other)->raw, op);
}

Py_hash_t message_hash(PyObject* self) {
    return PyObject_Hash(reinterpret_cast<MessageObject*>(self)->raw);
}

// A CFG message from a payload the configuration-by-key helpers built.
PyObject* cfg_message(PyObject* cls, uint8_t id, ubx::Mode mode,
                      std::optional<std::vector<uint8_t>> (*payload_of)(PyObject*, PyObject*),
                      PyObject* args, PyObject* kwargs) {
    ModuleState* st = state_of(reinterpret_cast<PyTypeObject*>(cls));
    return guarded(st, [&]() -> PyObject* {
        const auto payload = payload_of(args, kwargs);
        if (!payload) return nullptr;
        const std::vector<uint8_t> frame = ubx::make_frame(0x06, id, *payload);
        Ref raw = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(frame.data()),
                                                       static_cast<Py_ssize_t>(frame.size())));
        if (!raw) return nullptr;
        return new_message(st, std::move(raw), ubx::find_form(0x06, id, *payload),
                           static_cast<uint8_t>(mode));
    });
}

PyObject* message_valset(PyObject* cls, PyObject* args, PyObject* kwargs) {
    return cfg_message(cls, 0x8A, ubx::Mode::Set, pyubx2::valset_payload, args, kwargs);
}

PyObject* message_valget(PyObject* cls, PyObject* args, PyObject* kwargs) {
    return cfg_message(cls, 0x8B, ubx::Mode::Poll, pyubx2::valget_payload, args, kwargs);
}

PyObject* message_valdel(PyObject* cls, PyObject* args, PyObject* kwargs) {
    return cfg_message(cls, 0x8C, ubx::Mode::Set, pyubx2::valdel_payload, args, kwargs);
}

PyMethodDef message_methods[] = {
    {"serialize", message_serialize, METH_NOARGS, "The complete frame as bytes."},
    {"as_dict", message_as_dict, METH_NOARGS, "All fields as a dict, in payload order."},
    {"valset", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(message_valset)),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "valset(layers, values, /, *, transaction=None) -> CFG-VALSET (SET) setting each key of "
     "the mapping `values` (name or id -> value) in the layers of the bitmask `layers`."},
    {"valget", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(message_valget)),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "valget(layer, keys, /, *, position=0) -> CFG-VALGET request (POLL) for `keys` (names "
     "or ids) from one layer (0 RAM, 1 BBR, 2 flash, 7 default)."},
    {"valdel", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(message_valdel)),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "valdel(layers, keys, /, *, transaction=None) -> CFG-VALDEL (SET) removing `keys` from "
     "the layers of the bitmask `layers`."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef message_getset[] = {
    {"identity", message_identity, nullptr, "Message name, e.g. 'NAV-PVT'.", nullptr},
    {"msg_cls", message_msg_cls, nullptr, "Message class.", nullptr},
    {"msg_id", message_msg_id, nullptr, "Message id.", nullptr},
    {"msgmode", message_mode, nullptr, "GET, SET or POLL.", nullptr},
    {"payload", message_payload, nullptr, "Payload bytes.", nullptr},
    {"length", message_length, nullptr, "Payload length.", nullptr},
    {"rx_time", message_rx_time, nullptr,
     "time.monotonic() at which UBXReader.read() took the bytes holding the frame's last byte "
     "from its stream; None for a message built or parsed from bytes.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot message_slots[] = {
    {Py_tp_doc, const_cast<char*>("UBXMessage(msgClass, msgID, mode, **fields): a UBX message.")},
    {Py_tp_new, reinterpret_cast<void*>(message_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(message_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(message_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(message_clear)},
    {Py_tp_getattro, reinterpret_cast<void*>(message_getattro)},
    {Py_tp_repr, reinterpret_cast<void*>(message_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(message_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(message_hash)},
    {Py_tp_methods, message_methods},
    {Py_tp_getset, message_getset},
    {0, nullptr},
};

PyType_Spec message_spec = {
    "libs.pyubx2.UBXMessage",
    sizeof(MessageObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    message_slots,
};

// Decodes a checked frame into a message; raises UBXParseError for a length no form has.
PyObject* message_from_frame(ModuleState* st, const ubx::Frame& f) {
    return guarded(st, [&]() -> PyObject* {
        const ubx::Message msg = ubx::decode(f);
        Ref raw = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(f.raw.data()),
                                                       static_cast<Py_ssize_t>(f.raw.size())));
        if (!raw) return nullptr;
        return new_message(st, std::move(raw), msg.def(), static_cast<uint8_t>(ubx::Mode::Get));
    });
}

// ---------------------------------------------------------------------------------------------
// UBXReader

struct ReaderObject {
    PyObject_HEAD PyObject* stream;
    PyObject* read;   // bound stream.read
    PyObject* chunk;  // bytes the scanner is working through, NULL once drained
    ubx::Scanner* scanner;
    pyubx2::NativePort* port;  // set when the stream is a pyserial port read natively
    uint8_t* native_buf;       // chunk_size bytes the native reads land in
    Py_ssize_t chunk_size;
    uint64_t parse_errors;
    double rx_time;                  // monotonic time of the last stream read that returned bytes
    double rx_real;                  // the system (wall) clock at that same read, for the tap
    PyObject* tap_owner;             // capsule holding `tap`, or NULL
    const zq_hub_abi::TapSink* tap;  // told of every frame and stepped-over byte
    bool has_in_waiting;
    bool busy;
};

int reader_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* r = reinterpret_cast<ReaderObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(r->stream);
    Py_VISIT(r->read);
    Py_VISIT(r->chunk);
    Py_VISIT(r->tap_owner);
    return 0;
}

int reader_clear(PyObject* self) {
    auto* r = reinterpret_cast<ReaderObject*>(self);
    if (r->scanner) r->scanner->reset();  // it may point into chunk
    r->tap = nullptr;
    Py_CLEAR(r->stream);
    Py_CLEAR(r->read);
    Py_CLEAR(r->chunk);
    Py_CLEAR(r->tap_owner);
    return 0;
}

void reader_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    reader_clear(self);
    auto* r = reinterpret_cast<ReaderObject*>(self);
    delete r->scanner;
    delete r->port;
    delete[] r->native_buf;
    tp->tp_free(self);
    Py_DECREF(tp);
}

// UBXReader(stream, *, max_length=16384, chunk_size=65536, native=True)
PyObject* reader_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"stream", "max_length", "chunk_size", "native", nullptr};
    PyObject* stream = nullptr;
    Py_ssize_t max_length = static_cast<Py_ssize_t>(ubx::kDefaultMaxPayload);
    Py_ssize_t chunk = kDefaultChunk;
    int native = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$nnp:UBXReader", const_cast<char**>(kwlist),
                                     &stream, &max_length, &chunk, &native)) {
        return nullptr;
    }
    if (max_length < 8176 || max_length > 0xFFFF) {
        PyErr_Format(PyExc_ValueError, "UBXReader: max_length must be 8176..65535, got %zd",
                     max_length);
        return nullptr;
    }
    if (chunk < 1 || chunk > kMaxChunk) {
        PyErr_Format(PyExc_ValueError, "UBXReader: chunk_size must be 1..%zd, got %zd", kMaxChunk,
                     chunk);
        return nullptr;
    }
    ModuleState* st = state_of(tp);
    Ref read = Ref::steal(PyObject_GetAttr(stream, st->str_read));
    if (!read) return nullptr;
    // Asked of the type so that a property (pyserial's ioctl) is not run here.
    const int has_iw =
        PyObject_HasAttr(reinterpret_cast<PyObject*>(Py_TYPE(stream)), st->str_in_waiting);
    Ref self = Ref::steal(tp->tp_alloc(tp, 0));
    if (!self) return nullptr;
    auto* r = reinterpret_cast<ReaderObject*>(self.get());
    r->scanner = new (std::nothrow) ubx::Scanner(static_cast<std::size_t>(max_length));
    if (!r->scanner) return PyErr_NoMemory();
    if (native) {
        std::unique_ptr<pyubx2::NativePort> port = pyubx2::NativePort::probe(stream, read.get());
        if (port) {
            r->native_buf = new (std::nothrow) uint8_t[static_cast<std::size_t>(chunk)];
            if (!r->native_buf) return PyErr_NoMemory();
            r->port = port.release();
        }
    }
    r->rx_time = std::nan("");
    r->stream = Py_NewRef(stream);
    r->read = read.release();
    r->chunk_size = chunk;
    r->has_in_waiting = has_iw == 1;
    return self.release();
}

// Frame (raw bytes, message) pair; the frame is consumed even when decoding fails.
PyObject* reader_result(ReaderObject* r, ModuleState* st, const ubx::Frame& f) {
    if (r->tap) {
        r->tap->push(r->tap->ctx, zq_hub_abi::TapKind::ubx_frame, f.raw.data(), f.raw.size(),
                     r->rx_time, r->rx_real);
    }
    Ref msg = Ref::steal(message_from_frame(st, f));
    if (!msg) {
        ++r->parse_errors;
        return nullptr;
    }
    auto* m = reinterpret_cast<MessageObject*>(msg.get());
    m->rx_time = r->rx_time;
    return PyTuple_Pack(2, m->raw, msg.get());
}

PyObject* none_pair() {
    return PyTuple_Pack(2, Py_None, Py_None);
}

using Clock = std::chrono::steady_clock;

// What time.monotonic() reads.
double monotonic_now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// The stream's read time-out in seconds (pyserial's `timeout`): -1 when it has none (reads
// wait for as long as it takes), 0 for a non-blocking stream.
double stream_timeout(ReaderObject* r, ModuleState* st) {
    Ref t = Ref::steal(PyObject_GetAttr(r->stream, st->str_timeout));
    if (!t) {
        PyErr_Clear();
        return -1;
    }
    if (t.get() == Py_None) return -1;
    const double v = PyFloat_AsDouble(t.get());
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return -1;
    }
    return std::isnan(v) || v < 0 ? -1 : v;
}

// Seconds since START.
double since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// How many bytes to ask the stream for; -1 with an exception set on failure, 0 when the call
// must come back now. A call keeps reading only while it is within one read time-out of its
// start: bytes that arrive a moment after others (NMEA, then the UBX frame of the same burst)
// are taken in the same call, while a stream that never completes a frame (endless noise or
// NMEA, a false header that never fills up) still hands control back about once per time-out,
// whether or not bytes are waiting. A stream without a time-out gets one wait per call.
Py_ssize_t reader_request(ReaderObject* r, ModuleState* st, Clock::time_point start, double timeout,
                          bool first, bool* waited) {
    const auto wanted = static_cast<Py_ssize_t>(r->scanner->wanted());
    if (!first && timeout >= 0 && since(start) >= timeout) return 0;
    if (!r->has_in_waiting) return std::max(r->chunk_size, wanted);
    Ref iw = Ref::steal(PyObject_GetAttr(r->stream, st->str_in_waiting));
    if (!iw) return -1;
    const Py_ssize_t waiting = PyNumber_AsSsize_t(iw.get(), PyExc_OverflowError);
    if (waiting == -1 && PyErr_Occurred()) return -1;
    if (waiting > 0) return std::min(waiting, std::max(kMaxChunk, wanted));
    if (*waited && timeout < 0) return 0;
    *waited = true;
    return wanted;
}

// What the system clock reads.
double realtime_now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Hands N bytes just taken from the stream to the scanner, stamped with the time of taking.
void take(ReaderObject* r, const uint8_t* data, std::size_t n) {
    r->rx_time = monotonic_now();
    if (r->tap) r->rx_real = realtime_now();
    r->scanner->feed({data, n});
}

// Reads through the stream's own read(n).
PyObject* reader_read_stream(ReaderObject* r, ModuleState* st) {
    // A frame already buffered needs neither the clock nor the stream's time-out: looking that
    // up on a stream without one raises and clears an AttributeError, which per frame cost
    // more than half the read.
    if (auto f = r->scanner->next()) return reader_result(r, st, *f);
    const Clock::time_point start = Clock::now();
    const double timeout = stream_timeout(r, st);
    bool waited = false;
    for (bool first = true;; first = false) {
        if (!first) {
            if (auto f = r->scanner->next()) return reader_result(r, st, *f);
        }
        Py_CLEAR(r->chunk);
        const Py_ssize_t n = reader_request(r, st, start, timeout, first, &waited);
        if (n < 0) return nullptr;
        if (n == 0) return none_pair();
        Ref data = Ref::steal(PyObject_CallFunction(r->read, "n", n));
        if (!data) return nullptr;
        if (data.get() != Py_None && !PyBytes_Check(data.get())) {
            if (!PyObject_CheckBuffer(data.get())) {
                PyErr_Format(PyExc_TypeError, "UBXReader: stream.read() returned %.100s, not bytes",
                             Py_TYPE(data.get())->tp_name);
                return nullptr;
            }
            data = Ref::steal(PyBytes_FromObject(data.get()));
            if (!data) return nullptr;
        }
        // None is what a non-blocking stream returns when it has nothing.
        const Py_ssize_t got = data.get() == Py_None ? 0 : PyBytes_GET_SIZE(data.get());
        if (got > 0) {
            take(r, reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(data.get())),
                 static_cast<std::size_t>(got));
            r->chunk = data.release();
        }
        if (got < n) {
            // Time-out or end of stream: deliver a frame if these bytes completed one, else
            // report nothing; a partial frame stays buffered for the next call.
            if (r->chunk) {
                if (auto f = r->scanner->next()) return reader_result(r, st, *f);
                Py_CLEAR(r->chunk);
            }
            return none_pair();
        }
    }
}

// Reads a pyserial port natively: poll with the GIL released, then read what is there.
PyObject* reader_read_native(ReaderObject* r, ModuleState* st) {
    if (auto f = r->scanner->next()) return reader_result(r, st, *f);  // as reader_read_stream
    const Clock::time_point start = Clock::now();
    const double timeout = stream_timeout(r, st);
    bool ready = false;      // poll said readable: a read that finds nothing means gone
    bool cancelled = false;  // woken by cancel_read() or close(): end with what is there
    for (;;) {
        if (auto f = r->scanner->next()) return reader_result(r, st, *f);
        const Py_ssize_t got = r->port->read_now(r->stream, r->native_buf,
                                                 static_cast<std::size_t>(r->chunk_size), ready);
        if (got < 0) return nullptr;  // a closed port says so here, with pyserial's exception
        ready = false;
        if (got > 0) {
            take(r, r->native_buf, static_cast<std::size_t>(got));
            cancelled = false;
            continue;
        }
        if (cancelled) return none_pair();
        double left = -1;
        if (timeout >= 0) {
            left = timeout - since(start);
            if (left <= 0) return none_pair();
        }
        auto wake = pyubx2::NativePort::Wake::timeout;
        if (!r->port->wait(r->stream, left, &wake)) return nullptr;
        cancelled = wake == pyubx2::NativePort::Wake::aborted;
        ready = wake == pyubx2::NativePort::Wake::readable;
    }
}

PyObject* reader_read_impl(ReaderObject* r, ModuleState* st) {
    return r->port ? reader_read_native(r, st) : reader_read_stream(r, st);
}

PyObject* reader_read(PyObject* self, PyObject*) {
    auto* r = reinterpret_cast<ReaderObject*>(self);
    ModuleState* st = state_of(Py_TYPE(self));
    if (r->busy) {
        PyErr_SetString(PyExc_RuntimeError,
                        "UBXReader.read() is already running in another thread");
        return nullptr;
    }
    if (!r->read) {
        PyErr_SetString(PyExc_ValueError, "UBXReader has no stream");
        return nullptr;
    }
    r->busy = true;
    PyObject* result = guarded(st, [&] { return reader_read_impl(r, st); });
    r->busy = false;
    return result;
}

PyObject* reader_iternext(PyObject* self) {
    Ref pair = Ref::steal(reader_read(self, nullptr));
    if (!pair) return nullptr;
    if (PyTuple_GET_ITEM(pair.get(), 1) == Py_None) return nullptr;  // StopIteration
    return pair.release();
}

// UBXReader.parse(raw): one complete frame to a message.
PyObject* reader_parse(PyObject* cls, PyObject* arg) {
    ModuleState* st = state_of(reinterpret_cast<PyTypeObject*>(cls));
    Py_buffer view;
    if (PyObject_GetBuffer(arg, &view, PyBUF_SIMPLE) < 0) return nullptr;
    PyObject* result = guarded(st, [&]() -> PyObject* {
        const ubx::Frame f = ubx::parse_frame(
            {static_cast<const uint8_t*>(view.buf), static_cast<std::size_t>(view.len)});
        return message_from_frame(st, f);
    });
    PyBuffer_Release(&view);
    return result;
}

// The scanner's stepped-over bytes, passed on to the tap.
void reader_skipped(void* ctx, std::span<const uint8_t> bytes) {
    auto* r = static_cast<ReaderObject*>(ctx);
    if (r->tap) {
        r->tap->push(r->tap->ctx, zq_hub_abi::TapKind::skipped, bytes.data(), bytes.size(),
                     r->rx_time, r->rx_real);
    }
}

// UBXReader._set_tap(sink): the hub's tap (a capsule), or None for none.
PyObject* reader_set_tap(PyObject* self, PyObject* sink) {
    auto* r = reinterpret_cast<ReaderObject*>(self);
    const zq_hub_abi::TapSink* tap = nullptr;
    if (sink != Py_None) {
        tap = static_cast<const zq_hub_abi::TapSink*>(
            PyCapsule_GetPointer(sink, zq_hub_abi::kTapCapsule));
        if (!tap) return nullptr;
        if (tap->version != zq_hub_abi::kVersion || !tap->push) {
            PyErr_Format(PyExc_ValueError,
                         "UBXReader._set_tap: tap version %u, this codec takes %u", tap->version,
                         zq_hub_abi::kVersion);
            return nullptr;
        }
    }
    Py_XSETREF(r->tap_owner, tap ? Py_NewRef(sink) : nullptr);
    r->tap = tap;
    r->rx_real = realtime_now();
    r->scanner->on_skip(tap ? reader_skipped : nullptr, r);
    Py_RETURN_NONE;
}

PyObject* reader_stream(PyObject* self, void*) {
    PyObject* s = reinterpret_cast<ReaderObject*>(self)->stream;
    return Py_NewRef(s ? s : Py_None);
}

// True when the next read() can return at once: the scanner holds bytes it has not looked at
// yet, or the stream already has bytes waiting. False when it cannot tell.
PyObject* reader_backlog(PyObject* self, void*) {
    auto* r = reinterpret_cast<ReaderObject*>(self);
    if (r->scanner->has_unscanned()) Py_RETURN_TRUE;
    if (!r->stream) Py_RETURN_FALSE;
    if (r->port) return PyBool_FromLong(r->port->available(r->stream) > 0);
    if (!r->has_in_waiting) Py_RETURN_FALSE;
    ModuleState* st = state_of(Py_TYPE(self));
    Ref iw = Ref::steal(PyObject_GetAttr(r->stream, st->str_in_waiting));
    const Py_ssize_t waiting = iw ? PyNumber_AsSsize_t(iw.get(), PyExc_OverflowError) : -1;
    if (waiting == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
        PyErr_Clear();
        Py_RETURN_FALSE;
    }
    return PyBool_FromLong(waiting > 0);
}

PyObject* reader_native(PyObject* self, void*) {
    return PyBool_FromLong(reinterpret_cast<ReaderObject*>(self)->port != nullptr);
}

PyObject* reader_stats(PyObject* self, void*) {
    auto* r = reinterpret_cast<ReaderObject*>(self);
    const ubx::ScannerStats& s = r->scanner->stats();
    return Py_BuildValue("{sKsKsKsKsKsKsKsn}", "frames", static_cast<unsigned long long>(s.frames),
                         "bad_checksums", static_cast<unsigned long long>(s.bad_checksums),
                         "oversize", static_cast<unsigned long long>(s.oversize), "bad_lengths",
                         static_cast<unsigned long long>(s.bad_lengths), "false_syncs",
                         static_cast<unsigned long long>(s.false_syncs), "skipped_bytes",
                         static_cast<unsigned long long>(s.skipped_bytes), "parse_errors",
                         static_cast<unsigned long long>(r->parse_errors), "buffered",
                         static_cast<Py_ssize_t>(r->scanner->buffered()));
}

PyMethodDef reader_methods[] = {
    {"read", reader_read, METH_NOARGS,
     "read() -> (raw, message) for the next UBX frame, or (None, None) when no frame was "
     "complete within the stream's read time-out (counted from the call's start, whatever "
     "arrives) or the stream ended; bytes already taken stay buffered for the next call."},
    {"parse", reader_parse, METH_O | METH_CLASS, "parse(raw) -> message, from one complete frame."},
    {"_set_tap", reader_set_tap, METH_O,
     "_set_tap(sink): hands every frame and every stepped-over byte to the hub's tap (a capsule "
     "from zq_hub), or to none with None."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef reader_getset[] = {
    {"stream", reader_stream, nullptr, "The stream read from.", nullptr},
    {"stats", reader_stats, nullptr, "Scanner counters.", nullptr},
    {"backlog", reader_backlog, nullptr,
     "True when read() can return at once: bytes already taken and not yet scanned, or bytes "
     "waiting in the stream. Cheap; False when it cannot tell.",
     nullptr},
    {"native", reader_native, nullptr,
     "True when the stream is a pyserial port read through its descriptor.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("UBXReader(stream, *, max_length=16384, chunk_size=65536, native=True): "
                       "UBX frames from stream.read(n), or, for a pyserial port when native is "
                       "true, from the port's descriptor.")},
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(reader_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(reader_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(reader_iternext)},
    {Py_tp_methods, reader_methods},
    {Py_tp_getset, reader_getset},
    {0, nullptr},
};

PyType_Spec reader_spec = {
    "libs.pyubx2.UBXReader",
    sizeof(ReaderObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    reader_slots,
};

// ---------------------------------------------------------------------------------------------
// Module

int module_traverse(PyObject* mod, visitproc visit, void* arg) {
    auto* st = static_cast<ModuleState*>(PyModule_GetState(mod));
    Py_VISIT(st->message_type);
    Py_VISIT(st->reader_type);
    Py_VISIT(st->error);
    Py_VISIT(st->parse_error);
    Py_VISIT(st->message_error);
    for (std::size_t i = 0; i < kRows; ++i) {
        Py_VISIT(st->identities[i]);
        Py_VISIT(st->names[i]);
    }
    return 0;
}

int module_clear(PyObject* mod) {
    auto* st = static_cast<ModuleState*>(PyModule_GetState(mod));
    Py_CLEAR(st->message_type);
    Py_CLEAR(st->reader_type);
    Py_CLEAR(st->error);
    Py_CLEAR(st->parse_error);
    Py_CLEAR(st->message_error);
    Py_CLEAR(st->str_in_waiting);
    Py_CLEAR(st->str_read);
    Py_CLEAR(st->str_timeout);
    for (std::size_t i = 0; i < kRows; ++i) {
        Py_CLEAR(st->identities[i]);
        Py_CLEAR(st->names[i]);
    }
    return 0;
}

void module_free(void* mod) {
    module_clear(static_cast<PyObject*>(mod));
}

PyObject* name_index(std::span<const ubx::Field> fields) {
    Ref d = Ref::steal(PyDict_New());
    if (!d) return nullptr;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        Ref key = Ref::steal(PyUnicode_FromStringAndSize(
            fields[i].name.data(), static_cast<Py_ssize_t>(fields[i].name.size())));
        if (!key) return nullptr;
        PyObject* k = key.release();
        PyUnicode_InternInPlace(&k);
        key = Ref::steal(k);
        Ref idx = Ref::steal(PyLong_FromSize_t(i));
        if (!idx || PyDict_SetItem(d.get(), key.get(), idx.get()) < 0) return nullptr;
    }
    return d.release();
}

int module_exec(PyObject* mod) {
    auto* st = static_cast<ModuleState*>(PyModule_GetState(mod));
    st->message_type =
        reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(mod, &message_spec, nullptr));
    if (!st->message_type || PyModule_AddType(mod, st->message_type) < 0) return -1;
    st->reader_type =
        reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(mod, &reader_spec, nullptr));
    if (!st->reader_type || PyModule_AddType(mod, st->reader_type) < 0) return -1;

    st->error = PyErr_NewExceptionWithDoc("libs.pyubx2.UBXError", "Any UBX codec error.",
                                          PyExc_ValueError, nullptr);
    if (!st->error || PyModule_AddObjectRef(mod, "UBXError", st->error) < 0) return -1;
    st->parse_error = PyErr_NewExceptionWithDoc(
        "libs.pyubx2.UBXParseError", "A frame that cannot be decoded.", st->error, nullptr);
    if (!st->parse_error || PyModule_AddObjectRef(mod, "UBXParseError", st->parse_error) < 0) {
        return -1;
    }
    st->message_error = PyErr_NewExceptionWithDoc(
        "libs.pyubx2.UBXMessageError", "Fields that do not make a message.", st->error, nullptr);
    if (!st->message_error ||
        PyModule_AddObjectRef(mod, "UBXMessageError", st->message_error) < 0) {
        return -1;
    }
    if (PyModule_AddIntConstant(mod, "GET", 0) < 0 || PyModule_AddIntConstant(mod, "SET", 1) < 0 ||
        PyModule_AddIntConstant(mod, "POLL", 2) < 0 ||
        PyModule_AddIntConstant(mod, "MAX_PAYLOAD", ubx::kDefaultMaxPayload) < 0 ||
        PyModule_AddIntConstant(mod, "MAX_KEYS", static_cast<long>(ubx::kMaxKeys)) < 0) {
        return -1;
    }
    static constexpr std::pair<const char*, int> kLayers[] = {
        {"SET_LAYER_RAM", 1},      {"SET_LAYER_BBR", 2},  {"SET_LAYER_FLASH", 4},
        {"POLL_LAYER_RAM", 0},     {"POLL_LAYER_BBR", 1}, {"POLL_LAYER_FLASH", 2},
        {"POLL_LAYER_DEFAULT", 7},
    };
    for (const auto& [name, value] : kLayers) {
        if (PyModule_AddIntConstant(mod, name, value) < 0) return -1;
    }
    // The project's version, from CMake's project() at build time.
    if (PyModule_AddStringConstant(mod, "__version__", ZQ_VERSION) < 0) return -1;
    Ref keys = Ref::steal(pyubx2::config_keys_mapping());
    if (!keys || PyModule_AddObjectRef(mod, "CONFIG_KEYS", keys.get()) < 0) return -1;
    st->str_in_waiting = PyUnicode_InternFromString("in_waiting");
    st->str_read = PyUnicode_InternFromString("read");
    st->str_timeout = PyUnicode_InternFromString("timeout");
    if (!st->str_in_waiting || !st->str_read || !st->str_timeout) return -1;
    for (std::size_t i = 0; i < kRows; ++i) {
        const ubx::MessageDef& m = ubx::catalogue[i];
        st->identities[i] =
            PyUnicode_FromStringAndSize(m.name.data(), static_cast<Py_ssize_t>(m.name.size()));
        st->names[i] = name_index(m.fields);
        if (!st->identities[i] || !st->names[i]) return -1;
    }
    return 0;
}

PyObject* module_config_key(PyObject* mod, PyObject* key) {
    return guarded(static_cast<ModuleState*>(PyModule_GetState(mod)),
                   [&] { return pyubx2::config_key(key); });
}

PyMethodDef module_methods[] = {
    {"config_key", module_config_key, METH_O,
     "config_key(key, /) -> (name, id, type, scale, unit) of a configuration key given by "
     "name, hex-id name or id; a key the table does not know: its hex name, the type its size "
     "code gives, scale 1.0, unit \"\"."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "libs.pyubx2",
    "UBX protocol codec: stream reader, message builder and parser.",
    sizeof(ModuleState),
    module_methods,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace

PyMODINIT_FUNC PyInit_pyubx2() {
    return PyModuleDef_Init(&module_def);
}
