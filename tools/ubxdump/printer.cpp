// Message lines laid out once per class/id, and the identities --only takes.
#include "printer.hpp"

#include <algorithm>
#include <cstdio>

namespace ubxdump {

namespace {

// Most bytes one value of the field takes in the output. A scalar is a number (32 holds any
// integer or shortest-form floating-point number) or a one-character string; an array field is
// hex or text, whichever is longer.
std::size_t value_max(const ubx::Field& f) {
    return f.count > 1 ? std::max(text_max(f.count), hex_max(f.count))
                       : std::max<std::size_t>(32, text_max(1));
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool same_identity(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return lower(x) == lower(y); });
}

int hex_digit(char c) {
    c = lower(c);
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// "UNKNOWN-0xCC-0xII" (any case) to CC << 8 | II, else -1.
int unknown_key(std::string_view s) {
    constexpr std::string_view kShape = "unknown-0x..-0x..";
    if (s.size() != kShape.size()) return -1;
    int key = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (kShape[i] == '.') {
            const int d = hex_digit(s[i]);
            if (d < 0) return -1;
            key = key << 4 | d;
        } else if (lower(s[i]) != kShape[i]) {
            return -1;
        }
    }
    return key;
}

// s as a JSON string, quotes included.
std::string json_string(std::string_view s) {
    std::string j(text_max(s.size()), '\0');
    j.resize(static_cast<std::size_t>(put_text(j.data(), s) - j.data()));
    return j;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

// A form's variable tail as the last member of "fields": INF text as a string, key lists as an
// array of key names, key/value pairs as an object by key name (unknown keys by hex id), each
// value in its key's type. Rare messages, so a string is made for each. Throws ubx::Error for
// pairs that do not add up.
std::string tail_member(const ubx::MessageDef& def, std::span<const uint8_t> payload,
                        bool after_fields) {
    const std::span<const uint8_t> t = payload.subspan(def.min_len);
    std::string s = after_fields ? "," : "";
    s += json_string(def.tail->name);
    s += ':';
    char buf[64];
    switch (def.tail_kind) {
        case ubx::TailKind::None:
        case ubx::TailKind::Bytes: {
            std::string hex(hex_max(t.size()), '\0');
            hex.resize(static_cast<std::size_t>(put_hex(hex.data(), t) - hex.data()));
            s += hex;
            break;
        }
        case ubx::TailKind::Text:
            s += json_string(ubx::read_tail(def, payload).text());
            break;
        case ubx::TailKind::Keys: {
            s += '[';
            bool first = true;
            for (uint32_t id : ubx::parse_keys(t, def.id())) {
                if (!first) s += ',';
                first = false;
                s += json_string(ubx::key_name(id));
            }
            s += ']';
            break;
        }
        case ubx::TailKind::KeyValues: {
            s += '{';
            bool first = true;
            for (const ubx::KeyValue& kv : ubx::parse_key_values(t, def.id())) {
                if (!first) s += ',';
                first = false;
                s += json_string(ubx::key_name(kv.id));
                s += ':';
                const ubx::KeyType type = ubx::key_type(kv.id);
                char* end = buf;
                if (type == ubx::KeyType::L)
                    end = put(buf, kv.raw ? "true" : "false");
                else if (ubx::key_type_real(type))
                    end =
                        put_real(buf, ubx::key_value_real(type, kv.raw), type == ubx::KeyType::R4);
                else if (ubx::key_type_signed(type))
                    end = put_int(buf, ubx::key_value_signed(type, kv.raw));
                else
                    end = put_uint(buf, kv.raw);
                s.append(buf, end);
            }
            s += '}';
            break;
        }
    }
    return s;
}

}  // namespace

const Printer::KeyPlan& Printer::plan(uint8_t cls, uint8_t id) {
    auto& slot = plans_[cls << 8 | id];
    if (slot) return *slot;
    auto k = std::make_unique<KeyPlan>();
    char nums[48];
    std::snprintf(nums, sizeof nums, ",\"class\":%u,\"id\":%u,\"length\":", cls, id);
    k->head = "{\"identity\":" + json_string(ubx::identity(cls, id)) + nums;
    for (const ubx::MessageDef& def : ubx::forms_of(cls, id)) {
        FormPlan fp{&def, {}, {}, 0, 0};
        for (const bool in_block : {false, true}) {
            const auto fields = in_block ? def.block : def.fields;
            auto& list = in_block ? fp.block : fp.fields;
            std::size_t& max = in_block ? fp.block_max : fp.fields_max;
            for (const ubx::Field& f : fields) {
                const std::size_t at = k->keys.size();
                if (&f != fields.data()) k->keys += ',';
                k->keys += json_string(f.name);
                k->keys += ':';
                list.push_back(
                    {&f, static_cast<uint32_t>(at), static_cast<uint32_t>(k->keys.size() - at)});
                max += k->keys.size() - at + value_max(f);
            }
        }
        k->forms.push_back(std::move(fp));
    }
    k->keys.append(kShort, '\0');  // put_short reads this far past the last key
    slot = std::move(k);
    return *slot;
}

char* Printer::put_fields(char* p, const std::vector<FieldPlan>& fields, const char* keys,
                          const uint8_t* base) {
    for (const FieldPlan& fp : fields) {
        if (fp.key_len <= kShort)
            p = put_short(p, keys + fp.key_at, fp.key_len);
        else
            p = put(p, std::string_view(keys + fp.key_at, fp.key_len));
        const ubx::Value v = ubx::read_field(*fp.field, base);
        if (v.real) {
            p = put_real(p, v.r, fp.field->type == ubx::Type::R4);
            continue;
        }
        switch (v.kind) {
            case ubx::Value::Kind::Int:
                p = put_int(p, v.i);
                break;
            case ubx::Value::Kind::Text:
                p = put_text(p, v.text());
                break;
            case ubx::Value::Kind::Bytes:
                p = put_hex(p, v.bytes);
                break;
        }
    }
    return p;
}

namespace {
constexpr std::string_view kFields = ",\"fields\":{";
constexpr std::string_view kBlocks = ",\"blocks\":[";
constexpr std::string_view kPayload = ",\"payload\":";
constexpr std::string_view kError = ",\"error\":";
constexpr std::string_view kRaw = ",\"raw\":";
}  // namespace

void Printer::print(Out& out, const ubx::Frame& f) {
    const KeyPlan& k = plan(f.cls, f.id);
    const std::size_t len = f.payload.size();
    const FormPlan* form = nullptr;
    for (const FormPlan& fp : k.forms) {
        if (fp.def->admits(f.payload)) {
            form = &fp;
            break;
        }
    }
    if (!form && !k.forms.empty()) {
        print_error(out, k, f);
        return;
    }
    const ubx::MessageDef* def = form ? form->def : nullptr;
    const std::size_t blocks = def && def->block_size ? (len - def->min_len) / def->block_size : 0;
    std::string tail;
    if (def && def->tail) {
        try {
            tail = tail_member(*def, f.payload, !form->fields.empty());
        } catch (const ubx::Error&) {
            print_error(out, k, f);
            return;
        }
    }
    std::size_t need = k.head.size() + kIntMax + 1;
    if (form) {
        need += kFields.size() + form->fields_max + tail.size() + 1;
        if (def->block_size) need += kBlocks.size() + blocks * (form->block_max + 3) + 1;
    } else {
        need += kPayload.size() + hex_max(len);
    }
    if (raw_) need += kRaw.size() + hex_max(f.raw.size());

    char* p = out.reserve(need);
    p = put(p, k.head);
    p = put_int(p, static_cast<int64_t>(len));
    if (form) {
        p = put(p, kFields);
        p = put_fields(p, form->fields, k.keys.data(), f.payload.data());
        p = put(p, tail);
        *p++ = '}';
        if (def->block_size) {
            p = put(p, kBlocks);
            const uint8_t* base = f.payload.data() + def->min_len;
            for (std::size_t b = 0; b < blocks; ++b, base += def->block_size) {
                if (b) *p++ = ',';
                *p++ = '{';
                p = put_fields(p, form->block, k.keys.data(), base);
                *p++ = '}';
            }
            *p++ = ']';
        }
    } else {
        p = put(p, kPayload);
        p = put_hex(p, f.payload);
    }
    end_line(out, p, f);
}

// The frame as a whole when asked for, and the line's end.
void Printer::end_line(Out& out, char* p, const ubx::Frame& f) const {
    if (raw_) {
        p = put(p, kRaw);
        p = put_hex(p, f.raw);
    }
    *p++ = '}';
    out.commit_line(p);
}

// A catalogued class/id with a length no form has: the codec's own account of it, and the
// payload as it came.
void Printer::print_error(Out& out, const KeyPlan& k, const ubx::Frame& f) {
    std::string what = "no form of this message has this length";
    try {
        (void)ubx::decode(f);
    } catch (const ubx::Error& e) {
        what = e.what();
    }
    std::size_t need = k.head.size() + kIntMax + kError.size() + text_max(what.size()) +
                       kPayload.size() + hex_max(f.payload.size()) + 1;
    if (raw_) need += kRaw.size() + hex_max(f.raw.size());
    char* p = out.reserve(need);
    p = put(p, k.head);
    p = put_int(p, static_cast<int64_t>(f.payload.size()));
    p = put(p, kError);
    p = put_text(p, what);
    p = put(p, kPayload);
    p = put_hex(p, f.payload);
    end_line(out, p, f);
}

std::vector<std::string_view> known_identities() {
    std::vector<std::string_view> names;
    for (const ubx::MessageDef& m : ubx::catalogue)
        names.push_back(m.name);
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

std::string Selection::add(std::string_view list) {
    std::vector<int> found;
    std::string_view rest = list;
    while (true) {
        const std::size_t comma = rest.find(',');
        const std::string_view name = trim(rest.substr(0, comma));
        const std::size_t before = found.size();
        for (const ubx::MessageDef& m : ubx::catalogue) {
            if (same_identity(name, m.name)) found.push_back(m.key);
        }
        if (found.size() == before) {
            const int key = unknown_key(name);
            if (key < 0) {
                std::string err = name.empty()
                                      ? "empty identity in --only \"" + std::string(list) + "\""
                                      : "unknown identity \"" + std::string(name) + "\" in --only";
                err += "; known identities: ";
                bool first = true;
                for (std::string_view known : known_identities()) {
                    if (!first) err += ", ";
                    first = false;
                    err += known;
                }
                err += " (and UNKNOWN-0xCC-0xII for a class/id outside the catalogue)";
                return err;
            }
            found.push_back(key);
        }
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    for (int key : found)
        keys_[static_cast<std::size_t>(key)] = true;
    any_ = true;
    return {};
}

}  // namespace ubxdump
