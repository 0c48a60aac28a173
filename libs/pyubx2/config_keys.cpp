// Configuration by key for libs.pyubx2: argument checking and conversion for the VALSET /
// VALGET / VALDEL classmethods and the Python form of decoded key lists.
#include "config_keys.hpp"

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "pyref.hpp"

using pyref::Ref;

namespace pyubx2 {

namespace {

constexpr uint8_t kValset = 0x8A;
constexpr uint8_t kValget = 0x8B;
constexpr uint8_t kValdel = 0x8C;

std::string label(uint8_t id) {
    char buf[24];
    std::snprintf(buf, sizeof buf, " (0x06 0x%02X): ", id);
    return ubx::identity(0x06, id) + buf;
}

// config_key(): a key looked up outside any message, so its errors name none.
constexpr uint8_t kLookup = 0;

[[noreturn]] void fail(uint8_t msg, const std::string& what, ubx::Errc code = ubx::Errc::BadValue) {
    throw ubx::Error(code, 0x06, msg, 0, msg == kLookup ? what : label(msg) + what);
}

// repr(o) as UTF-8, for error texts.
std::string repr_of(PyObject* o) {
    Ref r = Ref::steal(PyObject_Repr(o));
    const char* s = r ? PyUnicode_AsUTF8(r.get()) : nullptr;
    if (!s) {
        PyErr_Clear();
        return "?";
    }
    return s;
}

std::string type_text(ubx::KeyType t) {
    using ubx::KeyType;
    std::string s(ubx::key_type_name(t));
    if (t == KeyType::L) return s + ": True/False";
    if (ubx::key_type_real(t)) return s;
    const unsigned bits = static_cast<unsigned>(ubx::key_type_size(t) * 8);
    if (ubx::key_type_signed(t)) {
        const int64_t hi =
            bits == 64 ? std::numeric_limits<int64_t>::max() : (int64_t{1} << (bits - 1)) - 1;
        return s + ": " + std::to_string(-hi - 1) + ".." + std::to_string(hi);
    }
    const uint64_t hi =
        bits == 64 ? std::numeric_limits<uint64_t>::max() : (uint64_t{1} << bits) - 1;
    return s + ": 0.." + std::to_string(hi);
}

// A key given by name (table name or "0x..." hex id) or by id.
std::optional<uint32_t> key_of(uint8_t msg, PyObject* key) {
    if (PyUnicode_Check(key)) {
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(key, &n);
        if (!s) return std::nullopt;
        if (const auto id = ubx::key_id({s, static_cast<std::size_t>(n)})) return id;
        fail(msg, "unknown configuration key " + repr_of(key), ubx::Errc::UnknownField);
    }
    if (PyLong_Check(key) && !PyBool_Check(key)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(key, &overflow);
        if (v == -1 && PyErr_Occurred()) return std::nullopt;
        if (overflow || v < 0 || v > 0xFFFFFFFFLL) {
            fail(msg, "configuration key id " + repr_of(key) + " out of range (0..0xffffffff)",
                 ubx::Errc::UnknownField);
        }
        const auto id = static_cast<uint32_t>(v);
        if (ubx::key_value_size(id) == 0) {
            fail(msg, "configuration key " + ubx::key_name(id) + " has an illegal size code",
                 ubx::Errc::UnknownField);
        }
        return id;
    }
    PyErr_Format(
        PyExc_TypeError, "%s: a configuration key is a name (str) or an id (int), not %.100s",
        msg == kLookup ? "config_key" : ubx::identity(0x06, msg).c_str(), Py_TYPE(key)->tp_name);
    return std::nullopt;
}

// The wire value of `v` for key `id`, checked against the key's type.
std::optional<uint64_t> raw_of(uint8_t msg, uint32_t id, PyObject* v) {
    using ubx::KeyType;
    const KeyType t = ubx::key_type(id);
    const auto wrong = [&](const char* takes) {
        fail(msg, ubx::key_name(id) + " takes " + takes + " (" + type_text(t) + "), got " +
                      Py_TYPE(v)->tp_name);
    };
    const auto out_of_range = [&] {
        fail(msg, "value " + repr_of(v) + " out of range for " + ubx::key_name(id) + " (" +
                      type_text(t) + ")");
    };
    if (ubx::key_type_real(t)) {
        if (!PyFloat_Check(v) && !(PyLong_Check(v) && !PyBool_Check(v))) wrong("a number");
        const double d = PyFloat_AsDouble(v);
        if (d == -1.0 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return std::nullopt;
            PyErr_Clear();
            out_of_range();
        }
        if (t == KeyType::R4 && std::isfinite(d) &&
            std::fabs(d) > std::numeric_limits<float>::max())
            out_of_range();
        return ubx::key_raw_real(t, d);
    }
    if (t == KeyType::L) {
        if (!PyLong_Check(v)) wrong("a bool");
    } else if (!PyLong_Check(v)) {
        wrong("an int");
    }
    int overflow = 0;
    const long long s = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (s == -1 && PyErr_Occurred()) return std::nullopt;
    std::optional<uint64_t> raw;
    if (overflow > 0) {
        const unsigned long long u = PyLong_AsUnsignedLongLong(v);
        if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return std::nullopt;
            PyErr_Clear();
        } else {
            raw = ubx::key_raw_unsigned(t, u);
        }
    } else if (overflow == 0) {
        raw = ubx::key_raw_signed(t, s);
    }
    if (!raw) out_of_range();
    return raw;
}

// Keys from an iterable of names or ids (a lone name or id is one key), at most 64.
std::optional<std::vector<uint32_t>> keys_of(uint8_t msg, PyObject* keys) {
    std::vector<uint32_t> out;
    if (PyUnicode_Check(keys) || PyLong_Check(keys)) {
        const auto id = key_of(msg, keys);
        if (!id) return std::nullopt;
        out.push_back(*id);
        return out;
    }
    Ref it = Ref::steal(PyObject_GetIter(keys));
    if (!it) {
        PyErr_Format(PyExc_TypeError, "%s: keys must be an iterable of names or ids, not %.100s",
                     ubx::identity(0x06, msg).c_str(), Py_TYPE(keys)->tp_name);
        return std::nullopt;
    }
    while (Ref k = Ref::steal(PyIter_Next(it.get()))) {
        const auto id = key_of(msg, k.get());
        if (!id) return std::nullopt;
        if (out.size() == ubx::kMaxKeys) {
            fail(msg, "more than " + std::to_string(ubx::kMaxKeys) + " keys (the next is " +
                          ubx::key_name(*id) + ")");
        }
        out.push_back(*id);
    }
    if (PyErr_Occurred()) return std::nullopt;
    return out;
}

// Key/value pairs from a mapping key (name or id) -> value, at most 64, in its order.
std::optional<std::vector<ubx::KeyValue>> pairs_of(uint8_t msg, PyObject* values) {
    if (!PyDict_Check(values) && (!PyMapping_Check(values) || PySequence_Check(values))) {
        PyErr_Format(PyExc_TypeError, "%s: values must be a mapping key -> value, not %.100s",
                     ubx::identity(0x06, msg).c_str(), Py_TYPE(values)->tp_name);
        return std::nullopt;
    }
    Ref items = Ref::steal(PyMapping_Items(values));
    if (!items) return std::nullopt;
    const Py_ssize_t n = PyList_GET_SIZE(items.get());
    std::vector<ubx::KeyValue> kvs;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
            PyErr_SetString(PyExc_TypeError, "configuration values: items() must give pairs");
            return std::nullopt;
        }
        const auto id = key_of(msg, PyTuple_GET_ITEM(item, 0));
        if (!id) return std::nullopt;
        if (kvs.size() == ubx::kMaxKeys) {
            fail(msg, "more than " + std::to_string(ubx::kMaxKeys) +
                          " key/value pairs (the next is " + ubx::key_name(*id) + ")");
        }
        const auto raw = raw_of(msg, *id, PyTuple_GET_ITEM(item, 1));
        if (!raw) return std::nullopt;
        kvs.push_back({*id, *raw});
    }
    return kvs;
}

// The layers bitmask of VALSET / VALDEL: a non-empty combination of RAM, BBR and flash.
void check_layers(uint8_t msg, int layers) {
    if (layers < 1 || layers > 7) {
        fail(msg, "layers " + std::to_string(layers) +
                      " is not a combination of SET_LAYER_RAM (1), SET_LAYER_BBR (2) and "
                      "SET_LAYER_FLASH (4)");
    }
}

// transaction None: version 0; an action 0..3: version 1 with that action.
bool transaction_of(uint8_t msg, PyObject* t, uint8_t* version, uint8_t* action) {
    *version = 0;
    *action = 0;
    if (t == nullptr || t == Py_None) return true;
    if (!PyLong_Check(t) || PyBool_Check(t)) {
        PyErr_Format(PyExc_TypeError, "%s: transaction must be None or an int 0..3, not %.100s",
                     ubx::identity(0x06, msg).c_str(), Py_TYPE(t)->tp_name);
        return false;
    }
    const long v = PyLong_AsLong(t);
    if (v == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
    }
    if (v < 0 || v > 3) {
        fail(msg, "transaction " + repr_of(t) +
                      " is not an action 0..3 (0 none, 1 (re)start, 2 continue, 3 apply)");
    }
    *version = 1;
    *action = static_cast<uint8_t>(v);
    return true;
}

}  // namespace

PyObject* key_value_object(uint32_t id, uint64_t raw) {
    const ubx::KeyType t = ubx::key_type(id);
    if (t == ubx::KeyType::L) return PyBool_FromLong(raw != 0);
    if (ubx::key_type_real(t)) return PyFloat_FromDouble(ubx::key_value_real(t, raw));
    if (ubx::key_type_signed(t)) return PyLong_FromLongLong(ubx::key_value_signed(t, raw));
    return PyLong_FromUnsignedLongLong(raw);
}

PyObject* tail_object(const ubx::MessageDef& def, std::span<const uint8_t> tail) {
    const auto name_of = [](uint32_t id) {
        const std::string n = ubx::key_name(id);
        return Ref::steal(PyUnicode_FromStringAndSize(n.data(), static_cast<Py_ssize_t>(n.size())));
    };
    if (def.tail_kind == ubx::TailKind::Keys) {
        const auto keys = ubx::parse_keys(tail, def.id());
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(keys.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < keys.size(); ++i) {
            Ref n = name_of(keys[i]);
            if (!n) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), n.release());
        }
        return list.release();
    }
    const auto values = ubx::parse_key_values(tail, def.id());
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const ubx::KeyValue& kv : values) {
        Ref n = name_of(kv.id);
        Ref v = Ref::steal(key_value_object(kv.id, kv.raw));
        if (!n || !v || PyDict_SetItem(dict.get(), n.get(), v.get()) < 0) return nullptr;
    }
    return dict.release();
}

std::optional<std::vector<uint8_t>> valset_payload(PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"", "", "transaction", nullptr};
    int layers = 0;
    PyObject* values = nullptr;
    PyObject* transaction = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "iO|$O:valset", const_cast<char**>(kwlist),
                                     &layers, &values, &transaction)) {
        return std::nullopt;
    }
    check_layers(kValset, layers);
    uint8_t version = 0;
    uint8_t action = 0;
    if (!transaction_of(kValset, transaction, &version, &action)) return std::nullopt;
    const auto kvs = pairs_of(kValset, values);
    if (!kvs) return std::nullopt;
    return ubx::valset_payload(static_cast<uint8_t>(layers), *kvs, version, action);
}

std::optional<std::vector<uint8_t>> valget_payload(PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"", "", "position", nullptr};
    int layer = 0;
    PyObject* keys = nullptr;
    int position = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "iO|$i:valget", const_cast<char**>(kwlist),
                                     &layer, &keys, &position)) {
        return std::nullopt;
    }
    if (layer != 0 && layer != 1 && layer != 2 && layer != 7) {
        fail(kValget, "layer " + std::to_string(layer) +
                          " is not POLL_LAYER_RAM (0), _BBR (1), _FLASH (2) or _DEFAULT (7)");
    }
    if (position < 0 || position > 0xFFFF) {
        fail(kValget, "position " + std::to_string(position) + " out of range (0..65535)");
    }
    const auto ids = keys_of(kValget, keys);
    if (!ids) return std::nullopt;
    return ubx::valget_request(static_cast<uint8_t>(layer), static_cast<uint16_t>(position), *ids);
}

std::optional<std::vector<uint8_t>> valdel_payload(PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"", "", "transaction", nullptr};
    int layers = 0;
    PyObject* keys = nullptr;
    PyObject* transaction = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "iO|$O:valdel", const_cast<char**>(kwlist),
                                     &layers, &keys, &transaction)) {
        return std::nullopt;
    }
    check_layers(kValdel, layers);
    uint8_t version = 0;
    uint8_t action = 0;
    if (!transaction_of(kValdel, transaction, &version, &action)) return std::nullopt;
    const auto ids = keys_of(kValdel, keys);
    if (!ids) return std::nullopt;
    return ubx::valdel_payload(static_cast<uint8_t>(layers), *ids, version, action);
}

std::optional<std::vector<uint8_t>> tail_payload(const ubx::MessageDef& def, PyObject* value) {
    std::vector<uint8_t> out;
    if (def.tail_kind == ubx::TailKind::KeyValues) {
        const auto kvs = pairs_of(def.id(), value);
        if (!kvs) return std::nullopt;
        out = ubx::valset_payload(1, *kvs);
    } else {
        const auto ids = keys_of(def.id(), value);
        if (!ids) return std::nullopt;
        out = ubx::valdel_payload(1, *ids);
    }
    out.erase(out.begin(), out.begin() + 4);  // the tail only, without the builders' header
    return out;
}

namespace {

Ref text(std::string_view s) {
    return Ref::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

// (id, type name, scale, unit) of CONFIG_KEYS, with the key's name in front when `named`.
PyObject* key_entry(const ubx::KeyDef& k, bool named) {
    Ref name = named ? text(k.name) : Ref();
    Ref id = Ref::steal(PyLong_FromUnsignedLong(k.id));
    Ref tname = text(ubx::key_type_name(k.type));
    Ref scale = Ref::steal(PyFloat_FromDouble(k.scale));
    Ref unit = text(k.unit);
    if ((named && !name) || !id || !tname || !scale || !unit) return nullptr;
    if (named) return PyTuple_Pack(5, name.get(), id.get(), tname.get(), scale.get(), unit.get());
    return PyTuple_Pack(4, id.get(), tname.get(), scale.get(), unit.get());
}

}  // namespace

PyObject* config_keys_mapping() {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const ubx::KeyDef& k : ubx::config_keys()) {
        Ref entry = Ref::steal(key_entry(k, false));
        if (!entry) return nullptr;
        Ref name = text(k.name);
        if (!name || PyDict_SetItem(dict.get(), name.get(), entry.get()) < 0) return nullptr;
    }
    return PyDictProxy_New(dict.get());
}

PyObject* config_key(PyObject* key) {
    const auto id = key_of(kLookup, key);
    if (!id) return nullptr;
    if (const ubx::KeyDef* k = ubx::find_key(*id)) return key_entry(*k, true);
    // Not in the table: its hex name, the type its size code gives, counted in ones.
    const std::string name = ubx::key_name(*id);
    return key_entry({name, *id, ubx::key_default_type(*id), 1.0, ""}, true);
}

}  // namespace pyubx2
