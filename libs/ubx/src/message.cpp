// Catalogue look-up and the table-driven decoder.
#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "ubx/error.hpp"
#include "ubx/keys.hpp"
#include "ubx/message.hpp"
#include "util.hpp"

namespace ubx {

std::span<const MessageDef> forms_of(uint8_t cls, uint8_t id) noexcept {
    const uint16_t key = static_cast<uint16_t>(cls << 8 | id);
    const auto lo = std::lower_bound(catalogue.begin(), catalogue.end(), key,
                                     [](const MessageDef& m, uint16_t k) { return m.key < k; });
    auto hi = lo;
    while (hi != catalogue.end() && hi->key == key)
        ++hi;
    return {lo, hi};
}

const MessageDef* find_form(uint8_t cls, uint8_t id, std::size_t payload_len) noexcept {
    for (const MessageDef& m : forms_of(cls, id)) {
        if (m.fits(payload_len)) return &m;
    }
    return nullptr;
}

const MessageDef* find_form(uint8_t cls, uint8_t id, std::span<const uint8_t> payload) noexcept {
    for (const MessageDef& m : forms_of(cls, id)) {
        if (m.admits(payload)) return &m;
    }
    return nullptr;
}

const MessageDef* find_by_name(std::string_view name) noexcept {
    for (const MessageDef& m : catalogue) {
        if (m.name == name) return &m;
    }
    return nullptr;
}

std::string identity(uint8_t cls, uint8_t id) {
    const auto forms = forms_of(cls, id);
    if (!forms.empty()) return std::string(forms.front().name);
    char buf[24];
    std::snprintf(buf, sizeof buf, "UNKNOWN-0x%02X-0x%02X", cls, id);
    return buf;
}

namespace detail {

std::string msg_label(uint8_t cls, uint8_t id) {
    char buf[32];
    const auto forms = forms_of(cls, id);
    if (forms.empty()) {
        std::snprintf(buf, sizeof buf, "message 0x%02X 0x%02X", cls, id);
        return buf;
    }
    std::snprintf(buf, sizeof buf, " (0x%02X 0x%02X)", cls, id);
    return std::string(forms.front().name) + buf;
}

std::string hex2(uint8_t a, uint8_t b) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02x %02x", a, b);
    return buf;
}

}  // namespace detail

std::string FieldRef::name() const {
    std::string n(field->name);
    if (block != 0) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "_%02zu", block);
        n += buf;
    }
    return n;
}

FieldRef Message::field(std::size_t i) const noexcept {
    if (i < def_->fields.size()) return {&def_->fields[i], 0};
    i -= def_->fields.size();
    const std::size_t in_blocks = blocks() * def_->block.size();
    if (i >= in_blocks) return {def_->tail, 0};
    return {&def_->block[i % def_->block.size()], i / def_->block.size() + 1};
}

Value Message::value(const FieldRef& f) const noexcept {
    if (f.field == def_->tail) return read_tail(*def_, payload_);
    const uint8_t* base = payload_.data();
    if (f.block != 0) base += def_->min_len + (f.block - 1) * def_->block_size;
    return read_field(*f.field, base);
}

std::optional<std::pair<std::string_view, std::size_t>> split_block_name(std::string_view name) {
    const auto us = name.rfind('_');
    if (us == std::string_view::npos || us == 0 || us + 1 == name.size()) return std::nullopt;
    std::size_t k = 0;
    const char* first = name.data() + us + 1;
    const char* last = name.data() + name.size();
    const auto [end, ec] = std::from_chars(first, last, k);
    if (ec != std::errc() || end != last || k == 0) return std::nullopt;
    return std::pair{name.substr(0, us), k};
}

std::optional<FieldRef> find_field(const MessageDef& m, std::string_view name) noexcept {
    for (const Field& f : m.fields) {
        if (f.name == name) return FieldRef{&f, 0};
    }
    if (m.tail && m.tail->name == name) return FieldRef{m.tail, 0};
    if (m.block.empty()) return std::nullopt;
    const auto split = split_block_name(name);
    if (!split) return std::nullopt;
    for (const Field& f : m.block) {
        if (f.name == split->first) return FieldRef{&f, split->second};
    }
    return std::nullopt;
}

std::optional<Value> Message::get(std::string_view name) const noexcept {
    if (!def_) return std::nullopt;
    const auto ref = find_field(*def_, name);
    if (!ref || ref->block > blocks()) return std::nullopt;
    return value(*ref);
}

Message decode(uint8_t cls, uint8_t id, std::span<const uint8_t> payload) {
    const auto forms = forms_of(cls, id);
    if (forms.empty()) return Message(cls, id, nullptr, payload);
    for (const MessageDef& m : forms) {
        if (!m.admits(payload)) continue;
        // Pairs whose value sizes do not add up to the tail are no message: say where.
        if (m.tail_kind == TailKind::KeyValues) {
            try {
                parse_key_values(payload.subspan(m.min_len), id);
            } catch (const Error& e) {
                throw Error(Errc::BadLength, cls, id, payload.size(), e.what());
            }
        }
        return Message(cls, id, &m, payload);
    }
    std::string lens;
    const MessageDef* by_byte = nullptr;  // a form whose length fits, its byte does not
    for (const MessageDef& m : forms) {
        if (m.fits(payload.size()) && m.match != 0 && !by_byte) by_byte = &m;
        if (!lens.empty()) lens += ", ";
        lens += std::to_string(tables::shortest(m));
        if (m.block_size) {
            lens += '+';
            lens += std::to_string(m.block_size);
            lens += 'n';
        } else if (m.tail) {
            lens += m.tail_kind == TailKind::Keys ? "+4n" : "+";
        }
    }
    if (by_byte) {
        const MessageDef& m = *by_byte;
        throw Error(Errc::BadLength, cls, id, payload.size(),
                    detail::msg_label(cls, id) + " with " + std::to_string(payload.size()) +
                        "-byte payload: no form has byte " + std::to_string(payload[m.match_at]) +
                        " at offset " + std::to_string(m.match_at));
    }
    throw Error(Errc::BadLength, cls, id, payload.size(),
                detail::msg_label(cls, id) + " with " + std::to_string(payload.size()) +
                    "-byte payload: no such form (lengths " + lens + ")");
}

}  // namespace ubx
