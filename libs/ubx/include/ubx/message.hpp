// Decoded messages: a catalogue row laid over a payload. Field values are read on demand, so
// decoding a frame costs a table look-up and a length check.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "ubx/catalogue.hpp"
#include "ubx/frame.hpp"
#include "ubx/le.hpp"

namespace ubx {

// A field value: integers as they are on the wire (scaled fields are not scaled), U1[n] as
// bytes, CH[n] as text up to the first NUL. An R4/R8 field is `real`: its value in `r`, and,
// for code that only knows the three kinds, its wire bytes as kind Bytes.
struct Value {
    enum class Kind : uint8_t { Int, Bytes, Text };
    Kind kind = Kind::Int;
    bool real = false;
    int64_t i = 0;
    double r = 0;
    std::span<const uint8_t> bytes;

    Value() = default;
    Value(int64_t v) noexcept : i(v) {}  // NOLINT: implicit, so that {"lpMode", 0} reads well
    static Value of_bytes(std::span<const uint8_t> b) noexcept {
        Value v;
        v.kind = Kind::Bytes;
        v.bytes = b;
        return v;
    }
    static Value of_text(std::string_view s) noexcept {
        Value v;
        v.kind = Kind::Text;
        v.bytes = {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
        return v;
    }
    // `wire` is empty for a value given to the builder.
    static Value of_real(double d, std::span<const uint8_t> wire = {}) noexcept {
        Value v = of_bytes(wire);
        v.real = true;
        v.r = d;
        return v;
    }
    std::string_view text() const noexcept {
        return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
    }
};

// Reads one field from a payload (or a block) that the caller has checked is long enough.
// Inline: reading every field of a message is the decoder's hot loop.
inline Value read_field(const Field& f, const uint8_t* base) noexcept {
    const uint8_t* p = base + f.offset;
    if (f.count > 1) {
        if (f.type == Type::CH) {
            const auto* nul = static_cast<const uint8_t*>(std::memchr(p, 0, f.count));
            return Value::of_text({reinterpret_cast<const char*>(p),
                                   nul ? static_cast<std::size_t>(nul - p) : f.count});
        }
        return Value::of_bytes({p, f.count});
    }
    int64_t v;
    switch (f.type) {
        case Type::I1:
            v = static_cast<int8_t>(p[0]);
            break;
        case Type::U2:
        case Type::X2:
            v = le::load<uint16_t>(p);
            break;
        case Type::I2:
            v = le::load<int16_t>(p);
            break;
        case Type::U4:
        case Type::X4:
            v = le::load<uint32_t>(p);
            break;
        case Type::I4:
            v = le::load<int32_t>(p);
            break;
        case Type::R4:
            return Value::of_real(le::load<float>(p), {p, 4});
        case Type::R8:
            return Value::of_real(le::load<double>(p), {p, 8});
        case Type::CH:
            return Value::of_text({reinterpret_cast<const char*>(p), p[0] ? 1u : 0u});
        default:
            v = p[0];
            break;
    }
    if (f.mask != 0) v = (v & f.mask) >> std::countr_zero(f.mask);
    return v;
}

// The whole tail of a form with one: text up to the first NUL, or the bytes.
inline Value read_tail(const MessageDef& m, std::span<const uint8_t> payload) noexcept {
    const auto t = payload.subspan(m.min_len);
    if (m.tail_kind != TailKind::Text) return Value::of_bytes(t);
    if (t.empty()) return Value::of_text({});  // no memchr on the null data of an empty span
    const auto* nul = static_cast<const uint8_t*>(std::memchr(t.data(), 0, t.size()));
    return Value::of_text({reinterpret_cast<const char*>(t.data()),
                           nul ? static_cast<std::size_t>(nul - t.data()) : t.size()});
}

// Identity of a message: its catalogue name, or "UNKNOWN-0xCC-0xII" (class and id in upper-case
// hex) for a class/id the catalogue does not know.
std::string identity(uint8_t cls, uint8_t id);

// A field of a decoded message: block is 0 for a plain field (or the tail), k >= 1 for the
// k-th repetition.
struct FieldRef {
    const Field* field = nullptr;
    std::size_t block = 0;
    std::string name() const;  // "lat", "gnssId_03"
};

// Where the field named `name` lives in one form: a plain field, the tail, or a field of the
// k-th block ("cno_03"; k is not checked against any payload). The one name resolver, shared
// by Message::get and the builder.
std::optional<FieldRef> find_field(const MessageDef& m, std::string_view name) noexcept;

// A decoded message. A view: the payload belongs to the caller (e.g. the Frame it came from).
class Message {
  public:
    Message(uint8_t cls, uint8_t id, const MessageDef* def, std::span<const uint8_t> payload)
        : cls_(cls), id_(id), def_(def), payload_(payload) {}

    uint8_t cls() const noexcept { return cls_; }
    uint8_t id() const noexcept { return id_; }
    // Catalogue form the payload was decoded with; nullptr for an unknown class/id.
    const MessageDef* def() const noexcept { return def_; }
    std::span<const uint8_t> payload() const noexcept { return payload_; }
    std::string identity() const { return ubx::identity(cls_, id_); }

    std::size_t blocks() const noexcept {
        return def_ && def_->block_size ? (payload_.size() - def_->min_len) / def_->block_size : 0;
    }
    // Plain fields, then the blocks' fields, then the tail.
    std::size_t field_count() const noexcept {
        return def_ ? def_->fields.size() + blocks() * def_->block.size() + (def_->tail ? 1 : 0)
                    : 0;
    }
    FieldRef field(std::size_t i) const noexcept;
    Value value(const FieldRef& f) const noexcept;
    Value value(std::size_t i) const noexcept { return value(field(i)); }
    // By name, e.g. "lat" or "cno_02"; nullopt when the message has no such field.
    std::optional<Value> get(std::string_view name) const noexcept;
    // The bytes from min_len on, for a form with a tail (text, keys or key/value pairs).
    std::span<const uint8_t> tail() const noexcept {
        return def_ && def_->tail ? payload_.subspan(def_->min_len) : std::span<const uint8_t>{};
    }

    template <class Fn>
    void for_each(Fn&& fn) const {
        if (!def_) return;
        for (const Field& f : def_->fields)
            fn(FieldRef{&f, 0}, read_field(f, payload_.data()));
        const std::size_t n = blocks();
        for (std::size_t k = 0; k < n; ++k) {
            const uint8_t* base = payload_.data() + def_->min_len + k * def_->block_size;
            for (const Field& f : def_->block)
                fn(FieldRef{&f, k + 1}, read_field(f, base));
        }
        if (def_->tail) fn(FieldRef{def_->tail, 0}, read_tail(*def_, payload_));
    }

  private:
    uint8_t cls_;
    uint8_t id_;
    const MessageDef* def_;
    std::span<const uint8_t> payload_;
};

// Throws ubx::Error(BadLength) when the catalogue knows the class/id but no form admits the
// payload (its length, its discriminating byte, or a key/value tail that does not add up);
// an unknown class/id decodes to a message without fields.
Message decode(uint8_t cls, uint8_t id, std::span<const uint8_t> payload);
inline Message decode(const Frame& f) {
    return decode(f.cls, f.id, f.payload);
}

// Splits "gnssId_03" into "gnssId" and 3; nullopt unless the name ends in _<digits> (k >= 1).
std::optional<std::pair<std::string_view, std::size_t>> split_block_name(std::string_view name);

}  // namespace ubx
