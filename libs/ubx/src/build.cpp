// The table-driven message builder.
#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#include "ubx/build.hpp"
#include "ubx/error.hpp"
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

// Where a named field lives in one form: the row and the block (0: not repeated).
struct Slot {
    const Field* field = nullptr;
    std::size_t block = 0;
};

Slot resolve(const MessageDef& m, std::string_view name) {
    for (const Field& f : m.fields) {
        if (f.name == name) return {&f, 0};
    }
    if (m.block.empty()) return {};
    const auto split = split_block_name(name);
    if (!split) return {};
    for (const Field& f : m.block) {
        if (f.name == split->first) return {&f, split->second};
    }
    return {};
}

[[noreturn]] void fail(Errc code, const MessageDef& m, std::size_t len, const std::string& what) {
    throw Error(code, m.cls(), m.id(), len, detail::msg_label(m.cls(), m.id()) + ": " + what);
}

void put(const MessageDef& m, std::vector<uint8_t>& out, const Slot& s, const Value& v) {
    const Field& f = *s.field;
    const std::size_t at =
        f.offset + (s.block ? m.min_len + (s.block - 1) * m.block_size : std::size_t{0});
    const std::string fname = FieldRef{&f, s.block}.name();
    uint8_t* p = out.data() + at;
    if (f.count > 1 || f.type == Type::CH) {
        const bool text = f.type == Type::CH;
        if (v.kind != (text ? Value::Kind::Text : Value::Kind::Bytes)) {
            fail(Errc::BadValue, m, out.size(),
                 "field '" + fname + "' takes " + (text ? "text" : "bytes"));
        }
        if (v.bytes.size() > f.count) {
            fail(Errc::BadValue, m, out.size(),
                 "field '" + fname + "' holds at most " + std::to_string(f.count) + " bytes, got " +
                     std::to_string(v.bytes.size()));
        }
        std::fill_n(p, f.count, uint8_t{0});
        if (!v.bytes.empty()) std::memcpy(p, v.bytes.data(), v.bytes.size());
        return;
    }
    if (v.kind != Value::Kind::Int) {
        fail(Errc::BadValue, m, out.size(), "field '" + fname + "' takes an integer");
    }
    const unsigned bits = static_cast<unsigned>(type_size(f.type) * 8);
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
    uint32_t raw = static_cast<uint32_t>(v.i);
    if (f.mask != 0) {
        uint32_t cur = 0;
        std::memcpy(&cur, p, type_size(f.type));
        raw = (cur & ~f.mask) | ((raw << std::countr_zero(f.mask)) & f.mask);
    }
    std::memcpy(p, &raw, type_size(f.type));  // little-endian host: low bytes first
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
    const std::size_t len = form.min_len + blocks * form.block_size;
    std::vector<uint8_t> out(len);
    for (const Field& f : form.fields) {
        if (f.fixed != 0) put(form, out, {&f, 0}, Value(f.fixed));
    }
    // Whole bit-field words first, so that named bits given beside them land on top.
    for (int pass = 0; pass < 2; ++pass) {
        for (const NamedValue& nv : fields) {
            const Slot s = resolve(form, nv.name);
            if ((s.field->mask != 0) == (pass == 1)) put(form, out, s, nv.value);
        }
    }
    return out;
}

}  // namespace

std::vector<uint8_t> build_payload(const MessageDef& form, std::span<const NamedValue> fields) {
    std::size_t blocks = 0;
    for (const NamedValue& nv : fields) {
        const Slot s = resolve(form, nv.name);
        if (s.field == nullptr) {
            fail(Errc::UnknownField, form, form.min_len,
                 "the " + std::to_string(form.min_len) + "-byte form has no field '" +
                     std::string(nv.name) + "'");
        }
        blocks = std::max(blocks, s.block);
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
            return resolve(m, nv.name).field != nullptr;
        });
        if (!known) {
            throw Error(
                Errc::UnknownField, cls, id, 0,
                detail::msg_label(cls, id) + " has no field '" + std::string(nv.name) + "'");
        }
    }
    const MessageDef* form = nullptr;
    std::size_t blocks = 0;
    for (const MessageDef& m : forms) {
        if (!(m.modes & mode_bit(mode))) continue;
        std::size_t need = 0;
        const bool all = std::all_of(fields.begin(), fields.end(), [&](const NamedValue& nv) {
            const Slot s = resolve(m, nv.name);
            need = std::max(need, s.block);
            return s.field != nullptr;
        });
        if (all) {
            form = &m;
            blocks = need;
            break;
        }
    }
    if (form == nullptr) {
        std::string names;
        for (const NamedValue& nv : fields)
            names += (names.empty() ? "'" : ", '") + std::string(nv.name) + "'";
        throw Error(Errc::FieldConflict, cls, id, 0,
                    detail::msg_label(cls, id) + " has no " + mode_name(mode) +
                        " form holding all of " + names);
    }
    return fill(*form, blocks, fields);
}

std::vector<uint8_t> build_frame(uint8_t cls, uint8_t id, Mode mode,
                                 std::span<const NamedValue> fields) {
    return make_frame(cls, id, build_payload(cls, id, mode, fields));
}

}  // namespace ubx
