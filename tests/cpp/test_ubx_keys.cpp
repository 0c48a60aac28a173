// Configuration by key: payload builders and parsers against hand-written payload bytes, the
// limits a receiver enforces, and what a damaged key list does.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ubx/ubx.hpp"

namespace {

using Bytes = std::vector<uint8_t>;
using ubx::KeyValue;

ubx::Errc error_of(auto&& fn, std::string* what = nullptr) {
    try {
        fn();
    } catch (const ubx::Error& e) {
        if (what) *what = e.what();
        return e.code();
    }
    ADD_FAILURE() << "no ubx::Error thrown";
    return ubx::Errc::BadFrame;
}

// The payloads of frames written out byte by byte in the protocol notes.
TEST(Keys, PayloadsMatchKnownFrames) {
    const KeyValue meas[] = {{0x30210001, 100}};
    EXPECT_EQ(ubx::make_frame(0x06, 0x8A, ubx::valset_payload(1, meas)),
              (Bytes{0xB5, 0x62, 0x06, 0x8A, 0x0A, 0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x00, 0x21,
                     0x30, 0x64, 0x00, 0x51, 0xB9}));
    const KeyValue pvt[] = {{0x20910009, 1}};
    EXPECT_EQ(ubx::make_frame(0x06, 0x8A, ubx::valset_payload(7, pvt)),
              (Bytes{0xB5, 0x62, 0x06, 0x8A, 0x09, 0x00, 0x00, 0x07, 0x00, 0x00, 0x09, 0x00, 0x91,
                     0x20, 0x01, 0x5B, 0x82}));
    const KeyValue full_power[] = {{0x20d00001, 0}};
    EXPECT_EQ(ubx::make_frame(0x06, 0x8A, ubx::valset_payload(1, full_power)),
              (Bytes{0xB5, 0x62, 0x06, 0x8A, 0x09, 0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x00, 0xD0,
                     0x20, 0x00, 0x8B, 0xE6}));
    const uint32_t keys[] = {0x30210001};
    EXPECT_EQ(ubx::make_frame(0x06, 0x8B, ubx::valget_request(0, 0, keys)),
              (Bytes{0xB5, 0x62, 0x06, 0x8B, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x21,
                     0x30, 0xEB, 0x07}));
}

TEST(Keys, HeadersCarryVersionLayersTransactionAndPosition) {
    const uint32_t keys[] = {0x10780001, 0x40520001};
    EXPECT_EQ(ubx::valget_request(7, 0x1234, keys),
              (Bytes{0, 7, 0x34, 0x12, 0x01, 0, 0x78, 0x10, 0x01, 0, 0x52, 0x40}));
    EXPECT_EQ(ubx::valdel_payload(6, keys, 1, 3),
              (Bytes{1, 6, 3, 0, 0x01, 0, 0x78, 0x10, 0x01, 0, 0x52, 0x40}));
    // Version 0 has no transaction: the action byte stays reserved.
    EXPECT_EQ(ubx::valdel_payload(2, keys, 0, 2)[2], 0);
    const KeyValue one[] = {{0x10780001, 1}};
    EXPECT_EQ(ubx::valset_payload(1, one, 1, 1), (Bytes{1, 1, 1, 0, 0x01, 0, 0x78, 0x10, 1}));
    const KeyValue answer[] = {{0x40520001, 115200}};
    EXPECT_EQ(ubx::valget_answer(2, 3, answer),
              (Bytes{1, 2, 3, 0, 0x01, 0, 0x52, 0x40, 0x00, 0xC2, 0x01, 0x00}));
}

// Every size code in one list; the parser must take each value's width from its id alone,
// whether or not the table knows the key.
TEST(Keys, ParseTakesEachValueSizeFromItsId) {
    const Bytes data = {
        0x01, 0x00, 0x78, 0x10, 0x01,                                            // L
        0x99, 0x00, 0x77, 0x20, 0xFE,                                            // 1 byte, unknown
        0x01, 0x00, 0x21, 0x30, 0xE8, 0x03,                                      // U2 1000
        0x99, 0x00, 0x52, 0x40, 0x78, 0x56, 0x34, 0x12,                          // 4 bytes, unknown
        0x01, 0x00, 0x00, 0x50, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x88,  // 8 bytes
    };
    const auto kv = ubx::parse_key_values(data);
    const std::vector<KeyValue> want = {{0x10780001, 1},
                                        {0x20770099, 0xFE},
                                        {0x30210001, 1000},
                                        {0x40520099, 0x12345678},
                                        {0x50000001, 0x8807060504030201ull}};
    EXPECT_EQ(kv, want);
    // And back: the builder writes exactly the bytes it parsed.
    const auto payload = ubx::valset_payload(1, kv);
    EXPECT_EQ(Bytes(payload.begin() + 4, payload.end()), data);
    EXPECT_TRUE(ubx::parse_key_values({}).empty());
}

TEST(Keys, DamagedListsAreErrorsNotGuesses) {
    const Bytes good = {0x01, 0x00, 0x21, 0x30, 0xE8, 0x03};
    std::string what;
    for (std::size_t cut = 1; cut < good.size(); ++cut) {
        const Bytes part(good.begin(), good.begin() + static_cast<long>(cut));
        EXPECT_EQ(error_of([&] { ubx::parse_key_values(part); }, &what), ubx::Errc::BadLength)
            << cut;
    }
    EXPECT_NE(what.find("CFG-RATE-MEAS"), std::string::npos) << what;
    for (const uint8_t code : {0x00, 0x60, 0x70}) {
        const Bytes bad = {0x01, 0x00, 0x21, code, 0x00, 0x00, 0x00, 0x00};
        EXPECT_EQ(error_of([&] { ubx::parse_key_values(bad); }, &what), ubx::Errc::BadValue);
        EXPECT_NE(what.find("illegal size"), std::string::npos) << what;
    }
    EXPECT_EQ(error_of([&] { ubx::parse_keys(Bytes{1, 0, 0x21, 0x30, 1}); }), ubx::Errc::BadLength);
    EXPECT_EQ(ubx::parse_keys(Bytes{1, 0, 0x21, 0x30, 0x02, 0, 0x21, 0x30}),
              (std::vector<uint32_t>{0x30210001, 0x30210002}));
}

TEST(Keys, BuildersRefuseWhatNoReceiverAccepts) {
    std::vector<KeyValue> values(64, KeyValue{0x20910009, 1});
    std::vector<uint32_t> keys(64, 0x20910009);
    EXPECT_EQ(ubx::valset_payload(1, values).size(), 4u + 64 * 5);
    EXPECT_EQ(ubx::valget_request(0, 0, keys).size(), 4u + 64 * 4);
    values.push_back(values.back());
    keys.push_back(keys.back());
    std::string what;
    EXPECT_EQ(error_of([&] { ubx::valset_payload(1, values); }, &what), ubx::Errc::BadValue);
    EXPECT_NE(what.find("65"), std::string::npos) << what;
    EXPECT_EQ(error_of([&] { ubx::valget_answer(0, 0, values); }), ubx::Errc::BadValue);
    EXPECT_EQ(error_of([&] { ubx::valget_request(0, 0, keys); }), ubx::Errc::BadValue);
    EXPECT_EQ(error_of([&] { ubx::valdel_payload(6, keys); }), ubx::Errc::BadValue);

    const KeyValue wide[] = {{0x20910009, 256}};
    EXPECT_EQ(error_of([&] { ubx::valset_payload(1, wide); }, &what), ubx::Errc::BadValue);
    EXPECT_NE(what.find("CFG-MSGOUT-UBX_NAV_PVT_USB"), std::string::npos) << what;
    const uint32_t illegal[] = {0x60000001};
    EXPECT_EQ(error_of([&] { ubx::valdel_payload(6, illegal); }), ubx::Errc::BadValue);
    EXPECT_EQ(error_of([&] { ubx::valset_payload(1, {}, 2); }), ubx::Errc::BadValue);
}

TEST(Keys, NamesAndHexIdsResolveBothWays) {
    EXPECT_EQ(ubx::key_id("CFG-UART1-BAUDRATE"), 0x40520001u);
    EXPECT_EQ(ubx::key_id("0x40520099"), 0x40520099u);
    EXPECT_EQ(ubx::key_id("0X4052009A"), 0x4052009Au);
    for (const char* bad : {"CFG-NO-SUCH", "0x", "0x60000001", "0x123456789", "0x4052zz01", ""})
        EXPECT_FALSE(ubx::key_id(bad).has_value()) << bad;
    EXPECT_EQ(ubx::key_name(0x40520099), "0x40520099");
    EXPECT_EQ(ubx::key_name(0x20910009), "CFG-MSGOUT-UBX_NAV_PVT_USB");
    EXPECT_EQ(ubx::key_type(0x40520099), ubx::KeyType::U4);
    EXPECT_EQ(ubx::key_type(0x10999999), ubx::KeyType::L);
    for (const auto& k : ubx::config_keys()) {
        EXPECT_EQ(ubx::find_key(k.id), &k);
        EXPECT_EQ(ubx::find_key(k.name), &k);
    }
    EXPECT_EQ(ubx::find_key(0x20910005u), nullptr);
}

TEST(Keys, IntegerRangesFollowTheType) {
    using ubx::KeyType;
    EXPECT_EQ(ubx::key_raw_signed(KeyType::I1, -1), 0xFFu);
    EXPECT_EQ(ubx::key_raw_signed(KeyType::I1, -128), 0x80u);
    EXPECT_FALSE(ubx::key_raw_signed(KeyType::I1, 128));
    EXPECT_FALSE(ubx::key_raw_signed(KeyType::I2, -32769));
    EXPECT_FALSE(ubx::key_raw_signed(KeyType::U4, -1));
    EXPECT_EQ(ubx::key_raw_unsigned(KeyType::U4, 0xFFFFFFFFu), 0xFFFFFFFFu);
    EXPECT_FALSE(ubx::key_raw_unsigned(KeyType::U4, 0x100000000ull));
    EXPECT_FALSE(ubx::key_raw_unsigned(KeyType::L, 2));
    EXPECT_FALSE(ubx::key_raw_unsigned(KeyType::I8, 1ull << 63));
    EXPECT_EQ(ubx::key_raw_unsigned(KeyType::U8, ~0ull), ~0ull);
    EXPECT_FALSE(ubx::key_raw_signed(KeyType::R4, 1));
    EXPECT_EQ(ubx::key_value_signed(KeyType::I2, 0x8000), -32768);
    EXPECT_EQ(ubx::key_value_signed(KeyType::U2, 0x8000), 0x8000);
    EXPECT_EQ(ubx::key_raw_real(KeyType::R4, 1.5), 0x3FC00000u);
    EXPECT_EQ(ubx::key_value_real(KeyType::R8, ubx::key_raw_real(KeyType::R8, -2.25)), -2.25);
}

}  // namespace
