// The hub's core: RTCM 3 framing against a real caster's stream and its independent decode,
// the tap's splitting and fan-out, NAV-PVT decoding against the recordings' oracle.
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "nmea.hpp"
#include "pvt.hpp"
#include "rtcm3.hpp"
#include "tap.hpp"
#include "ubx/ubx.hpp"

namespace {

using namespace zq::hub;

std::vector<uint8_t> read_file(const std::string& name) {
    std::ifstream f(std::string(ZQ_CAPTURES_DIR) + "/" + name, std::ios::binary);
    EXPECT_TRUE(f.good()) << name;
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

std::vector<uint8_t> hex_bytes(const std::string& s) {
    std::vector<uint8_t> out;
    std::istringstream in(s);
    unsigned v;
    while (in >> std::hex >> v)
        out.push_back(static_cast<uint8_t>(v));
    return out;
}

struct ChkFrame {
    int type;
    std::size_t length;
    std::vector<uint8_t> data;
};

// The number after KEY ("\"type\":") in LINE from AT on, or -1 (AT moves past it).
long number_after(const std::string& line, const std::string& key, std::size_t& at) {
    const std::size_t k = line.find(key, at);
    if (k == std::string::npos) return -1;
    at = k + key.size();
    std::size_t used = 0;
    const long v = std::stol(line.substr(at), &used);
    at += used;
    return v;
}

// The independent decoder's frames: type, length and payload bytes, in order. (Read by hand:
// std::regex trips g++ 12's maybe-uninitialized warning in the sanitizer build.)
std::vector<ChkFrame> rtcm_oracle(const std::string& name) {
    std::ifstream f(std::string(ZQ_CAPTURES_DIR) + "/" + name);
    std::vector<ChkFrame> out;
    for (std::string line; std::getline(f, line);) {
        std::size_t at = line.find("\"class\":\"RTCM3\"");
        if (at == std::string::npos) continue;
        const long type = number_after(line, "\"type\":", at);
        const long length = type < 0 ? -1 : number_after(line, "\"length\":", at);
        if (length < 0) continue;
        ChkFrame c{static_cast<int>(type), static_cast<std::size_t>(length), {}};
        if (line.compare(at, 9, ",\"data\":[") == 0) {
            const std::size_t end = line.find(']', at);
            for (std::size_t b = line.find("\"0x", at); b < end; b = line.find("\"0x", b + 1))
                c.data.push_back(
                    static_cast<uint8_t>(std::stoul(line.substr(b + 3, 2), nullptr, 16)));
        }
        out.push_back(std::move(c));
    }
    return out;
}

std::vector<std::vector<uint8_t>> frames_of(const std::vector<uint8_t>& stream, std::size_t chunk,
                                            rtcm3::FramerStats* stats = nullptr) {
    rtcm3::Framer framer;
    std::vector<std::vector<uint8_t>> out;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
        const std::size_t n = std::min(chunk, stream.size() - at);
        framer.feed({stream.data() + at, n});
        while (auto f = framer.next())
            out.emplace_back(f->begin(), f->end());
        EXPECT_LT(framer.buffered(), rtcm3::kMaxFrame);
    }
    if (stats) *stats = framer.stats();
    return out;
}

TEST(Rtcm3, CrcKnownAnswers) {
    const std::string digits = "123456789";
    EXPECT_EQ(rtcm3::crc24q({reinterpret_cast<const uint8_t*>(digits.data()), digits.size()}),
              0xCDE703u);
    for (const char* frame : {"d3 00 13 3e d0 00 03 ba 71 ca 31 f2 b6 de 30 eb 47 0a 47 2a 66 d3 "
                              "7f a0 e9",
                              "d3 00 08 4c e0 00 8a 00 00 00 00 a8 f7 2a"}) {
        const auto f = hex_bytes(frame);
        EXPECT_TRUE(rtcm3::valid_frame(f));
        EXPECT_EQ(rtcm3::crc24q(f), 0u) << "the CRC over a whole frame is zero";
        auto bad = f;
        bad[5] ^= 0x10;
        EXPECT_FALSE(rtcm3::valid_frame(bad));
    }
    EXPECT_EQ(rtcm3::message_type(hex_bytes("d3 00 13 3e d0 00 03 ba 71 ca 31 f2 b6 de 30 eb 47 "
                                            "0a 47 2a 66 d3 7f a0 e9")),
              1005);
}

TEST(Rtcm3, FramerFindsEveryFrameOfARealCasterStreamInAnyChunking) {
    const auto stream = read_file("rtcm3.2.log");
    const auto oracle = rtcm_oracle("rtcm3.2.log.chk");
    ASSERT_EQ(oracle.size(), 192u);
    const auto with_bytes = std::count_if(oracle.begin(), oracle.end(), [](const ChkFrame& c) {
        return !c.data.empty() && c.data.size() == c.length;
    });
    ASSERT_GT(with_bytes, 0);
    for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{1000}, stream.size()}) {
        const auto frames = frames_of(stream, chunk);
        ASSERT_EQ(frames.size(), oracle.size()) << "chunk " << chunk;
        for (std::size_t i = 0; i < frames.size(); ++i) {
            EXPECT_EQ(rtcm3::message_type(frames[i]), oracle[i].type) << i;
            ASSERT_EQ(frames[i].size(), oracle[i].length + 6) << i;
            // Frames the oracle decodes into fields carry no payload bytes to compare.
            EXPECT_TRUE(
                std::equal(oracle[i].data.begin(), oracle[i].data.end(), frames[i].begin() + 3))
                << "payload of frame " << i;
        }
    }
}

TEST(Rtcm3, DamageLosesOnlyTheDamagedFrame) {
    auto stream = read_file("rtcm3.2.log");
    const auto clean = frames_of(stream, 512);
    // Flip a payload byte of the tenth frame; put a false preamble with a long length and
    // HTML in front of everything.
    const auto tenth = std::search(stream.begin(), stream.end(), clean[9].begin(), clean[9].end());
    ASSERT_NE(tenth, stream.end());
    tenth[20] ^= 0xFF;
    const std::string junk = "<html><body>404</body></html>\xD3\x03\xFF";
    stream.insert(stream.begin(), junk.begin(), junk.end());
    rtcm3::FramerStats stats;
    const auto frames = frames_of(stream, 300, &stats);
    ASSERT_EQ(frames.size(), clean.size() - 1);
    EXPECT_EQ(frames[8], clean[8]);
    EXPECT_EQ(frames[9], clean[10]);
    EXPECT_GE(stats.bad_crc, 1u);
}

TEST(Nmea, SentenceChecks) {
    const auto ok = [](std::string s) {
        return nmea::valid_sentence({reinterpret_cast<const uint8_t*>(s.data()), s.size()});
    };
    EXPECT_TRUE(ok("$GNGSA,A,3,80,71,73,79,69,,,,,,,,1.83,1.09,1.47*17\r\n"));
    EXPECT_TRUE(ok("$PUBX,00,081350.00,4717.113210,N*00\r\n") == false);  // wrong checksum
    EXPECT_TRUE(ok("$GPTXT,hello\n"));                                    // no checksum
    EXPECT_FALSE(ok("$GN\r\n"));
    EXPECT_FALSE(ok(std::string("$GPGGA,\x01,*00\r\n")));
    EXPECT_FALSE(ok("$GNGSA,A,3*17"));  // no line end
}

// A stream through the UBX scanner into the tap, with a consumer taking everything; *HELD is
// what the scanner still holds at the end (a frame the recording cuts off).
std::vector<ItemPtr> tap_stream(const std::vector<uint8_t>& stream, std::size_t chunk,
                                std::size_t* held = nullptr) {
    Tap tap;
    Interest all;
    all.nmea = all.rtcm3 = all.other = true;
    auto c = tap.subscribe(all, 1 << 20);
    ubx::Scanner scanner;
    scanner.on_skip(
        [](void* ctx, std::span<const uint8_t> b) {
            static_cast<Tap*>(ctx)->publish_skipped(b, 1.0, 2.0);
        },
        &tap);
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
        scanner.feed({stream.data() + at, std::min(chunk, stream.size() - at)});
        while (auto f = scanner.next())
            tap.publish_frame(f->raw, 1.0, 2.0);
    }
    tap.end_of_stream(1.0, 2.0);
    if (held) *held = scanner.buffered();
    std::vector<ItemPtr> items;
    while (auto i = c->try_pop())
        items.push_back(i);
    return items;
}

TEST(Tap, SplitsARecordingIntoWhatItIsLosingNothing) {
    for (const char* name : {"ublox-neo-m8n.log", "ublox-zed-f9p-hp.log"}) {
        const auto stream = read_file(name);
        std::size_t dollar_lines = 0;
        for (std::size_t i = 0; i < stream.size(); ++i)
            dollar_lines += stream[i] == '$' && (i == 0 || stream[i - 1] == '\n');
        for (std::size_t chunk : {std::size_t{1}, std::size_t{64}, stream.size()}) {
            std::size_t held = 0;
            const auto items = tap_stream(stream, chunk, &held);
            std::vector<uint8_t> joined;
            std::size_t nmea = 0, ubx_frames = 0;
            uint64_t seq = 0;
            for (const auto& i : items) {
                EXPECT_GT(i->seq, seq);
                seq = i->seq;
                joined.insert(joined.end(), i->bytes.begin(), i->bytes.end());
                nmea += i->kind == Kind::nmea;
                ubx_frames += i->kind == Kind::ubx;
                if (i->kind == Kind::nmea) {
                    EXPECT_EQ(i->bytes.front(), '$');
                    EXPECT_EQ(i->bytes.back(), '\n');
                }
                EXPECT_EQ(i->rx_real, 2.0);
            }
            EXPECT_EQ(joined, std::vector<uint8_t>(stream.begin(), stream.end() - held))
                << name << " in chunks of " << chunk;
            EXPECT_LT(held, 100u);
            EXPECT_EQ(nmea, dollar_lines) << name;
            EXPECT_GT(ubx_frames, 20u);
        }
    }
}

TEST(Tap, RtcmAmongUbxIsTakenAsRtcm) {
    auto stream = read_file("ublox-neo-m8n.log");
    const auto rtcm = read_file("rtcm3.log");
    const auto first = std::find(rtcm.begin(), rtcm.end(), uint8_t{0xD3});
    stream.insert(stream.end(), first, rtcm.end());
    const auto items = tap_stream(stream, 100);
    std::vector<uint16_t> types;
    for (const auto& i : items)
        if (i->kind == Kind::rtcm3) types.push_back(rtcm3::message_type(i->bytes));
    EXPECT_EQ(types, (std::vector<uint16_t>{1029, 1005}));
}

TEST(Tap, ConsumersAreBoundedFilteredAndWakeable) {
    Tap tap;
    Interest pvt_only;
    pvt_only.ubx_keys = {0x0107};
    auto small = tap.subscribe(Interest{}, 4, true);
    auto pvt = tap.subscribe(pvt_only, 100);
    EXPECT_EQ(small->pop(std::chrono::milliseconds(1)), nullptr) << "times out when empty";
    pollfd p{small->fd(), POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0);
    const auto sat = ubx::make_frame(0x01, 0x35, std::vector<uint8_t>(8, 0));
    const auto pvtf = ubx::make_frame(0x01, 0x07, std::vector<uint8_t>(92, 0));
    for (int k = 0; k < 10; ++k)
        tap.publish_frame(k % 2 ? pvtf : sat, k, k);
    EXPECT_EQ(poll(&p, 1, 0), 1) << "readable while items wait";
    EXPECT_EQ(small->dropped(), 6u) << "a full queue loses its oldest";
    std::vector<double> kept;
    while (auto i = small->try_pop())
        kept.push_back(i->rx_mono);
    EXPECT_EQ(kept, (std::vector<double>{6, 7, 8, 9}));
    EXPECT_EQ(poll(&p, 1, 0), 0) << "not readable once drained";
    EXPECT_EQ(pvt->size(), 5u);
    EXPECT_EQ(pvt->dropped(), 0u);
    ASSERT_NE(tap.latest(0x0135), nullptr);
    EXPECT_EQ(tap.latest(0x0135)->rx_mono, 8);
    tap.publish_state(State::live, 1, 1);
    tap.publish_state(State::live, 2, 2);  // no change, no item
    EXPECT_EQ(pvt->size(), 6u);
    tap.close();
    EXPECT_EQ(pvt->size(), 6u) << "what is queued stays after close";
    for (int k = 0; k < 6; ++k)
        EXPECT_NE(pvt->pop(), nullptr);
    EXPECT_EQ(pvt->pop(), nullptr) << "a closed, drained consumer never blocks";
    EXPECT_TRUE(tap.subscribe(Interest{})->closed());
}

TEST(Pvt, DecodesTheRecordingsLikeTheIndependentDecoder) {
    // First NAV-PVT of the NEO-M8N recording: gpsd's TPV says 2017-07-19T08:50:00.800Z,
    // lat -34.906226300, lon 138.608119700, altHAE 25.424, altMSL 28.895.
    const auto stream = read_file("ublox-neo-m8n.log");
    ubx::Scanner scanner;
    scanner.feed(stream);
    std::optional<Pvt> first;
    while (auto f = scanner.next()) {
        if (!first) first = decode_pvt(f->raw);
    }
    ASSERT_TRUE(first);
    EXPECT_EQ(first->lat, -349062263);
    EXPECT_EQ(first->lon, 1386081197);
    EXPECT_EQ(first->height, 25424);
    EXPECT_EQ(first->hMSL, 28895);
    ASSERT_TRUE(first->utc());
    // 2017-07-19T08:50:00.800Z
    EXPECT_NEAR(*first->utc(), 1500454200.8, 0.0015);
    EXPECT_FALSE(decode_pvt(ubx::make_frame(0x01, 0x35, std::vector<uint8_t>(8, 0))));
    EXPECT_EQ(days_from_civil(1970, 1, 1), 0);
    EXPECT_EQ(days_from_civil(2000, 3, 1), 11017);
}

}  // namespace
