// libFuzzer target: the message builder from arbitrary field names, values and modes.
//
// Names come mostly from the catalogue (any form of the message, repeated-block names with
// any block number, up to 2^64 - 1), sometimes made up; values are arbitrary integers,
// in-range integers, bytes or text; the mode is arbitrary. The builder must either throw
// ubx::Error or return a payload that frames, scans and decodes back to exactly the values
// given (bits named beside their whole field land on top of it), with every field not given
// at its documented fixed value or zero.
#include <algorithm>
#include <bit>
#include <cmath>
#include <compare>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_input.hpp"
#include "ubx/ubx.hpp"

namespace {

struct Pick {
    const ubx::Field* field;
    bool block;
};

std::pair<int64_t, int64_t> range_of(const ubx::Field& f) {
    // Integers a float (R4) or double (R8) holds exactly.
    if (f.type == ubx::Type::R4) return {-(int64_t{1} << 24), int64_t{1} << 24};
    if (f.type == ubx::Type::R8) return {-(int64_t{1} << 53), int64_t{1} << 53};
    const unsigned bits = static_cast<unsigned>(ubx::type_size(f.type) * 8);
    if (f.mask != 0) return {0, static_cast<int64_t>(f.mask >> std::countr_zero(f.mask))};
    if (ubx::type_signed(f.type)) {
        return {-(int64_t{1} << (bits - 1)), (int64_t{1} << (bits - 1)) - 1};
    }
    return {0, static_cast<int64_t>((uint64_t{1} << bits) - 1)};
}

// Where a name lands in a form, resolved here independently of the builder.
struct Slot {
    const ubx::Field* field = nullptr;
    std::size_t block = 0;
    auto operator<=>(const Slot&) const = default;
};

Slot slot_of(const ubx::MessageDef& m, std::string_view name) {
    for (const auto& f : m.fields) {
        if (f.name == name) return {&f, 0};
    }
    if (m.tail && m.tail->name == name) return {m.tail, 0};
    const auto us = name.rfind('_');
    if (m.block.empty() || us == std::string_view::npos || us == 0 || us + 1 == name.size()) {
        return {};
    }
    std::size_t k = 0;
    for (char c : name.substr(us + 1)) {
        if (c < '0' || c > '9') return {};
        if (k > (SIZE_MAX - 9) / 10) return {};
        k = k * 10 + static_cast<std::size_t>(c - '0');
    }
    if (k == 0) return {};
    for (const auto& f : m.block) {
        if (f.name == name.substr(0, us)) return {&f, k};
    }
    return {};
}

std::size_t offset_of(const ubx::MessageDef& m, const Slot& s) {
    return s.field->offset + (s.block ? m.min_len + (s.block - 1) * m.block_size : 0);
}

std::size_t size_of(const ubx::Field& f) {
    return ubx::type_size(f.type) * f.count;
}

void check_field(const ubx::Message& msg, const Slot& s, const ubx::Value& given,
                 uint32_t bits_on_top) {
    const ubx::Value got = msg.value(ubx::FieldRef{s.field, s.block});
    const ubx::Field& f = *s.field;
    if (&f == msg.def()->tail) {
        const std::string_view in = given.text();
        if (f.type == ubx::Type::CH) {
            fuzz_check(got.text() == in.substr(0, in.find('\0')));
        } else {
            fuzz_check(got.text() == in);
        }
        return;
    }
    if (got.real) {
        double want = given.real ? given.r : static_cast<double>(given.i);
        if (f.type == ubx::Type::R4) want = static_cast<float>(want);
        fuzz_check(got.r == want || (std::isnan(got.r) && std::isnan(want)));
        return;
    }
    if (f.count > 1 || f.type == ubx::Type::CH) {
        const std::string_view in = given.text();
        if (f.type == ubx::Type::CH) {
            fuzz_check(got.text() == in.substr(0, in.find('\0')));
        } else {
            fuzz_check(got.bytes.size() == f.count);
            fuzz_check(std::memcmp(got.bytes.data(), in.data(), in.size()) == 0);
            fuzz_check(std::all_of(got.bytes.begin() + static_cast<std::ptrdiff_t>(in.size()),
                                   got.bytes.end(), [](uint8_t b) { return b == 0; }));
        }
        return;
    }
    const auto keep = static_cast<int64_t>(~bits_on_top);
    fuzz_check((got.i & keep) == (given.i & keep));
}

// Whether a complete frame starts inside `frame` and ends before it does (its payload given as
// bytes, say, holds B5 62 ... reaching at most into the checksum).
bool holds_frame(std::span<const uint8_t> frame) {
    for (std::size_t i = 1; i + ubx::kOverhead < frame.size(); ++i) {
        if (frame[i] != ubx::kSync1 || frame[i + 1] != ubx::kSync2) continue;
        const std::size_t total =
            ubx::kOverhead + (frame[i + 4] | (std::size_t{frame[i + 5]} << 8));
        if (total >= frame.size() - i) continue;
        try {
            ubx::parse_frame(frame.subspan(i, total));
            return true;
        } catch (const ubx::Error&) {
        }
    }
    return false;
}

void check(uint8_t cls, uint8_t id, std::span<const ubx::NamedValue> fields,
           const std::vector<uint8_t>& payload) {
    const auto frame = ubx::make_frame(cls, id, payload);
    fuzz_check(frame.size() == payload.size() + ubx::kOverhead);
    const ubx::Frame parsed = ubx::parse_frame(frame);
    fuzz_check(
        std::equal(parsed.payload.begin(), parsed.payload.end(), payload.begin(), payload.end()));
    ubx::Scanner scanner(0xFFFF, false);  // overridden payloads may have any length
    scanner.feed(frame);
    const auto scanned = scanner.next();
    if (ubx::plausible(cls, id, payload.size())) {
        // A frame a receiver could send comes out whole and alone, whatever its payload holds.
        fuzz_check(scanned && scanned->raw.size() == frame.size() && !scanner.next());
    } else if (!scanned || scanned->raw.size() != frame.size()) {
        // One that cannot be true (an overridden length, say) gives way to a plausible header
        // inside it, and to the frame that header may start.
        fuzz_check(!scanned || holds_frame(frame));
    }

    if (fields.size() == 1 && fields[0].name == "payload") {
        fuzz_check(std::equal(payload.begin(), payload.end(), fields[0].value.bytes.begin(),
                              fields[0].value.bytes.end()));
        return;
    }
    if (fields.empty() && payload.empty()) return;  // a poll, or an unknown message
    const ubx::Message msg = ubx::decode(cls, id, payload);
    fuzz_check(msg.def() != nullptr);
    const ubx::MessageDef& def = *msg.def();

    // The last value given for a place wins; named bits go on top of their whole field.
    std::map<Slot, ubx::Value> last;
    for (const auto& nv : fields) {
        const Slot s = slot_of(def, nv.name);
        fuzz_check(s.field != nullptr);
        fuzz_check(s.block <= msg.blocks());
        last[s] = nv.value;
    }
    std::vector<std::pair<std::size_t, std::size_t>> touched;
    for (const auto& [s, v] : last) {
        uint32_t on_top = 0;
        if (s.field->mask == 0) {
            for (const auto& [t, w] : last) {
                if (t.field->mask != 0 && t.block == s.block && t.field->offset == s.field->offset)
                    on_top |= t.field->mask;
            }
        }
        check_field(msg, s, v, on_top);
        touched.emplace_back(offset_of(def, s), size_of(*s.field));
    }
    msg.for_each([&](const ubx::FieldRef& ref, const ubx::Value& v) {
        if (ref.field == def.tail) {  // checked above when given, else empty
            if (!last.contains(Slot{def.tail, 0})) fuzz_check(v.bytes.empty());
            return;
        }
        const std::size_t at = offset_of(def, {ref.field, ref.block});
        const std::size_t n = size_of(*ref.field);
        for (const auto& [b, m] : touched) {
            if (at < b + m && b < at + n) return;
        }
        if (v.kind == ubx::Value::Kind::Int) {
            fuzz_check(v.i == (ref.block == 0 ? ref.field->fixed : 0));
        } else {
            fuzz_check(
                std::all_of(v.bytes.begin(), v.bytes.end(), [](uint8_t b) { return b == 0; }));
        }
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const uint8_t sel = in.u8();
    uint8_t cls = 0;
    uint8_t id = 0;
    if (sel & 0x80) {
        cls = in.u8();
        id = in.u8();
    } else {
        const auto& d = ubx::catalogue[sel % ubx::catalogue.size()];
        cls = d.cls();
        id = d.id();
    }
    const uint8_t mode_byte = in.u8();
    const auto mode = static_cast<ubx::Mode>(mode_byte & 0x80 ? mode_byte : mode_byte % 3);
    const auto forms = ubx::forms_of(cls, id);
    const ubx::MessageDef* one_form = nullptr;
    if (!forms.empty() && in.u8() % 8 == 0) one_form = &forms[in.u8() % forms.size()];

    std::vector<Pick> picks;
    for (const auto& m : forms) {
        for (const auto& f : m.fields)
            picks.push_back({&f, false});
        for (const auto& f : m.block)
            picks.push_back({&f, true});
    }

    const std::size_t count = in.u8() % 9;
    std::vector<std::string> names;
    std::vector<std::string> texts;
    names.reserve(count);
    texts.reserve(count);
    std::vector<ubx::NamedValue> fields;
    for (std::size_t i = 0; i < count; ++i) {
        const uint8_t how = in.u8();
        const ubx::Field* field = nullptr;
        if (how % 8 == 0 || picks.empty()) {
            names.push_back(in.str(24));
        } else if (how % 8 == 1) {
            names.emplace_back("payload");
        } else {
            const Pick p = picks[in.u8() % picks.size()];
            field = p.field;
            std::string name(p.field->name);
            if (p.block) {
                const uint64_t k = how & 0x80 ? in.u64() : 1 + in.u8() % 260u;
                char suffix[24];
                std::snprintf(suffix, sizeof suffix, "_%02llu", static_cast<unsigned long long>(k));
                name += suffix;
            }
            names.push_back(std::move(name));
        }
        ubx::Value value;
        switch (in.u8() % 5) {
            case 0:
                value = ubx::Value(static_cast<int64_t>(in.u64()));
                break;
            case 1: {
                const auto [lo, hi] =
                    field ? range_of(*field) : std::pair<int64_t, int64_t>{0, 255};
                const uint64_t span = static_cast<uint64_t>(hi) - static_cast<uint64_t>(lo);
                const uint64_t r = in.u64();
                value = ubx::Value(static_cast<int64_t>(static_cast<uint64_t>(lo) +
                                                        (span == UINT64_MAX ? r : r % (span + 1))));
                break;
            }
            case 2:
                texts.push_back(in.str(40));
                value = ubx::Value::of_bytes(
                    {reinterpret_cast<const uint8_t*>(texts.back().data()), texts.back().size()});
                break;
            case 3:
                texts.push_back(in.str(40));
                value = ubx::Value::of_text(texts.back());
                break;
            default:
                value = ubx::Value::of_real(std::bit_cast<double>(in.u64()));
                break;
        }
        fields.push_back({names.back(), value});
    }

    std::vector<uint8_t> payload;
    try {
        payload = one_form ? ubx::build_payload(*one_form, fields)
                           : ubx::build_payload(cls, id, mode, fields);
    } catch (const ubx::Error& e) {
        fuzz_check(e.what()[0] != '\0');
        return 0;
    }
    if (!one_form) {
        fuzz_check(static_cast<unsigned>(mode) <= 2);
        if (!fields.empty() && !(fields.size() == 1 && fields[0].name == "payload")) {
            const ubx::MessageDef* def = ubx::find_form(cls, id, std::span<const uint8_t>(payload));
            fuzz_check(def && (def->modes & (1u << static_cast<unsigned>(mode))));
        }
    } else {
        fuzz_check(ubx::find_form(cls, id, std::span<const uint8_t>(payload)) == one_form);
    }
    check(cls, id, fields, payload);
    return 0;
}
