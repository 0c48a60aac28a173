// Key table look-ups, value conversions and the VALSET / VALGET / VALDEL payloads.
#include "ubx/keys.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <limits>

#include "ubx/error.hpp"
#include "ubx/le.hpp"
#include "util.hpp"

namespace ubx {

namespace {

constexpr uint8_t kCfg = 0x06;
constexpr uint8_t kValset = 0x8A;
constexpr uint8_t kValget = 0x8B;
constexpr uint8_t kValdel = 0x8C;

std::string hex_id(uint32_t id) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", id);
    return buf;
}

[[noreturn]] void fail(Errc code, uint8_t id, std::size_t len, const std::string& what) {
    throw Error(code, kCfg, id, len, detail::msg_label(kCfg, id) + ": " + what);
}

void check_count(uint8_t msg, std::size_t n, const char* what) {
    if (n > kMaxKeys) {
        fail(Errc::BadValue, msg, 0,
             std::to_string(n) + " " + what + ", at most " + std::to_string(kMaxKeys) +
                 " go into one message");
    }
}

std::size_t checked_size(uint8_t msg, uint32_t id) {
    const std::size_t n = key_value_size(id);
    if (n == 0) fail(Errc::BadValue, msg, 0, "key " + hex_id(id) + " has an illegal size code");
    return n;
}

std::vector<uint8_t> header(uint8_t version, uint8_t second, uint8_t third, uint8_t fourth) {
    std::vector<uint8_t> out{version, second, third, fourth};
    return out;
}

void append_values(uint8_t msg, std::vector<uint8_t>& out, std::span<const KeyValue> values) {
    check_count(msg, values.size(), "key/value pairs");
    for (const KeyValue& kv : values) {
        const std::size_t n = checked_size(msg, kv.id);
        if (n < 8 && (kv.raw >> (8 * n)) != 0) {
            fail(Errc::BadValue, msg, 0,
                 "value of " + key_name(kv.id) + " does not fit in " + std::to_string(n) +
                     (n == 1 ? " byte" : " bytes"));
        }
        const std::size_t at = out.size();
        out.resize(at + 4 + n);
        le::store<uint32_t>(out.data() + at, kv.id);
        le::store_n(out.data() + at + 4, kv.raw, n);
    }
}

void append_keys(uint8_t msg, std::vector<uint8_t>& out, std::span<const uint32_t> keys) {
    check_count(msg, keys.size(), "keys");
    for (const uint32_t id : keys) {
        checked_size(msg, id);
        const std::size_t at = out.size();
        out.resize(at + 4);
        le::store<uint32_t>(out.data() + at, id);
    }
}

uint8_t version_and_action(uint8_t msg, uint8_t version, uint8_t transaction, uint8_t* action) {
    if (version > 1) fail(Errc::BadValue, msg, 0, "version must be 0 or 1");
    if (transaction > 3) fail(Errc::BadValue, msg, 0, "transaction action must be 0..3");
    *action = version == 1 ? transaction : 0;
    return version;
}

}  // namespace

std::string_view key_type_name(KeyType t) noexcept {
    static constexpr std::string_view kNames[] = {"L",  "U1", "I1", "E1", "X1", "U2",
                                                  "I2", "E2", "X2", "U4", "I4", "E4",
                                                  "X4", "R4", "U8", "I8", "X8", "R8"};
    const auto i = static_cast<std::size_t>(t);
    return i < std::size(kNames) ? kNames[i] : std::string_view("?");
}

const KeyDef* find_key(uint32_t id) noexcept {
    const auto keys = config_keys();
    const auto it = std::lower_bound(keys.begin(), keys.end(), id,
                                     [](const KeyDef& k, uint32_t v) { return k.id < v; });
    return it != keys.end() && it->id == id ? &*it : nullptr;
}

const KeyDef* find_key(std::string_view name) noexcept {
    for (const KeyDef& k : config_keys()) {
        if (k.name == name) return &k;
    }
    return nullptr;
}

std::optional<uint32_t> key_id(std::string_view name) noexcept {
    if (const KeyDef* k = find_key(name)) return k->id;
    if (name.size() < 3 || name.size() > 10 || name[0] != '0' || (name[1] != 'x' && name[1] != 'X'))
        return std::nullopt;
    uint32_t id = 0;
    const char* first = name.data() + 2;
    const char* last = name.data() + name.size();
    const auto [end, ec] = std::from_chars(first, last, id, 16);
    if (ec != std::errc() || end != last || key_value_size(id) == 0) return std::nullopt;
    return id;
}

std::string key_name(uint32_t id) {
    if (const KeyDef* k = find_key(id)) return std::string(k->name);
    return hex_id(id);
}

KeyType key_type(uint32_t id) noexcept {
    if (const KeyDef* k = find_key(id)) return k->type;
    return key_default_type(id);
}

int64_t key_value_signed(KeyType t, uint64_t raw) noexcept {
    if (!key_type_signed(t)) return static_cast<int64_t>(raw);
    const unsigned bits = static_cast<unsigned>(key_type_size(t) * 8);
    if (bits == 64) return static_cast<int64_t>(raw);
    const uint64_t sign = uint64_t{1} << (bits - 1);
    const uint64_t v = raw & ((uint64_t{1} << bits) - 1);
    return static_cast<int64_t>((v ^ sign) - sign);
}

double key_value_real(KeyType t, uint64_t raw) noexcept {
    if (t == KeyType::R4) return std::bit_cast<float>(static_cast<uint32_t>(raw));
    if (t == KeyType::R8) return std::bit_cast<double>(raw);
    return key_type_signed(t) ? static_cast<double>(key_value_signed(t, raw))
                              : static_cast<double>(raw);
}

std::optional<uint64_t> key_raw_signed(KeyType t, int64_t v) noexcept {
    if (key_type_real(t)) return std::nullopt;
    if (!key_type_signed(t)) {
        if (v < 0) return std::nullopt;
        return key_raw_unsigned(t, static_cast<uint64_t>(v));
    }
    const unsigned bits = static_cast<unsigned>(key_type_size(t) * 8);
    if (bits < 64) {
        const int64_t hi = (int64_t{1} << (bits - 1)) - 1;
        if (v < -hi - 1 || v > hi) return std::nullopt;
        return static_cast<uint64_t>(v) & ((uint64_t{1} << bits) - 1);
    }
    return static_cast<uint64_t>(v);
}

std::optional<uint64_t> key_raw_unsigned(KeyType t, uint64_t v) noexcept {
    if (key_type_real(t)) return std::nullopt;
    if (t == KeyType::L) return v <= 1 ? std::optional<uint64_t>(v) : std::nullopt;
    const unsigned bits = static_cast<unsigned>(key_type_size(t) * 8);
    const uint64_t hi = key_type_signed(t) ? (uint64_t{1} << (bits - 1)) - 1
                        : bits == 64       ? std::numeric_limits<uint64_t>::max()
                                           : (uint64_t{1} << bits) - 1;
    if (v > hi) return std::nullopt;
    return v;
}

uint64_t key_raw_real(KeyType t, double v) noexcept {
    if (t == KeyType::R4) return std::bit_cast<uint32_t>(static_cast<float>(v));
    return std::bit_cast<uint64_t>(v);
}

std::vector<KeyValue> parse_key_values(std::span<const uint8_t> cfg_data, uint8_t msg_id) {
    std::vector<KeyValue> out;
    le::Reader in(cfg_data);
    while (!in.done()) {
        const std::size_t at = in.pos();
        const auto id = in.read<uint32_t>();
        if (!id) {
            fail(Errc::BadLength, msg_id, cfg_data.size(),
                 "configuration data ends inside a key id at byte " + std::to_string(at));
        }
        const std::size_t n = key_value_size(*id);
        if (n == 0) {
            fail(Errc::BadValue, msg_id, cfg_data.size(),
                 "key " + hex_id(*id) + " at byte " + std::to_string(at) +
                     " has an illegal size code");
        }
        const auto raw = in.read_n(n);
        if (!raw) {
            fail(Errc::BadLength, msg_id, cfg_data.size(),
                 "configuration data ends inside the value of " + key_name(*id));
        }
        out.push_back({*id, *raw});
    }
    return out;
}

std::vector<uint32_t> parse_keys(std::span<const uint8_t> keys, uint8_t msg_id) {
    if (keys.size() % 4 != 0) {
        fail(Errc::BadLength, msg_id, keys.size(),
             "key list of " + std::to_string(keys.size()) + " bytes is not a multiple of 4");
    }
    std::vector<uint32_t> out;
    out.reserve(keys.size() / 4);
    le::Reader in(keys);
    while (const auto id = in.read<uint32_t>())
        out.push_back(*id);
    return out;
}

namespace {
// CFG-VALGET's header: version (0 request, 1 answer), layer, position (U2).
std::vector<uint8_t> valget_header(uint8_t version, uint8_t layer, uint16_t position) {
    return header(version, layer, static_cast<uint8_t>(position),
                  static_cast<uint8_t>(position >> 8));
}
}  // namespace

std::vector<uint8_t> valset_payload(uint8_t layers, std::span<const KeyValue> values,
                                    uint8_t version, uint8_t transaction) {
    uint8_t action = 0;
    version = version_and_action(kValset, version, transaction, &action);
    auto out = header(version, layers, action, 0);
    append_values(kValset, out, values);
    return out;
}

std::vector<uint8_t> valget_request(uint8_t layer, uint16_t position,
                                    std::span<const uint32_t> keys) {
    auto out = valget_header(0, layer, position);
    append_keys(kValget, out, keys);
    return out;
}

std::vector<uint8_t> valget_answer(uint8_t layer, uint16_t position,
                                   std::span<const KeyValue> values) {
    auto out = valget_header(1, layer, position);
    append_values(kValget, out, values);
    return out;
}

std::vector<uint8_t> valdel_payload(uint8_t layers, std::span<const uint32_t> keys, uint8_t version,
                                    uint8_t transaction) {
    uint8_t action = 0;
    version = version_and_action(kValdel, version, transaction, &action);
    auto out = header(version, layers, action, 0);
    append_keys(kValdel, out, keys);
    return out;
}

}  // namespace ubx
