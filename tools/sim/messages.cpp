// Field access through the codec's catalogue (see messages.hpp).
#include "messages.hpp"

#include "ubx/frame.hpp"

namespace zqsim {

std::optional<Fields> Fields::of(uint8_t cls, uint8_t id, std::span<const uint8_t> payload) {
    const ubx::MessageDef* form = ubx::find_form(cls, id, payload);
    if (!form) return std::nullopt;
    return Fields(ubx::Message(cls, id, form, payload));
}

std::optional<Fields> Fields::header(uint8_t cls, uint8_t id, std::span<const uint8_t> payload) {
    constexpr size_t kHeader = 4;
    if (payload.size() < kHeader) return std::nullopt;
    // By length alone: VALGET's forms differ only in the version byte.
    const ubx::MessageDef* form = ubx::find_form(cls, id, kHeader);
    if (!form) return std::nullopt;
    return Fields(ubx::Message(cls, id, form, payload.first(kHeader)));
}

int64_t Fields::operator[](std::string_view name) const {
    return msg_.get(name).value_or(ubx::Value()).i;
}

void append_frame(std::vector<uint8_t>& out, uint8_t cls, uint8_t id,
                  std::span<const uint8_t> payload) {
    const auto f = ubx::make_frame(cls, id, payload);
    out.insert(out.end(), f.begin(), f.end());
}

}  // namespace zqsim
