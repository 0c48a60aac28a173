// Framing: checksum, frame checks and the scanner's resynchronisation and chunking behaviour.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "ubx/ubx.hpp"

namespace {

using Bytes = std::vector<uint8_t>;

// The power-mode command as the protocol notes print it: CFG-RXM, reserved1 8, lpMode 0.
const Bytes kCfgRxm = {0xB5, 0x62, 0x06, 0x11, 0x02, 0x00, 0x08, 0x00, 0x21, 0x91};

Bytes read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    EXPECT_TRUE(f.good()) << path;
    return Bytes(std::istreambuf_iterator<char>(f), {});
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes text(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

// Feeds `in` in chunks of the given sizes (cycled; empty = one chunk) and collects the frames.
std::vector<Bytes> scan(const Bytes& in, std::vector<std::size_t> chunks = {},
                        ubx::Scanner* scanner = nullptr) {
    ubx::Scanner local;
    ubx::Scanner& s = scanner ? *scanner : local;
    std::vector<Bytes> out;
    std::size_t pos = 0;
    for (std::size_t k = 0; pos < in.size(); ++k) {
        const std::size_t n =
            chunks.empty() ? in.size() : std::min(chunks[k % chunks.size()], in.size() - pos);
        s.feed(std::span(in).subspan(pos, n));
        pos += n;
        while (auto f = s.next())
            out.emplace_back(f->raw.begin(), f->raw.end());
        // One frame, and the rest of a header in its last bytes (frame.hpp).
        EXPECT_LE(s.buffered(), s.max_payload() + ubx::kOverhead + ubx::kHeaderSize - 1);
    }
    return out;
}

// The first few UBX frames of a recording, as an independent source of real frames.
std::vector<Bytes> capture_frames(const char* name) {
    return scan(read_file(std::string(ZQ_CAPTURES_DIR) + "/" + name));
}

TEST(Checksum, MatchesThePublishedFrame) {
    const ubx::Checksum ck = ubx::checksum(std::span(kCfgRxm).subspan(2, 6));
    EXPECT_EQ(ck.a, 0x21);
    EXPECT_EQ(ck.b, 0x91);
    const Bytes payload = {0x08, 0x00};
    EXPECT_EQ(ubx::make_frame(0x06, 0x11, payload), kCfgRxm);
    // A poll is the bare header: 01 07 00 00 sums to a = 08, b = 01 + 08 + 08 + 08 = 19.
    EXPECT_EQ(ubx::make_frame(0x01, 0x07, {}), (Bytes{0xB5, 0x62, 0x01, 0x07, 0, 0, 0x08, 0x19}));
}

TEST(Checksum, LongPayloadMatchesByteWiseDefinition) {
    Bytes data(70000);
    std::mt19937 rng(7);
    for (auto& b : data)
        b = static_cast<uint8_t>(rng());
    uint8_t a = 0, b = 0;
    for (uint8_t x : data) {
        a = static_cast<uint8_t>(a + x);
        b = static_cast<uint8_t>(b + a);
    }
    const ubx::Checksum ck = ubx::checksum(data);
    EXPECT_EQ(ck.a, a);
    EXPECT_EQ(ck.b, b);
}

TEST(ParseFrame, ErrorsSayWhichFrameAndWhy) {
    Bytes bad = kCfgRxm;
    bad[9] ^= 0xFF;
    try {
        ubx::parse_frame(bad);
        FAIL() << "bad checksum accepted";
    } catch (const ubx::Error& e) {
        EXPECT_EQ(e.code(), ubx::Errc::BadChecksum);
        EXPECT_EQ(e.cls(), 0x06);
        EXPECT_EQ(e.id(), 0x11);
        EXPECT_EQ(e.length(), 2u);
        EXPECT_NE(std::string(e.what()).find("CFG-RXM"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("expected 21 91, frame has 21 6e"), std::string::npos)
            << e.what();
    }
    const Bytes cut(kCfgRxm.begin(), kCfgRxm.end() - 1);
    EXPECT_THROW(
        {
            try {
                ubx::parse_frame(cut);
            } catch (const ubx::Error& e) {
                EXPECT_EQ(e.code(), ubx::Errc::BadFrame);
                throw;
            }
        },
        ubx::Error);
}

TEST(Scanner, StepsOverNoiseNmeaAndRtcm3) {
    std::mt19937 rng(1);
    Bytes noise(3000);
    for (auto& b : noise)
        b = static_cast<uint8_t>(rng() % 0xB5);  // no sync char by chance
    const Bytes nmea =
        text("$GPGGA,085000.80,3454.3736,S,13836.4872,E,2,00,,28.89,M,-1.662,M,,*4D\r\n");
    // RTCM3 1005 frame shape: D3, 10-bit length 19, body, CRC-24Q; with a B5 62 inside its body.
    Bytes rtcm = {0xD3, 0x00, 0x13, 0x3E, 0xD0, 0x00, 0x03, 0xB5, 0x62, 0x06, 0x11, 0x40, 0x00};
    rtcm.resize(3 + 19 + 3, 0x5A);
    const Bytes stream = cat({noise, nmea, rtcm, kCfgRxm, nmea, kCfgRxm});
    for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{4096}}) {
        EXPECT_EQ(scan(stream, {chunk}), (std::vector<Bytes>{kCfgRxm, kCfgRxm})) << chunk;
    }
}

TEST(Scanner, FalseSyncNeverSwallowsFramesBehindIt) {
    const auto real = capture_frames("ublox-zed-f9p-hp.log");
    ASSERT_GE(real.size(), 3u);
    // Length above the cap: rejected at once.
    const Bytes huge = {0xB5, 0x62, 0x01, 0x07, 0xFF, 0xFF};
    // A catalogued message with a length none of its forms has: rejected at once too.
    const Bytes bad_length = {0xB5, 0x62, 0x01, 0x07, 0x00, 0x01};
    // Plausible length: the candidate covers the real frames and is awaited; it fails its
    // checksum once complete, and the frames inside it come out then.
    const Bytes plausible = {0xB5, 0x62, 0x01, 0x77, 0x00, 0x01};
    for (const Bytes& fake : {huge, bad_length, plausible}) {
        const Bytes stream = cat({fake, real[0], real[1], real[2], Bytes(256, 0)});
        for (std::size_t chunk : {std::size_t{1}, std::size_t{5}, std::size_t{64}, stream.size()}) {
            ubx::Scanner s;
            EXPECT_EQ(scan(stream, {chunk}, &s), (std::vector<Bytes>{real[0], real[1], real[2]}))
                << "fake length " << fake[5] * 256 + fake[4] << ", chunk " << chunk;
            const auto& st = s.stats();
            EXPECT_EQ(st.oversize + st.bad_lengths + st.bad_checksums + st.false_syncs, 1u);
        }
    }
}

// Found by the fuzzer: after a frame that lay inside a rejected candidate, the carried bytes
// were taken as a frame start without looking for the sync chars. 0x58 in place of 0xB5 keeps
// the checksum valid, since the checksum does not cover the sync chars.
TEST(Scanner, BytesAfterFrameInsideRejectedCandidateAreHuntedAgain) {
    Bytes forged = kCfgRxm;
    forged[0] = 0x58;
    const Bytes fake = {0xB5, 0x62, 0x01, 0x07, 0x20, 0x00};
    const Bytes stream = cat({fake, kCfgRxm, forged, Bytes(20, 0x11), kCfgRxm});
    for (std::size_t chunk = 1; chunk <= stream.size(); ++chunk) {
        EXPECT_EQ(scan(stream, {chunk}), (std::vector<Bytes>{kCfgRxm, kCfgRxm})) << chunk;
    }
}

TEST(Scanner, FuzzRegressionInputsScanAlikeInAnyChunking) {
    for (const auto& entry : std::filesystem::directory_iterator(ZQ_FUZZ_REGRESSIONS_DIR)) {
        const Bytes in = read_file(entry.path());
        const auto whole = scan(in);
        for (const auto& f : whole) {
            EXPECT_NO_THROW(ubx::parse_frame(f)) << entry.path();
        }
        for (std::size_t chunk : {1, 2, 3, 13, 97}) {
            EXPECT_EQ(scan(in, {chunk}), whole) << entry.path() << " chunk " << chunk;
        }
    }
}

TEST(Scanner, BitFlipDropsOnlyTheDamagedFrame) {
    const auto real = capture_frames("ublox-neo-m8n.log");
    ASSERT_GE(real.size(), 3u);
    const Bytes& before = real[0];
    const Bytes& after = real[2];
    for (std::size_t bit = 0; bit < real[1].size() * 8; ++bit) {
        Bytes damaged = real[1];
        damaged[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        // Filler, so that a flipped length bit cannot leave a candidate waiting at the end.
        const Bytes stream = cat({before, damaged, after, Bytes(ubx::kDefaultMaxPayload, 0)});
        EXPECT_EQ(scan(stream, {13}), (std::vector<Bytes>{before, after})) << "bit " << bit;
    }
}

TEST(Scanner, AnyChunkingGivesTheSameFrames) {
    const Bytes in = read_file(std::string(ZQ_CAPTURES_DIR) + "/ublox-zed-f9p-hp.log");
    const auto whole = scan(in);
    ASSERT_EQ(whole.size(), 293u);  // frame count listed with the recording
    for (std::size_t chunk : {1, 2, 3, 5, 8, 100, 4095}) {
        EXPECT_EQ(scan(in, {chunk}), whole) << chunk;
    }
    EXPECT_EQ(scan(in, {1, 6, 2, 91, 3, 512}), whole);
}

TEST(Scanner, CountsWhatItSkips) {
    ubx::Scanner s;
    Bytes bad = kCfgRxm;
    bad[6] = 0x09;
    const Bytes stream = cat({text("$GP*00\r\n"), bad, kCfgRxm});
    EXPECT_EQ(scan(stream, {}, &s).size(), 1u);
    EXPECT_EQ(s.stats().frames, 1u);
    EXPECT_EQ(s.stats().bad_checksums, 1u);
    EXPECT_EQ(s.stats().skipped_bytes, 8u + bad.size());
}

TEST(Scanner, MemoryStaysBoundedOnHostileInput) {
    // Every fourth byte starts a candidate of the largest accepted length.
    Bytes hostile;
    for (int i = 0; i < 8192; ++i)
        hostile.insert(hostile.end(), {0xB5, 0x62, 0x00, 0x40});
    ubx::Scanner s;
    EXPECT_TRUE(scan(cat({hostile, kCfgRxm}), {1000}, &s).size() == 1);
    EXPECT_LE(s.buffered(), ubx::kDefaultMaxPayload + ubx::kOverhead);
}

TEST(Scanner, WantedIsTheRestOfTheFrameOrAMinimalFrame) {
    ubx::Scanner s;
    EXPECT_EQ(s.wanted(), 8u);
    s.feed(std::span(kCfgRxm).first(1));
    EXPECT_FALSE(s.next());
    EXPECT_EQ(s.wanted(), 7u);
    s.feed(std::span(kCfgRxm).subspan(1, 5));
    EXPECT_FALSE(s.next());
    EXPECT_EQ(s.wanted(), 4u);
    s.feed(std::span(kCfgRxm).subspan(6));
    ASSERT_TRUE(s.next());
    EXPECT_FALSE(s.next());
    EXPECT_EQ(s.wanted(), 8u);
    EXPECT_EQ(s.buffered(), 0u);
    // Behind a waiting header, a frame may start in the next byte.
    const Bytes fake = {0xB5, 0x62, 0x77, 0x01, 0x2C, 0x01};
    s.feed(fake);
    EXPECT_FALSE(s.next());
    EXPECT_EQ(s.wanted(), 8u);
    s.feed(std::span(kCfgRxm).first(7));
    EXPECT_FALSE(s.next());
    EXPECT_EQ(s.wanted(), 3u);
}

TEST(Scanner, FeedBeforeDrainIsRefused) {
    ubx::Scanner s;
    const Bytes two = cat({kCfgRxm, kCfgRxm});
    s.feed(two);
    ASSERT_TRUE(s.next());
    EXPECT_THROW(s.feed(two), std::logic_error);
}

// Feeds `in` one byte at a time; each frame comes with the number of bytes fed when it came out.
std::vector<std::pair<std::size_t, Bytes>> byte_by_byte(const Bytes& in) {
    ubx::Scanner s;
    std::vector<std::pair<std::size_t, Bytes>> out;
    for (std::size_t i = 0; i < in.size(); ++i) {
        s.feed(std::span(in).subspan(i, 1));
        while (auto f = s.next())
            out.emplace_back(i + 1, Bytes(f->raw.begin(), f->raw.end()));
    }
    return out;
}

TEST(ScannerFalseHeader, FrameBehindItComesOutWithItsLastByte) {
    const auto real = capture_frames("ublox-neo-m8n.log");
    ASSERT_GE(real.size(), 2u);
    const std::vector<Bytes> fakes = {
        {0xB5, 0x62, 0x01, 0x07, 0xF4, 0x01},  // NAV-PVT of 500 bytes: no such form
        {0xB5, 0x62, 0x77, 0x01, 0x2C, 0x01},  // no such class, 300 bytes
        // NAV with an unknown id and a length above any NAV message's (a NAV header of a length
        // that a NAV message can have is awaited: ScannerPlausibleFalseHeader below).
        {0xB5, 0x62, 0x01, 0x99, 0x00, 0x3C},
        cat({{0xB5, 0x62, 0x77, 0x01, 0x90, 0x01}, {0xB5, 0x62, 0x78, 0x02, 0xC8, 0x00}}),
    };
    std::mt19937 rng(5);
    for (const Bytes& fake : fakes) {
        const Bytes stream = cat({fake, real[0], text("$GP*00\r\n"), real[1], kCfgRxm});
        const std::vector<Bytes> want = {real[0], real[1], kCfgRxm};
        const std::size_t end0 = fake.size() + real[0].size();
        EXPECT_EQ(
            byte_by_byte(stream),
            (std::vector<std::pair<std::size_t, Bytes>>{
                {end0, real[0]}, {end0 + 8 + real[1].size(), real[1]}, {stream.size(), kCfgRxm}}));
        ubx::Scanner s;
        EXPECT_EQ(scan(stream, {}, &s), want);
        EXPECT_EQ(s.stats().bad_lengths + s.stats().false_syncs + s.stats().bad_checksums,
                  fake.size() / 6);
        for (int round = 0; round < 20; ++round)
            EXPECT_EQ(scan(stream, {1 + rng() % 120, 1 + rng() % 120, 1 + rng() % 9}), want);
    }
}

// A checksum-valid frame that holds another: the one ending first comes out in any chunking,
// as it does fed byte by byte.
TEST(ScannerFalseHeader, NestedValidFramesGiveTheSameFrameInAnyChunking) {
    const Bytes outer = ubx::make_frame(0x77, 0x02, cat({Bytes(3, 0x11), kCfgRxm, Bytes(3, 0)}));
    const Bytes stream = cat({outer, kCfgRxm});
    for (std::size_t cut = 1; cut <= stream.size(); ++cut)
        EXPECT_EQ(scan(stream, {cut, stream.size()}), (std::vector<Bytes>{kCfgRxm, kCfgRxm}));
}

TEST(ScannerFalseHeader, LargeFrameFedByteByByteComesOutWholeOnce) {
    Bytes payload(8176);  // RXM-RAWX (not catalogued) at its longest
    std::mt19937 rng(3);
    for (auto& b : payload)
        b = static_cast<uint8_t>(rng());
    ASSERT_TRUE(scan(payload).empty()) << "payload holds a frame of its own";
    const Bytes frame = ubx::make_frame(0x02, 0x15, payload);
    EXPECT_EQ(byte_by_byte(cat({frame, kCfgRxm})),
              (std::vector<std::pair<std::size_t, Bytes>>{{frame.size(), frame},
                                                          {frame.size() + 10, kCfgRxm}}));
}

TEST(ScannerFalseHeader, RepeatedFalseHeadersKeepMemoryBounded) {
    Bytes stream;
    for (int i = 0; i < 3000; ++i) {
        stream.insert(stream.end(), {0xB5, 0x62, 0x77, uint8_t(i), 0x80, 0x3F});  // 16256 bytes
        if (i % 100 == 99) stream.insert(stream.end(), kCfgRxm.begin(), kCfgRxm.end());
    }
    EXPECT_EQ(scan(stream, {997}), std::vector<Bytes>(30, kCfgRxm));  // checks buffered()
}

TEST(Scanner, HasUnscannedWhileBytesBehindTheLastFrameWait) {
    ubx::Scanner s;
    const Bytes two = cat({kCfgRxm, kCfgRxm});
    s.feed(two);
    ASSERT_TRUE(s.next());
    EXPECT_TRUE(s.has_unscanned());
    // Behind a waiting header the carry takes both frames in: the input drains at once.
    const Bytes fake = {0xB5, 0x62, 0x77, 0x01, 0x2C, 0x01};
    for (const Bytes* chunk : {&fake, &two}) {
        while (s.next()) {
        }
        EXPECT_FALSE(s.has_unscanned());
        s.feed(*chunk);
    }
    ASSERT_TRUE(s.next());
    EXPECT_TRUE(s.drained());
    EXPECT_TRUE(s.has_unscanned());
    ASSERT_TRUE(s.next());
    EXPECT_FALSE(s.has_unscanned());
}

TEST(ScannerKnownLengths, CataloguedIdWithImpossibleLengthIsSkippedAtOnce) {
    const Bytes short_pvt = ubx::make_frame(0x01, 0x07, Bytes(10));  // checksum-valid
    const Bytes stream = cat({short_pvt, kCfgRxm});
    ubx::Scanner s;
    EXPECT_EQ(scan(stream, {1}, &s), (std::vector<Bytes>{kCfgRxm}));
    EXPECT_EQ(s.stats().bad_lengths, 1u);
    ubx::Scanner off(ubx::kDefaultMaxPayload, false);
    EXPECT_EQ(scan(stream, {1}, &off), (std::vector<Bytes>{short_pvt, kCfgRxm}));
    // Dropped on its header; an uncatalogued class/id of that length is waited for.
    ubx::Scanner t;
    const Bytes unknown = {0xB5, 0x62, 0x01, 0x08, 0x0A, 0x00};
    for (const Bytes& header : {Bytes(short_pvt.begin(), short_pvt.begin() + 6), unknown}) {
        t.feed(header);
        EXPECT_FALSE(t.next());
    }
    EXPECT_EQ(t.buffered(), 6u);
}

TEST(ScannerKnownLengths, EveryLengthTheCatalogueDecodesStillPasses) {
    for (const ubx::MessageDef& m : ubx::catalogue) {
        std::vector<std::size_t> lens = {0, m.min_len};  // a poll, the shortest form
        if (m.block_size != 0) {
            const std::size_t top = std::min<std::size_t>(m.max_len, ubx::kDefaultMaxPayload);
            lens.push_back(m.min_len + (top - m.min_len) / m.block_size * m.block_size);
        }
        for (const std::size_t len : lens) {
            const Bytes f = ubx::make_frame(m.cls(), m.id(), Bytes(len));
            EXPECT_EQ(scan(f), std::vector<Bytes>{f}) << m.name << " " << len;
        }
    }
}

// A true frame whose payload holds frame-like bytes at any offset comes out whole: what starts
// inside it waits for it. The embedded bytes: the empty frame (class 0, valid), short valid
// catalogued frames, a plausible header whose bytes run past the frame, a header of a class
// nobody sends. The frames holding them: catalogued (fixed length, blocks) and uncatalogued
// messages of real classes.
TEST(ScannerEmbedded, FrameLikeBytesInAPayloadNeverPreemptIt) {
    const Bytes ack = ubx::make_frame(0x05, 0x01, Bytes{0x06, 0x11});
    const std::vector<Bytes> embeds = {
        {0xB5, 0x62, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
        kCfgRxm,
        ack,
        {0xB5, 0x62, 0x01, 0x07, 0x5C, 0x00},  // NAV-PVT header, 92 bytes
        {0xB5, 0x62, 0x00, 0x00, 0x04, 0x00},
    };
    struct Outer {
        uint8_t cls, id;
        std::size_t len;
    };
    const Outer outers[] = {
        {0x01, 0x07, 92}, {0x01, 0x35, 8 + 12 * 3}, {0x02, 0x14, 60}, {0x01, 0x03, 16}};
    std::mt19937 rng(11);
    Bytes noise(92);
    for (auto& b : noise)
        b = static_cast<uint8_t>(rng() % 0xB5);
    const Bytes nmea = text("$GNGLL,,,,,,V,N*7A\r\n");
    for (const Outer& o : outers) {
        for (const Bytes& embed : embeds) {
            for (const bool zeros : {true, false}) {
                for (std::size_t at = 0; at + embed.size() <= o.len; ++at) {
                    Bytes payload =
                        zeros ? Bytes(o.len, 0) : Bytes(noise.begin(), noise.begin() + o.len);
                    std::copy(embed.begin(), embed.end(), payload.begin() + at);
                    const Bytes frame = ubx::make_frame(o.cls, o.id, payload);
                    const Bytes stream = cat({kCfgRxm, frame, nmea, kCfgRxm});
                    const std::vector<Bytes> want = {kCfgRxm, frame, kCfgRxm};
                    ASSERT_EQ(scan(stream), want) << int(o.cls) << "/" << int(o.id) << " at " << at;
                    if (zeros) {
                        for (std::size_t cut = 1; cut < stream.size(); ++cut)
                            ASSERT_EQ(scan(stream, {cut, stream.size()}), want) << at << " " << cut;
                    } else {
                        const std::size_t end1 = kCfgRxm.size() + frame.size();
                        ASSERT_EQ(byte_by_byte(stream), (std::vector<std::pair<std::size_t, Bytes>>{
                                                            {kCfgRxm.size(), kCfgRxm},
                                                            {end1, frame},
                                                            {stream.size(), kCfgRxm}}));
                    }
                }
            }
        }
    }
}

// bench/codec's stream lost NAV-PVT 32,345: its iTOW, 6,469,000 ms = 0x0062B588, puts B5 62 00
// before the zero year and month, an empty frame ending inside the NAV-PVT.
TEST(ScannerEmbedded, NavPvtWhoseITowHoldsSyncCharsComesOut) {
    Bytes stream;
    std::vector<Bytes> want;
    for (uint32_t i = 32340; i < 32350; ++i) {
        const ubx::NamedValue f[] = {{"iTOW", i * 200}, {"numSV", i % 30}};
        want.push_back(ubx::build_frame(1, 7, ubx::Mode::Get, f));
        stream.insert(stream.end(), want.back().begin(), want.back().end());
    }
    for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{100}, stream.size()})
        EXPECT_EQ(scan(stream, {chunk}), want) << chunk;
}

// A false header of a real class with a length its messages can have cannot be told from a true
// frame until its bytes are in: the frames behind it wait for it, then come out, none lost.
TEST(ScannerPlausibleFalseHeader, DelaysTheFramesBehindItAndLosesNone) {
    const auto real = capture_frames("ublox-neo-m8n.log");
    ASSERT_GE(real.size(), 2u);
    const Bytes fake = {0xB5, 0x62, 0x01, 0x55, 0xE8, 0x03};  // NAV, unknown id, 1000 bytes
    const Bytes stream =
        cat({fake, real[0], text("$GP*00\r\n"), real[1], kCfgRxm, Bytes(1000, 0x20), kCfgRxm});
    const std::size_t due = 1000 + ubx::kOverhead;
    ASSERT_LT(fake.size() + real[0].size() + 8 + real[1].size() + kCfgRxm.size(), due);
    EXPECT_EQ(byte_by_byte(stream), (std::vector<std::pair<std::size_t, Bytes>>{
                                        {due, real[0]},
                                        {due, real[1]},
                                        {due, kCfgRxm},
                                        {stream.size(), kCfgRxm},
                                    }));
    ubx::Scanner s;
    EXPECT_EQ(scan(stream, {333}, &s), (std::vector<Bytes>{real[0], real[1], kCfgRxm, kCfgRxm}));
    EXPECT_EQ(s.stats().bad_checksums, 1u);
    // While it is awaited, a reader is told to bring the rest of it.
    ubx::Scanner w;
    w.feed(fake);
    EXPECT_FALSE(w.next());
    EXPECT_EQ(w.wanted(), due - fake.size());
}

// Without known_lengths_only a catalogued message of a length it cannot have is kept when it is
// valid, but as a candidate that cannot be true it gives way to a plausible frame inside it.
TEST(ScannerKnownLengths, AnyLengthModeKeepsImpossibleLengthsButNotOverTrueFrames) {
    const Bytes odd_pvt = ubx::make_frame(0x01, 0x07, cat({Bytes(4, 0x11), kCfgRxm, Bytes(2, 0)}));
    ubx::Scanner off(ubx::kDefaultMaxPayload, false);
    EXPECT_EQ(scan(odd_pvt, {}, &off), std::vector<Bytes>{kCfgRxm});
    EXPECT_EQ(off.stats().false_syncs, 1u);
    const Bytes alone = ubx::make_frame(0x01, 0x07, Bytes(16, 0x11));
    ubx::Scanner off2(ubx::kDefaultMaxPayload, false);
    EXPECT_EQ(scan(cat({alone, kCfgRxm}), {3}, &off2), (std::vector<Bytes>{alone, kCfgRxm}));
}

// Found by the fuzzer: an implausible candidate more than a frame before the end of a long chunk
// was kept at a wrong offset, and the frames around it came out otherwise than in pieces.
TEST(ScannerEmbedded, ImplausibleFrameEarlyInALongChunkComesOutAsInPieces) {
    const Bytes odd = ubx::make_frame(0x77, 0x01, Bytes{1, 2, 3, 4});
    Bytes gap(3 * ubx::kDefaultMaxPayload);
    for (std::size_t i = 0; i < gap.size(); ++i)
        gap[i] = static_cast<uint8_t>(i % 0xB5);
    const Bytes stream = cat({kCfgRxm, odd, gap, kCfgRxm, odd, kCfgRxm});
    const std::vector<Bytes> want = {kCfgRxm, odd, kCfgRxm, odd, kCfgRxm};
    EXPECT_EQ(scan(stream), want);
    EXPECT_EQ(scan(stream, {4093}), want);
}

// What a receiver could send, as the scanner judges headers.
TEST(ScannerEmbedded, PlausibleFollowsTheClassTableAndTheForms) {
    EXPECT_FALSE(ubx::plausible(0x00, 0x00, 0));  // the empty frame: a class nobody sends
    EXPECT_FALSE(ubx::plausible(0xD3, 0x23, 0));
    EXPECT_TRUE(ubx::plausible(0x01, 0x07, 92));
    EXPECT_TRUE(ubx::plausible(0x01, 0x07, 0));  // a poll
    EXPECT_FALSE(ubx::plausible(0x01, 0x07, 10));
    EXPECT_TRUE(ubx::plausible(0x01, 0x55, 1000));    // NAV, uncatalogued id
    EXPECT_FALSE(ubx::plausible(0x01, 0x99, 15360));  // longer than any NAV message
    EXPECT_TRUE(ubx::plausible(0x02, 0x15, 8176));    // RXM-RAWX at its longest
    EXPECT_FALSE(ubx::plausible(0x05, 0x01, 3));
    EXPECT_TRUE(ubx::plausible(0x04, 0x02, 5000));  // INF text has no bound
}

}  // namespace
