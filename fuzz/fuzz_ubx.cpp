// libFuzzer target: scanner and decoder on arbitrary bytes in arbitrary chunking.
//
// Input: byte 0 seeds the chunk sizes, the rest is the stream. Checks that chunking never
// changes which frames come out (whole == chunked), that memory stays within one frame, that
// every frame decodes or fails with ubx::Error, and that no frame inside a true frame's payload
// takes its place (no embedded preemption: the input as the payload of a frame a receiver could
// send comes out whole, in any chunking). The same bytes are also wrapped in a valid frame, so that
// the decoder and builder see arbitrary payloads without the fuzzer having to find checksums.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ubx/ubx.hpp"

namespace {

#define check(ok)                                                                       \
    do {                                                                                \
        if (!(ok)) {                                                                    \
            std::fprintf(stderr, "fuzz_ubx.cpp:%d: check failed: %s\n", __LINE__, #ok); \
            std::abort();                                                               \
        }                                                                               \
    } while (0)

std::vector<std::vector<uint8_t>> scan(std::span<const uint8_t> in, uint8_t seed,
                                       std::size_t max_payload) {
    // Kept from input to input (reset() keeps the buffer): a fresh scanner's buffer of a frame
    // per scan was most of an execution's cost under the sanitizers.
    static ubx::Scanner small(8176), large(ubx::kDefaultMaxPayload);
    ubx::Scanner& s = max_payload == 8176 ? small : large;
    check(max_payload == s.max_payload());
    s.reset();
    std::vector<std::vector<uint8_t>> out;
    uint32_t state = seed;
    std::size_t pos = 0;
    while (pos < in.size()) {
        std::size_t n = in.size() - pos;
        if (seed != 0) {
            state = state * 1103515245u + 12345u;
            n = std::min<std::size_t>(n, 1 + (state >> 16) % 97);
        }
        s.feed(in.subspan(pos, n));
        pos += n;
        while (auto f = s.next()) {
            check(f->raw.size() == f->payload.size() + ubx::kOverhead);
            check(f->raw[0] == ubx::kSync1 && f->raw[1] == ubx::kSync2);
            out.emplace_back(f->raw.begin(), f->raw.end());
        }
        check(s.drained());
        check(s.buffered() <= max_payload + ubx::kOverhead + ubx::kHeaderSize - 1);
    }
    return out;
}

void exercise(uint8_t cls, uint8_t id, std::span<const uint8_t> payload) {
    try {
        const ubx::Message m = ubx::decode(cls, id, payload);
        std::vector<ubx::NamedValue> fields;
        std::vector<std::string> names;
        names.reserve(m.field_count());
        // Every value is read; names are looked up and rebuilt for the first blocks only, since
        // each look-up walks the form's fields: hundreds of blocks made an execution slow.
        constexpr std::size_t kNamedBlocks = 3;
        m.for_each([&](const ubx::FieldRef& f, const ubx::Value& v) {
            if (f.block > kNamedBlocks) return;
            names.push_back(f.name());
            check(m.get(names.back()).has_value());
            if (f.field->mask == 0) fields.push_back({names.back(), v});
        });
        (void)m.identity();
        if (!m.def()) return;
        // Rebuilding from the decoded values must give back every field the form has.
        std::vector<uint8_t> again;
        try {
            again = ubx::build_payload(cls, id, ubx::Mode::Get, fields);
        } catch (const ubx::Error&) {
            return;  // e.g. a POLL-only form
        }
        const ubx::Message m2 = ubx::decode(cls, id, again);
        if (m2.def() != m.def()) return;  // builder preferred another form of the same fields
        for (const auto& nv : fields) {
            const auto v = m2.get(nv.name);
            check(v.has_value());
            if (nv.value.kind == ubx::Value::Kind::Int) check(v->i == nv.value.i);
        }
    } catch (const ubx::Error&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const uint8_t seed = data[0];
    const std::span<const uint8_t> in(data + 1, size - 1);
    const std::size_t cap = seed & 1 ? 8176 : ubx::kDefaultMaxPayload;

    const auto whole = scan(in, 0, cap);
    const auto chunked = scan(in, seed | 1, cap);
    check(whole == chunked);
    {
        // MON with an id no catalogue row has: any length up to the cap fits.
        static const std::vector<uint8_t> cfg_rxm = {0xB5, 0x62, 0x06, 0x11, 0x02,
                                                     0x00, 0x08, 0x00, 0x21, 0x91};
        const auto outer = ubx::make_frame(0x0A, 0xEE, in.first(std::min(in.size(), cap)));
        std::vector<uint8_t> stream = cfg_rxm;
        stream.insert(stream.end(), outer.begin(), outer.end());
        stream.insert(stream.end(), cfg_rxm.begin(), cfg_rxm.end());
        const std::vector<std::vector<uint8_t>> want = {cfg_rxm, outer, cfg_rxm};
        check(scan(stream, 0, cap) == want);
        check(scan(stream, seed | 1, cap) == want);
    }
    // The decoder and builder see the first frame of each of a few kinds: a recording's
    // repeats of the same messages cost time and reach nothing new.
    std::vector<uint32_t> seen;
    for (const auto& raw : whole) {
        const ubx::Frame f = ubx::parse_frame(raw);
        const uint32_t kind = uint32_t{f.cls} << 24 | uint32_t{f.id} << 16 | f.payload.size();
        if (seen.size() == 4 || std::find(seen.begin(), seen.end(), kind) != seen.end()) continue;
        seen.push_back(kind);
        exercise(f.cls, f.id, f.payload);
    }
    if (in.size() >= 2) {
        const auto payload = in.subspan(2);
        const auto frame = ubx::make_frame(in[0], in[1], payload);
        const ubx::Frame f = ubx::parse_frame(frame);
        exercise(f.cls, f.id, f.payload);
        // Any known class/id with this payload: the fuzzer rarely picks those bytes itself.
        const auto& def = ubx::catalogue[seed % ubx::catalogue.size()];
        exercise(def.cls(), def.id(), payload);
    }
    return 0;
}
