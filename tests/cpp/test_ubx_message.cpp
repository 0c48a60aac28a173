// Decoder and builder against values from outside the code: the recorded receiver streams with
// the independent decoder's output beside them, and the field layouts of the protocol notes.
#include <gtest/gtest.h>

#include <deque>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ubx/ubx.hpp"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes first_frame(const char* capture, uint8_t cls, uint8_t id) {
    std::ifstream f(std::string(ZQ_CAPTURES_DIR) + "/" + capture, std::ios::binary);
    const Bytes in(std::istreambuf_iterator<char>(f), {});
    ubx::Scanner s;
    s.feed(in);
    while (auto fr = s.next()) {
        if (fr->cls == cls && fr->id == id) return Bytes(fr->raw.begin(), fr->raw.end());
    }
    ADD_FAILURE() << "no frame " << int(cls) << "/" << int(id) << " in " << capture;
    return {};
}

int64_t field(const ubx::Message& m, std::string_view name) {
    const auto v = m.get(name);
    EXPECT_TRUE(v.has_value()) << name;
    return v ? v->i : -1;
}

// First NAV-PVT of the NEO-M8N recording; the reference decoder's first report reads
// time 2017-07-19T08:50:00.800Z, lat -34.906226300, lon 138.608119700, altHAE 25.424,
// altMSL 28.895, status 2 (differential).
TEST(Decode, NavPvtMatchesReferenceDecoder) {
    const Bytes raw = first_frame("ublox-neo-m8n.log", 0x01, 0x07);
    const ubx::Message m = ubx::decode(ubx::parse_frame(raw));
    ASSERT_NE(m.def(), nullptr);
    EXPECT_EQ(m.identity(), "NAV-PVT");
    EXPECT_EQ(m.def()->min_len, 92);
    EXPECT_EQ(field(m, "lat"), -349062263);
    EXPECT_EQ(field(m, "lon"), 1386081197);
    EXPECT_EQ(field(m, "height"), 25424);
    EXPECT_EQ(field(m, "hMSL"), 28895);
    EXPECT_EQ(field(m, "year"), 2017);
    EXPECT_EQ(field(m, "month"), 7);
    EXPECT_EQ(field(m, "day"), 19);
    EXPECT_EQ(field(m, "hour"), 8);
    EXPECT_EQ(field(m, "min"), 50);
    EXPECT_EQ(field(m, "second"), 0);
    EXPECT_EQ(field(m, "nano"), 799899687);  // .800 after rounding
    EXPECT_EQ(field(m, "fixType"), 3);
    EXPECT_EQ(field(m, "gnssFixOk"), 1);
    EXPECT_EQ(field(m, "difSoln"), 1);
    EXPECT_TRUE(m.get("headVeh").has_value());
    const auto reserved = m.get("reserved1");
    ASSERT_TRUE(reserved.has_value());
    EXPECT_EQ(reserved->kind, ubx::Value::Kind::Bytes);
    EXPECT_TRUE(std::equal(reserved->bytes.begin(), reserved->bytes.end(), raw.begin() + 6 + 78));
}

TEST(Decode, NavPvt84HasNoVehicleHeadingOrDeclination) {
    const Bytes raw = first_frame("ublox-neo-m8n.log", 0x01, 0x07);
    const Bytes payload84(raw.begin() + 6, raw.begin() + 6 + 84);
    const ubx::Message m = ubx::decode(0x01, 0x07, payload84);
    ASSERT_NE(m.def(), nullptr);
    EXPECT_EQ(m.def()->min_len, 84);
    EXPECT_EQ(m.identity(), "NAV-PVT");
    EXPECT_EQ(field(m, "lat"), -349062263);
    EXPECT_EQ(field(m, "pDOP"), 145);
    EXPECT_TRUE(m.get("reserved1").has_value());
    for (const char* absent : {"headVeh", "magDec", "magAcc"}) {
        EXPECT_FALSE(m.get(absent).has_value()) << absent;
    }
}

// Bit layout from the NAV-PVT table: flags = 0b10'1'011'1'0 -> gnssFixOk 0, difSoln 1,
// psmState 3, headVehValid 1, carrSoln 2; valid = 0b1010 -> validTime, validMag;
// flags2 = 0b1010'0000 -> confirmedAvai 1, confirmedDate 0, confirmedTime 1.
TEST(Decode, NavPvtBitFields) {
    Bytes p(92, 0);
    p[11] = 0x0A;
    p[21] = 0xAE;
    p[22] = 0xA0;
    const ubx::Message m = ubx::decode(0x01, 0x07, p);
    const std::pair<const char*, int> expect[] = {
        {"validDate", 0}, {"validTime", 1},     {"fullyResolved", 0}, {"validMag", 1},
        {"gnssFixOk", 0}, {"difSoln", 1},       {"psmState", 3},      {"headVehValid", 1},
        {"carrSoln", 2},  {"confirmedAvai", 1}, {"confirmedDate", 0}, {"confirmedTime", 1},
    };
    for (const auto& [name, value] : expect)
        EXPECT_EQ(field(m, name), value) << name;
}

// NAV-STATUS flags: bit0 gpsFixOk, bit1 diffSoln, bit2 wknSet, bit3 towSet.
TEST(Decode, NavStatusBitFields) {
    Bytes p(16, 0);
    p[4] = 3;
    p[5] = 0x0D;
    const ubx::Message m = ubx::decode(0x01, 0x03, p);
    EXPECT_EQ(field(m, "gpsFix"), 3);
    EXPECT_EQ(field(m, "gpsFixOk"), 1);
    EXPECT_EQ(field(m, "diffSoln"), 0);
    EXPECT_EQ(field(m, "wknSet"), 1);
    EXPECT_EQ(field(m, "towSet"), 1);
}

// The receiver states its own satellite count; the repeated blocks come from the length.
TEST(Decode, NavSatBlocksAgreeWithReceiversCount) {
    for (const char* capture : {"ublox-neo-m8n.log", "ublox-zed-f9p-hp.log"}) {
        const Bytes raw = first_frame(capture, 0x01, 0x35);
        const ubx::Message m = ubx::decode(ubx::parse_frame(raw));
        ASSERT_NE(m.def(), nullptr) << capture;
        EXPECT_EQ(m.blocks(), static_cast<std::size_t>(field(m, "numSvs"))) << capture;
        const std::string last = "svId_" + std::to_string(m.blocks());
        EXPECT_TRUE(m.get(last).has_value()) << last;
        EXPECT_FALSE(m.get("svId_" + std::to_string(m.blocks() + 1)).has_value());
        EXPECT_FALSE(m.get("svId_0").has_value());
    }
}

TEST(Decode, UnknownMessageHasStableIdentityAndNoFields) {
    const Bytes payload = {1, 2, 3};
    const ubx::Message m = ubx::decode(0x01, 0x7F, payload);
    EXPECT_EQ(m.identity(), "UNKNOWN-0x01-0x7F");
    EXPECT_EQ(ubx::identity(0x0A, 0xFE), "UNKNOWN-0x0A-0xFE");
    EXPECT_EQ(m.def(), nullptr);
    EXPECT_EQ(m.field_count(), 0u);
    EXPECT_EQ(m.payload().size(), 3u);
}

TEST(Decode, KnownMessageWithImpossibleLengthIsAnError) {
    const Bytes p(90, 0);
    try {
        ubx::decode(0x01, 0x07, p);
        FAIL() << "90-byte NAV-PVT accepted";
    } catch (const ubx::Error& e) {
        EXPECT_EQ(e.code(), ubx::Errc::BadLength);
        EXPECT_EQ(e.length(), 90u);
        EXPECT_EQ(std::string(e.what()),
                  "NAV-PVT (0x01 0x07) with 90-byte payload: no such form (lengths 92, 84)");
    }
    const Bytes sat(8 + 12 + 5, 0);
    EXPECT_THROW(ubx::decode(0x01, 0x35, sat), ubx::Error);
}

TEST(Build, PowerModeCommandIsThePublishedFrame) {
    EXPECT_EQ(ubx::build_frame(0x06, 0x11, ubx::Mode::Set, {{"lpMode", 0}}),
              (Bytes{0xB5, 0x62, 0x06, 0x11, 0x02, 0x00, 0x08, 0x00, 0x21, 0x91}));
}

TEST(Build, PicksTheFormThatHoldsTheFields) {
    using ubx::Mode;
    EXPECT_EQ(ubx::build_payload(6, 1, Mode::Set, {{"msgClass", 1}, {"msgID", 7}, {"rate", 1}}),
              (Bytes{1, 7, 1}));
    EXPECT_EQ(ubx::build_payload(6, 1, Mode::Set, {{"msgClass", 1}, {"msgID", 7}, {"rateUSB", 1}}),
              (Bytes{1, 7, 0, 0, 0, 1, 0, 0}));
    EXPECT_EQ(ubx::build_payload(6, 1, Mode::Poll, {{"msgClass", 1}, {"msgID", 7}}), (Bytes{1, 7}));
    EXPECT_EQ(ubx::build_frame(1, 7, Mode::Poll, {}), ubx::make_frame(1, 7, {}));
    EXPECT_EQ(ubx::build_payload(6, 9, Mode::Set, {{"saveMask", 0xFFFF}}).size(), 12u);
    EXPECT_EQ(ubx::build_payload(6, 9, Mode::Set, {{"saveMask", 0xFFFF}, {"deviceMask", 3}}),
              (Bytes{0, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 3}));
    EXPECT_EQ(ubx::build_payload(1, 0x35, Mode::Get, {{"cno_03", 40}}).size(), 8u + 3 * 12);
    EXPECT_EQ(ubx::build_payload(1, 7, Mode::Get, {{"lat", 1}}).size(), 92u);
    // Named bits land on top of the whole word.
    EXPECT_EQ(ubx::build_payload(1, 7, Mode::Get, {{"flags", 0x01}, {"carrSoln", 2}})[21], 0x81);
}

ubx::Errc build_error(uint8_t cls, uint8_t id, ubx::Mode mode,
                      std::initializer_list<ubx::NamedValue> fields, std::string* what) {
    try {
        ubx::build_payload(cls, id, mode, fields);
    } catch (const ubx::Error& e) {
        *what = e.what();
        return e.code();
    }
    ADD_FAILURE() << "no error";
    return ubx::Errc::BadFrame;
}

TEST(Build, ErrorsNameFieldAndMessage) {
    using ubx::Errc;
    using ubx::Mode;
    std::string what;
    EXPECT_EQ(build_error(6, 1, Mode::Set, {{"lpMode", 0}}, &what), Errc::UnknownField);
    EXPECT_EQ(what, "CFG-MSG (0x06 0x01) has no field 'lpMode'");
    EXPECT_EQ(build_error(6, 1, Mode::Set, {{"rate", 256}}, &what), Errc::BadValue);
    EXPECT_EQ(what, "CFG-MSG (0x06 0x01): value 256 out of range for field 'rate' (0..255)");
    EXPECT_EQ(build_error(1, 7, Mode::Get, {{"lat", int64_t{1} << 31}}, &what), Errc::BadValue);
    EXPECT_EQ(build_error(1, 7, Mode::Get, {{"psmState", 8}}, &what), Errc::BadValue);
    EXPECT_EQ(build_error(6, 1, Mode::Set, {{"rate", 1}, {"rateUSB", 1}}, &what),
              Errc::FieldConflict);
    EXPECT_NE(what.find("'rate', 'rateUSB'"), std::string::npos) << what;
    EXPECT_EQ(build_error(0x0A, 4, Mode::Get, {{"swVersion", 1}}, &what), Errc::BadValue);
    EXPECT_EQ(build_error(0x01, 0x7F, Mode::Get, {{"iTOW", 1}}, &what), Errc::UnknownField);
    EXPECT_EQ(build_error(1, 0x35, Mode::Get, {{"cno_256", 1}}, &what), Errc::BadValue);
}

// Every form: a distinct value per field survives build -> frame -> scan -> decode, and the
// catalogue's binary search finds the form again. A form told from others by a byte (a
// version, a port id) gets its own value there; one with a least number of blocks gets them.
TEST(Catalogue, EveryFormRoundTrips) {
    for (const ubx::MessageDef& def : ubx::catalogue) {
        std::vector<ubx::NamedValue> in;
        std::deque<std::string> texts;  // names and values point into it: no reallocation
        int64_t next = 1;
        const auto add = [&](const ubx::Field& f, std::string name) {
            texts.push_back(std::move(name));
            const std::string_view n = texts.back();
            if (f.type == ubx::Type::CH) {
                texts.push_back(std::string(f.name).substr(0, f.count));
                in.push_back({n, ubx::Value::of_text(texts.back())});
            } else if (f.count > 1) {
                texts.push_back(std::string(f.count, static_cast<char>(next++)));
                in.push_back(
                    {n, ubx::Value::of_bytes({reinterpret_cast<const uint8_t*>(texts.back().data()),
                                              texts.back().size()})});
            } else if (def.match != 0 && f.offset == def.match_at) {
                in.push_back({n, f.fixed});
            } else {
                in.push_back({n, next++ % 100});
            }
        };
        for (const ubx::Field& f : def.fields) {
            if (f.mask == 0) add(f, std::string(f.name));
        }
        for (std::size_t k = 1; k <= def.min_blocks; ++k) {
            for (const ubx::Field& f : def.block) {
                if (f.mask == 0) add(f, ubx::FieldRef{&f, k}.name());
            }
        }
        const std::size_t shortest = def.min_len + std::size_t{def.min_blocks} * def.block_size;
        const ubx::Mode mode = def.modes & ubx::kModeGet   ? ubx::Mode::Get
                               : def.modes & ubx::kModeSet ? ubx::Mode::Set
                                                           : ubx::Mode::Poll;
        Bytes frame = ubx::build_frame(def.cls(), def.id(), mode, in);
        if (frame.size() != shortest + ubx::kOverhead) {
            // Another form of the message holds these fields too and comes first.
            frame = ubx::make_frame(def.cls(), def.id(), ubx::build_payload(def, in));
        }
        ubx::Scanner s;
        s.feed(frame);
        const auto f = s.next();
        ASSERT_TRUE(f) << def.name;
        const ubx::Message m = ubx::decode(*f);
        ASSERT_EQ(m.def(), &def) << def.name << " " << def.min_len;
        EXPECT_EQ(ubx::find_form(def.cls(), def.id(), f->payload), &def);
        if (def.match == 0) {
            EXPECT_EQ(ubx::find_form(def.cls(), def.id(), shortest), &def);
        }
        for (const auto& nv : in) {
            const auto v = m.get(nv.name);
            ASSERT_TRUE(v) << def.name << "." << nv.name;
            if (v->real) {
                EXPECT_EQ(v->r, static_cast<double>(nv.value.i)) << def.name << "." << nv.name;
            } else if (nv.value.kind == ubx::Value::Kind::Int) {
                EXPECT_EQ(v->i, nv.value.i) << def.name << "." << nv.name;
            } else {
                EXPECT_TRUE(std::ranges::equal(v->bytes, nv.value.bytes))
                    << def.name << "." << nv.name;
            }
        }
    }
}

}  // namespace
