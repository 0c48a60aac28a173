// The table-driven message builder.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

#include "ubx/build.hpp"
#include "ubx/error.hpp"
#include "ubx/keys.hpp"
#include "ubx/le.hpp"
#include "util.hpp"

namespace ubx {

namespace {

constexpr uint8_t mode_bit(Mode m) {
    return static_cast<uint8_t>(1u << static_cast<unsigned>(m));
}

const char* mode_name(Mode m) {
    switch (m) {
        case Mode::Get:
            return "GET";
        case Mode::Set:
            return "SET";
        default:
            return "POLL";
    }
}

[[noreturn]] void fail(Errc code, const MessageDef& m, std::size_t len, const std::string& what) {
    throw Error(code, m.cls(), m.id(), len, detail::msg_label(m.cls(), m.id()) + ": " + what);
}

std::optional<FieldRef> resolve(const MessageDef& m, std::string_view name) noexcept {
    return find_field(m, name);
}

// An integer a double holds exactly (and a float too, for R4).
bool exact_real(Type t, int64_t i, double* out) {
    const auto d = static_cast<double>(i);
    if (d >= 0x1p63 || d < -0x1p63 || static_cast<int64_t>(d) != i) return false;
    if (t == Type::R4 && static_cast<double>(static_cast<float>(d)) != d) return false;
    *out = d;
    return true;
}

void put_real(const MessageDef& m, uint8_t* p, const Field& f, const std::string& fname,
              const Value& v, std::size_t len) {
    double d = v.r;
    if (!v.real && (v.kind != Value::Kind::Int || !exact_real(f.type, v.i, &d))) {
        fail(Errc::BadValue, m, len,
             "field '" + fname + "' takes a number" +
                 (v.kind == Value::Kind::Int ? " that an R4/R8 holds exactly" : ""));
    }
    if (f.type == Type::R8) {
        le::store<double>(p, d);
        return;
    }
    if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max()) {
        fail(Errc::BadValue, m, len, "value out of range for R4 field '" + fname + "'");
    }
    le::store<float>(p, static_cast<float>(d));
}

void put(const MessageDef& m, std::vector<uint8_t>& out, const FieldRef& s, const Value& v) {
    const Field& f = *s.field;
    const std::size_t at =
        f.offset + (s.block ? m.min_len + (s.block - 1) * m.block_size : std::size_t{0});
    const std::string fname = s.name();
    uint8_t* p = out.data() + at;
    if (f.count > 1 || f.type == Type::CH) {
        const bool text = f.type == Type::CH;
        if (v.kind != (text ? Value::Kind::Text : Value::Kind::Bytes) || v.real) {
            fail(Errc::BadValue, m, out.size(),
                 "field '" + fname + "' takes " + (text ? "text" : "bytes"));
        }
        if (v.bytes.size() > f.count) {
            fail(Errc::BadValue, m, out.size(),
                 "field '" + fname + "' holds at most " + std::to_string(f.count) + " bytes, got " +
                     std::to_string(v.bytes.size()));
        }
        std::fill_n(p, f.count, uint8_t{0});
        le::Writer(std::span(out)).put_bytes(at, v.bytes);
        return;
    }
    if (type_real(f.type)) return put_real(m, p, f, fname, v, out.size());
    if (v.kind != Value::Kind::Int || v.real) {
        fail(Errc::BadValue, m, out.size(), "field '" + fname + "' takes an integer");
    }
    const std::size_t size = type_size(f.type);
    const unsigned bits = static_cast<unsigned>(size * 8);
    int64_t lo = 0;
    int64_t hi = static_cast<int64_t>((uint64_t{1} << bits) - 1);
    if (f.mask != 0) {
        hi = static_cast<int64_t>(f.mask >> std::countr_zero(f.mask));
    } else if (type_signed(f.type)) {
        lo = -(int64_t{1} << (bits - 1));
        hi = (int64_t{1} << (bits - 1)) - 1;
    }
    if (v.i < lo || v.i > hi) {
        fail(Errc::BadValue, m, out.size(),
             "value " + std::to_string(v.i) + " out of range for field '" + fname + "' (" +
                 std::to_string(lo) + ".." + std::to_string(hi) + ")");
    }
    auto raw = static_cast<uint64_t>(v.i);
    if (f.mask != 0) {
        const uint64_t cur = le::load_n(p, size);
        raw = (cur & ~uint64_t{f.mask}) | ((raw << std::countr_zero(f.mask)) & f.mask);
    }
    le::store_n(p, raw, size);
}

// The field that tells a form from others of the same length: the plain one at match_at.
const Field* match_field(const MessageDef& m) noexcept {
    if (m.match == 0) return nullptr;
    for (const Field& f : m.fields) {
        if (f.offset == m.match_at && f.mask == 0) return &f;
    }
    return nullptr;
}

// False when a value given for the form's discriminating field is one the form does not take.
bool match_ok(const MessageDef& m, std::span<const NamedValue> fields) noexcept {
    const Field* d = match_field(m);
    if (d == nullptr) return true;
    for (const NamedValue& nv : fields) {
        if (nv.name != d->name || nv.value.kind != Value::Kind::Int || nv.value.real) continue;
        if (nv.value.i < 0 || nv.value.i > 255 || !m.matches(static_cast<uint8_t>(nv.value.i)))
            return false;
    }
    return true;
}

// Whether a field (or the tail) takes a value of this kind and size.
bool takes(const MessageDef& m, const Field& f, const Value& v) noexcept {
    if (&f == m.tail) {
        return !v.real &&
               v.kind == (m.tail_kind == TailKind::Text ? Value::Kind::Text : Value::Kind::Bytes);
    }
    if (type_real(f.type)) return v.real || v.kind == Value::Kind::Int;
    if (f.count > 1 || f.type == Type::CH) {
        return !v.real && v.kind == (f.type == Type::CH ? Value::Kind::Text : Value::Kind::Bytes) &&
               v.bytes.size() <= f.count;
    }
    return !v.real && v.kind == Value::Kind::Int;
}

// The tail's bytes: the last value given under the tail's name, checked for its kind.
std::span<const uint8_t> tail_bytes(const MessageDef& m, std::span<const NamedValue> fields) {
    if (m.tail == nullptr) return {};
    const NamedValue* given = nullptr;
    for (const NamedValue& nv : fields) {
        if (nv.name == m.tail->name) given = &nv;
    }
    if (given == nullptr) return {};
    const bool text = m.tail_kind == TailKind::Text;
    if (given->value.kind != (text ? Value::Kind::Text : Value::Kind::Bytes) || given->value.real) {
        fail(Errc::BadValue, m, m.min_len,
             "field '" + std::string(m.tail->name) + "' takes " + (text ? "text" : "bytes"));
    }
    const auto b = given->value.bytes;
    if (m.tail_kind == TailKind::Keys && b.size() % 4 != 0) {
        fail(Errc::BadValue, m, m.min_len + b.size(),
             "field 'keys' takes key ids of 4 bytes each, got " + std::to_string(b.size()) +
                 " bytes");
    }
    if (m.tail_kind == TailKind::KeyValues) parse_key_values(b, m.id());
    return b;
}

std::vector<uint8_t> fill(const MessageDef& form, std::size_t blocks,
                          std::span<const NamedValue> fields) {
    // Compared as a count: the block number comes from the caller's field name ("cno_<k>"),
    // and k times the block size can wrap around to a small length.
    const std::size_t room =
        form.block_size ? (form.max_len - form.min_len) / form.block_size : std::size_t{0};
    if (blocks > room) {
        fail(Errc::BadValue, form, form.max_len,
             std::to_string(blocks) + " repeated blocks exceed the longest form (" +
                 std::to_string(form.max_len) + " bytes)");
    }
    if (blocks < form.min_blocks) {
        fail(Errc::BadValue, form, form.min_len + blocks * form.block_size,
             "this form takes at least " + std::to_string(form.min_blocks) +
                 " repeated blocks, got " + std::to_string(blocks));
    }
    const auto tail = tail_bytes(form, fields);
    const std::size_t len = form.min_len + blocks * form.block_size + tail.size();
    if (len > form.max_len) {
        fail(Errc::BadValue, form, len,
             "a " + std::to_string(len) + "-byte payload exceeds the longest form (" +
                 std::to_string(form.max_len) + " bytes)");
    }
    std::vector<uint8_t> out(len);
    le::Writer(std::span(out)).put_bytes(form.min_len, tail);
    for (const Field& f : form.fields) {
        if (f.fixed != 0) put(form, out, {&f, 0}, Value(f.fixed));
    }
    // Whole bit-field words first, so that named bits given beside them land on top.
    for (int pass = 0; pass < 2; ++pass) {
        for (const NamedValue& nv : fields) {
            const auto s = resolve(form, nv.name);
            if (s->field == form.tail) continue;
            if ((s->field->mask != 0) == (pass == 1)) put(form, out, *s, nv.value);
        }
    }
    return out;
}

}  // namespace

std::vector<uint8_t> build_payload(const MessageDef& form, std::span<const NamedValue> fields) {
    std::size_t blocks = 0;
    for (const NamedValue& nv : fields) {
        const auto s = resolve(form, nv.name);
        if (!s) {
            fail(Errc::UnknownField, form, form.min_len,
                 "the " + std::to_string(form.min_len) + "-byte form has no field '" +
                     std::string(nv.name) + "'");
        }
        blocks = std::max(blocks, s->block);
    }
    if (!match_ok(form, fields)) {
        fail(
            Errc::BadValue, form, form.min_len,
            "this form does not take that value of '" + std::string(match_field(form)->name) + "'");
    }
    return fill(form, blocks, fields);
}

std::vector<uint8_t> build_payload(uint8_t cls, uint8_t id, Mode mode,
                                   std::span<const NamedValue> fields) {
    if (static_cast<unsigned>(mode) > 2) {
        throw Error(Errc::BadValue, cls, id, 0,
                    detail::msg_label(cls, id) + ": mode " +
                        std::to_string(static_cast<unsigned>(mode)) +
                        " is not GET (0), SET (1) or POLL (2)");
    }
    if (fields.size() == 1 && fields[0].name == "payload") {
        if (fields[0].value.kind != Value::Kind::Bytes) {
            throw Error(Errc::BadValue, cls, id, 0,
                        detail::msg_label(cls, id) + ": 'payload' takes bytes");
        }
        if (fields[0].value.bytes.size() > 0xFFFF) {
            throw Error(Errc::BadLength, cls, id, fields[0].value.bytes.size(),
                        detail::msg_label(cls, id) + ": payload longer than 65535 bytes");
        }
        return {fields[0].value.bytes.begin(), fields[0].value.bytes.end()};
    }
    const auto forms = forms_of(cls, id);
    if (fields.empty() && (forms.empty() || mode == Mode::Poll)) return {};
    if (forms.empty()) {
        throw Error(Errc::UnknownField, cls, id, 0,
                    detail::msg_label(cls, id) + " is not in the catalogue: no field '" +
                        std::string(fields[0].name) + "' (only 'payload' can be given)");
    }
    // An unknown name is reported as such, whatever the mode.
    for (const NamedValue& nv : fields) {
        const bool known = std::any_of(forms.begin(), forms.end(), [&](const MessageDef& m) {
            return resolve(m, nv.name).has_value();
        });
        if (!known) {
            throw Error(
                Errc::UnknownField, cls, id, 0,
                detail::msg_label(cls, id) + " has no field '" + std::string(nv.name) + "'");
        }
    }
    // First choice: a form whose fields take the values as given; failing that, the first that
    // holds the names, so that put() says what is wrong with the value.
    const MessageDef* form = nullptr;
    const MessageDef* holds = nullptr;
    const MessageDef* refused = nullptr;  // holds the fields, not the discriminating value
    for (const MessageDef& m : forms) {
        if (!(m.modes & mode_bit(mode))) continue;
        bool all = true;
        bool kinds = true;
        for (const NamedValue& nv : fields) {
            const auto s = resolve(m, nv.name);
            if (!s) {
                all = false;
                break;
            }
            kinds = kinds && takes(m, *s->field, nv.value);
        }
        if (!all) continue;
        if (!match_ok(m, fields)) {
            if (!refused) refused = &m;
            continue;
        }
        if (!holds) holds = &m;
        if (kinds) {
            form = &m;
            break;
        }
    }
    if (form == nullptr) form = holds;
    if (form == nullptr && refused != nullptr) {
        fail(Errc::BadValue, *refused, 0,
             std::string("no ") + mode_name(mode) + " form takes that value of '" +
                 std::string(match_field(*refused)->name) + "'");
    }
    if (form == nullptr) {
        std::string names;
        for (const NamedValue& nv : fields)
            names += (names.empty() ? "'" : ", '") + std::string(nv.name) + "'";
        throw Error(Errc::FieldConflict, cls, id, 0,
                    detail::msg_label(cls, id) + " has no " + mode_name(mode) +
                        " form holding all of " + names);
    }
    std::size_t blocks = 0;
    for (const NamedValue& nv : fields)
        blocks = std::max(blocks, resolve(*form, nv.name)->block);
    return fill(*form, blocks, fields);
}

std::vector<uint8_t> build_frame(uint8_t cls, uint8_t id, Mode mode,
                                 std::span<const NamedValue> fields) {
    return make_frame(cls, id, build_payload(cls, id, mode, fields));
}

}  // namespace ubx
