// Configuration by key for libs.pyubx2: Python values to CFG-VALSET / VALGET / VALDEL payloads
// and decoded key lists back to Python objects (ubx/keys.hpp does the bytes).
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "ubx/ubx.hpp"

namespace pyubx2 {

// A configuration value as Python sees it: L as bool, R4/R8 as float, the rest as int (signed
// for I types), by the key's type (an unknown key's by its size code). New reference.
PyObject* key_value_object(uint32_t id, uint64_t raw);

// The tail of a decoded CFG-VALSET / VALGET / VALDEL: cfgData as a dict key name -> value in
// wire order, keys as a list of names. New reference; nullptr with an exception set.
PyObject* tail_object(const ubx::MessageDef& def, std::span<const uint8_t> tail);

// Payloads from the classmethods' arguments. Input a receiver cannot take (an unknown key
// name, a value outside its key's range or of the wrong type, more than 64 items, a bad layer)
// throws ubx::Error naming the key; nullopt means a Python exception is already set.
std::optional<std::vector<uint8_t>> valset_payload(PyObject* args, PyObject* kwargs);
std::optional<std::vector<uint8_t>> valget_payload(PyObject* args, PyObject* kwargs);
std::optional<std::vector<uint8_t>> valdel_payload(PyObject* args, PyObject* kwargs);

// The wire bytes of a key/value tail given as a mapping, or of a key tail given as an
// iterable of names or ids, for the generic constructor (UBXMessage(6, 0x8A, SET, ...,
// cfgData={...})). Errors as for the classmethods.
std::optional<std::vector<uint8_t>> tail_payload(const ubx::MessageDef& def, PyObject* value);

// CONFIG_KEYS: a read-only mapping key name -> (id, type name, scale, unit). New reference.
PyObject* config_keys_mapping();

// config_key(key): (name, id, type name, scale, unit) of a key given by table name, hex-id
// name or id; a key the table does not know gets its hex name, the type of its size code,
// scale 1 and no unit. An unknown name or an illegal id throws ubx::Error; nullptr with a
// Python exception set for a key of the wrong type. New reference.
PyObject* config_key(PyObject* key);

}  // namespace pyubx2
