// Configuration by key: the key table and the CFG-VALSET / CFG-VALGET / CFG-VALDEL payloads.
//
// A key id carries the size of its value in bits 28-30, so a list of key/value pairs decodes
// whether or not the table knows the keys; the table adds names, types and units. A key the
// table does not know is named by its id as "0x" and eight lower-case hex digits
// ("0x40520099"), and key_id() accepts that form back.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ubx {

// L is a bool stored in one byte; E is an enumeration, X a bit field (both unsigned).
// clang-format off
enum class KeyType : uint8_t { L, U1, I1, E1, X1, U2, I2, E2, X2, U4, I4, E4, X4, R4, U8, I8, X8, R8 };
// clang-format on

struct KeyDef {
    std::string_view name;  // "CFG-RATE-MEAS"
    uint32_t id;
    KeyType type;
    double scale;  // what one count means in `unit`; 1 when the value is a plain count
    std::string_view unit;
};

// A value as it is on the wire, zero-extended: the low key_value_size(id) bytes are the value.
struct KeyValue {
    uint32_t id;
    uint64_t raw;
    friend bool operator==(const KeyValue&, const KeyValue&) = default;
};

// At most this many keys (or key/value pairs) go into one VALSET, VALGET or VALDEL.
inline constexpr std::size_t kMaxKeys = 64;

// Value bytes from the size code in bits 28-30: 1 (one bit, kept in a byte), 2, 4 or 8; 0 for
// the illegal codes 0, 6 and 7.
constexpr std::size_t key_value_size(uint32_t id) noexcept {
    switch ((id >> 28) & 0x7) {
        case 1:
        case 2:
            return 1;
        case 3:
            return 2;
        case 4:
            return 4;
        case 5:
            return 8;
        default:
            return 0;
    }
}

constexpr std::size_t key_type_size(KeyType t) noexcept {
    switch (t) {
        case KeyType::L:
        case KeyType::U1:
        case KeyType::I1:
        case KeyType::E1:
        case KeyType::X1:
            return 1;
        case KeyType::U2:
        case KeyType::I2:
        case KeyType::E2:
        case KeyType::X2:
            return 2;
        case KeyType::U4:
        case KeyType::I4:
        case KeyType::E4:
        case KeyType::X4:
        case KeyType::R4:
            return 4;
        default:
            return 8;
    }
}

constexpr bool key_type_signed(KeyType t) noexcept {
    return t == KeyType::I1 || t == KeyType::I2 || t == KeyType::I4 || t == KeyType::I8;
}

constexpr bool key_type_real(KeyType t) noexcept {
    return t == KeyType::R4 || t == KeyType::R8;
}

// The type an unknown key is decoded as: L for the one-bit code, else unsigned of its size.
constexpr KeyType key_default_type(uint32_t id) noexcept {
    switch ((id >> 28) & 0x7) {
        case 1:
            return KeyType::L;
        case 3:
            return KeyType::U2;
        case 4:
            return KeyType::U4;
        case 5:
            return KeyType::U8;
        default:
            return KeyType::U1;
    }
}

// "U2", "L", "R8".
std::string_view key_type_name(KeyType t) noexcept;

namespace key_tables {

using K = KeyType;

inline constexpr KeyDef kKeys[] = {
    {"CFG-SIGNAL-GPS_L1CA_ENA", 0x10310001, K::L, 1, ""},
    {"CFG-SIGNAL-GPS_L2C_ENA", 0x10310003, K::L, 1, ""},
    {"CFG-SIGNAL-SBAS_L1CA_ENA", 0x10310005, K::L, 1, ""},
    {"CFG-SIGNAL-GAL_E1_ENA", 0x10310007, K::L, 1, ""},
    {"CFG-SIGNAL-GAL_E5B_ENA", 0x1031000a, K::L, 1, ""},
    {"CFG-SIGNAL-BDS_B1_ENA", 0x1031000d, K::L, 1, ""},
    {"CFG-SIGNAL-BDS_B2_ENA", 0x1031000e, K::L, 1, ""},
    {"CFG-SIGNAL-QZSS_L1CA_ENA", 0x10310012, K::L, 1, ""},
    {"CFG-SIGNAL-QZSS_L1S_ENA", 0x10310014, K::L, 1, ""},
    {"CFG-SIGNAL-QZSS_L2C_ENA", 0x10310015, K::L, 1, ""},
    {"CFG-SIGNAL-GLO_L1_ENA", 0x10310018, K::L, 1, ""},
    {"CFG-SIGNAL-GLO_L2_ENA", 0x1031001a, K::L, 1, ""},
    {"CFG-SIGNAL-GPS_ENA", 0x1031001f, K::L, 1, ""},
    {"CFG-SIGNAL-SBAS_ENA", 0x10310020, K::L, 1, ""},
    {"CFG-SIGNAL-GAL_ENA", 0x10310021, K::L, 1, ""},
    {"CFG-SIGNAL-BDS_ENA", 0x10310022, K::L, 1, ""},
    {"CFG-SIGNAL-QZSS_ENA", 0x10310024, K::L, 1, ""},
    {"CFG-SIGNAL-GLO_ENA", 0x10310025, K::L, 1, ""},
    {"CFG-ITFM-ENABLE", 0x1041000d, K::L, 1, ""},
    {"CFG-UART1INPROT-UBX", 0x10730001, K::L, 1, ""},
    {"CFG-UART1INPROT-NMEA", 0x10730002, K::L, 1, ""},
    {"CFG-UART1INPROT-RTCM3X", 0x10730004, K::L, 1, ""},
    {"CFG-UART1OUTPROT-UBX", 0x10740001, K::L, 1, ""},
    {"CFG-UART1OUTPROT-NMEA", 0x10740002, K::L, 1, ""},
    {"CFG-USBINPROT-UBX", 0x10770001, K::L, 1, ""},
    {"CFG-USBINPROT-NMEA", 0x10770002, K::L, 1, ""},
    {"CFG-USBINPROT-RTCM3X", 0x10770004, K::L, 1, ""},
    {"CFG-USBOUTPROT-UBX", 0x10780001, K::L, 1, ""},
    {"CFG-USBOUTPROT-NMEA", 0x10780002, K::L, 1, ""},
    {"CFG-HW-ANT_CFG_VOLTCTRL", 0x10a3002e, K::L, 1, ""},
    {"CFG-NAVSPG-FIXMODE", 0x20110011, K::E1, 1, ""},
    {"CFG-NAVSPG-DYNMODEL", 0x20110021, K::E1, 1, ""},
    {"CFG-RATE-TIMEREF", 0x20210003, K::E1, 1, ""},
    // Message output rates, per navigation solution (0 = off), one key per port: the ids of
    // one message are consecutive in the order I2C, UART1, UART2, USB, SPI.
    {"CFG-MSGOUT-UBX_NAV_PVT_I2C", 0x20910006, K::U1, 1, ""},
    {"CFG-MSGOUT-UBX_NAV_PVT_UART1", 0x20910007, K::U1, 1, ""},
    {"CFG-MSGOUT-UBX_NAV_PVT_UART2", 0x20910008, K::U1, 1, ""},
    {"CFG-MSGOUT-UBX_NAV_PVT_USB", 0x20910009, K::U1, 1, ""},
    {"CFG-MSGOUT-UBX_NAV_PVT_SPI", 0x2091000a, K::U1, 1, ""},
    {"CFG-MSGOUT-UBX_NAV_SAT_I2C", 0x20910015, K::U1, 1, ""},
    {"CFG-MSGOUT-UBX_NAV_SAT_UART1", 0x20910016, K::U1, 1, ""},
    {"CFG-MSGOUT-UBX_NAV_SAT_UART2", 0x20910017, K::U1, 1, ""},
    {"CFG-MSGOUT-UBX_NAV_SAT_USB", 0x20910018, K::U1, 1, ""},
    {"CFG-MSGOUT-UBX_NAV_SAT_SPI", 0x20910019, K::U1, 1, ""},
    {"CFG-MSGOUT-UBX_NAV_HPPOSLLH_I2C", 0x20910033, K::U1, 1, ""},
    {"CFG-MSGOUT-UBX_NAV_HPPOSLLH_UART1", 0x20910034, K::U1, 1, ""},
    {"CFG-MSGOUT-UBX_NAV_HPPOSLLH_UART2", 0x20910035, K::U1, 1, ""},
    {"CFG-MSGOUT-UBX_NAV_HPPOSLLH_USB", 0x20910036, K::U1, 1, ""},
    {"CFG-MSGOUT-UBX_NAV_HPPOSLLH_SPI", 0x20910037, K::U1, 1, ""},
    {"CFG-MSGOUT-UBX_NAV_DOP_I2C", 0x20910038, K::U1, 1, ""},
    {"CFG-MSGOUT-UBX_NAV_DOP_UART1", 0x20910039, K::U1, 1, ""},
    {"CFG-MSGOUT-UBX_NAV_DOP_UART2", 0x2091003a, K::U1, 1, ""},
    {"CFG-MSGOUT-UBX_NAV_DOP_USB", 0x2091003b, K::U1, 1, ""},
    {"CFG-MSGOUT-UBX_NAV_DOP_SPI", 0x2091003c, K::U1, 1, ""},
    {"CFG-MSGOUT-UBX_NAV_TIMEGPS_I2C", 0x20910047, K::U1, 1, ""},
    {"CFG-MSGOUT-UBX_NAV_TIMEGPS_UART1", 0x20910048, K::U1, 1, ""},
    {"CFG-MSGOUT-UBX_NAV_TIMEGPS_UART2", 0x20910049, K::U1, 1, ""},
    {"CFG-MSGOUT-UBX_NAV_TIMEGPS_USB", 0x2091004a, K::U1, 1, ""},
    {"CFG-MSGOUT-UBX_NAV_TIMEGPS_SPI", 0x2091004b, K::U1, 1, ""},
    {"CFG-MSGOUT-NMEA_ID_RMC_I2C", 0x209100ab, K::U1, 1, ""},
    {"CFG-MSGOUT-NMEA_ID_RMC_UART1", 0x209100ac, K::U1, 1, ""},
    {"CFG-MSGOUT-NMEA_ID_RMC_UART2", 0x209100ad, K::U1, 1, ""},
    {"CFG-MSGOUT-NMEA_ID_RMC_USB", 0x209100ae, K::U1, 1, ""},
    {"CFG-MSGOUT-NMEA_ID_RMC_SPI", 0x209100af, K::U1, 1, ""},
    {"CFG-MSGOUT-NMEA_ID_VTG_I2C", 0x209100b0, K::U1, 1, ""},
    {"CFG-MSGOUT-NMEA_ID_VTG_UART1", 0x209100b1, K::U1, 1, ""},
    {"CFG-MSGOUT-NMEA_ID_VTG_UART2", 0x209100b2, K::U1, 1, ""},
    {"CFG-MSGOUT-NMEA_ID_VTG_USB", 0x209100b3, K::U1, 1, ""},
    {"CFG-MSGOUT-NMEA_ID_VTG_SPI", 0x209100b4, K::U1, 1, ""},
    {"CFG-MSGOUT-NMEA_ID_GGA_I2C", 0x209100ba, K::U1, 1, ""},
    {"CFG-MSGOUT-NMEA_ID_GGA_UART1", 0x209100bb, K::U1, 1, ""},
    {"CFG-MSGOUT-NMEA_ID_GGA_UART2", 0x209100bc, K::U1, 1, ""},
    {"CFG-MSGOUT-NMEA_ID_GGA_USB", 0x209100bd, K::U1, 1, ""},
    {"CFG-MSGOUT-NMEA_ID_GGA_SPI", 0x209100be, K::U1, 1, ""},
    {"CFG-MSGOUT-NMEA_ID_GSA_I2C", 0x209100bf, K::U1, 1, ""},
    {"CFG-MSGOUT-NMEA_ID_GSA_UART1", 0x209100c0, K::U1, 1, ""},
    {"CFG-MSGOUT-NMEA_ID_GSA_UART2", 0x209100c1, K::U1, 1, ""},
    {"CFG-MSGOUT-NMEA_ID_GSA_USB", 0x209100c2, K::U1, 1, ""},
    {"CFG-MSGOUT-NMEA_ID_GSA_SPI", 0x209100c3, K::U1, 1, ""},
    {"CFG-MSGOUT-NMEA_ID_GSV_I2C", 0x209100c4, K::U1, 1, ""},
    {"CFG-MSGOUT-NMEA_ID_GSV_UART1", 0x209100c5, K::U1, 1, ""},
    {"CFG-MSGOUT-NMEA_ID_GSV_UART2", 0x209100c6, K::U1, 1, ""},
    {"CFG-MSGOUT-NMEA_ID_GSV_USB", 0x209100c7, K::U1, 1, ""},
    {"CFG-MSGOUT-NMEA_ID_GSV_SPI", 0x209100c8, K::U1, 1, ""},
    {"CFG-MSGOUT-NMEA_ID_GLL_I2C", 0x209100c9, K::U1, 1, ""},
    {"CFG-MSGOUT-NMEA_ID_GLL_UART1", 0x209100ca, K::U1, 1, ""},
    {"CFG-MSGOUT-NMEA_ID_GLL_UART2", 0x209100cb, K::U1, 1, ""},
    {"CFG-MSGOUT-NMEA_ID_GLL_USB", 0x209100cc, K::U1, 1, ""},
    {"CFG-MSGOUT-NMEA_ID_GLL_SPI", 0x209100cd, K::U1, 1, ""},
    {"CFG-MSGOUT-UBX_NAV_EOE_I2C", 0x2091015f, K::U1, 1, ""},
    {"CFG-MSGOUT-UBX_NAV_EOE_UART1", 0x20910160, K::U1, 1, ""},
    {"CFG-MSGOUT-UBX_NAV_EOE_UART2", 0x20910161, K::U1, 1, ""},
    {"CFG-MSGOUT-UBX_NAV_EOE_USB", 0x20910162, K::U1, 1, ""},
    {"CFG-MSGOUT-UBX_NAV_EOE_SPI", 0x20910163, K::U1, 1, ""},
    {"CFG-PM-OPERATEMODE", 0x20d00001, K::E1, 1, ""},
    {"CFG-RATE-MEAS", 0x30210001, K::U2, 0.001, "s"},
    {"CFG-RATE-NAV", 0x30210002, K::U2, 1, "cycles"},
    {"CFG-PM-ONTIME", 0x30d00005, K::U2, 1, "s"},
    {"CFG-UART1-BAUDRATE", 0x40520001, K::U4, 1, "bit/s"},
    {"CFG-PM-POSUPDATEPERIOD", 0x40d00002, K::U4, 1, "s"},
};

constexpr bool ids_sorted() {
    for (std::size_t i = 1; i < std::size(kKeys); ++i) {
        if (kKeys[i - 1].id >= kKeys[i].id) return false;
    }
    return true;
}

// The size code of each id must agree with its type (an L key has code 1, U1 code 2, ...),
// reserved bits must be clear, and names must be unique and look like "CFG-GROUP-ITEM".
constexpr bool ids_consistent() {
    for (const auto& k : kKeys) {
        if ((k.id & 0x8F00F000u) != 0) return false;
        if (key_value_size(k.id) != key_type_size(k.type)) return false;
        if ((k.type == KeyType::L) != (((k.id >> 28) & 0x7) == 1)) return false;
        if (!k.name.starts_with("CFG-") || k.scale <= 0) return false;
    }
    for (std::size_t i = 0; i < std::size(kKeys); ++i) {
        for (std::size_t j = i + 1; j < std::size(kKeys); ++j) {
            if (kKeys[i].name == kKeys[j].name) return false;
        }
    }
    return true;
}

static_assert(ids_sorted(), "key table rows must be sorted by id for binary search");
static_assert(ids_consistent(), "a key's type, size code or name is inconsistent");

}  // namespace key_tables

inline std::span<const KeyDef> config_keys() noexcept {
    return key_tables::kKeys;
}

// The table's row, or nullptr.
const KeyDef* find_key(uint32_t id) noexcept;
const KeyDef* find_key(std::string_view name) noexcept;
// A key by table name or by hex id ("0x40520001", any case, at most eight digits, with a
// legal size code); nullopt otherwise.
std::optional<uint32_t> key_id(std::string_view name) noexcept;
// The table name, or the hex form "0x40520099" for a key the table does not know.
std::string key_name(uint32_t id);
// The key's type: the table's, or key_default_type() for an unknown key.
KeyType key_type(uint32_t id) noexcept;

// Interpretation of a raw value by type: sign-extended for I types, bit pattern for R types.
int64_t key_value_signed(KeyType t, uint64_t raw) noexcept;
double key_value_real(KeyType t, uint64_t raw) noexcept;
// Raw value for an integer, nullopt when it is outside the type's range (L takes 0 and 1; an
// R type takes no integer here: encode it with key_raw_real).
std::optional<uint64_t> key_raw_signed(KeyType t, int64_t v) noexcept;
std::optional<uint64_t> key_raw_unsigned(KeyType t, uint64_t v) noexcept;
// Raw bits of a real value for R4 (rounded to float) or R8.
uint64_t key_raw_real(KeyType t, double v) noexcept;

// cfgData (what follows the 4-byte header of a VALSET or VALGET answer), in wire order. Throws
// ubx::Error (BadLength) on a truncated key or value, (BadValue) on an illegal size code.
// `msg_id` only labels the error.
std::vector<KeyValue> parse_key_values(std::span<const uint8_t> cfg_data, uint8_t msg_id = 0x8A);
// Key ids after the 4-byte header of a VALGET request or VALDEL; throws ubx::Error (BadLength)
// unless the length is a multiple of 4.
std::vector<uint32_t> parse_keys(std::span<const uint8_t> keys, uint8_t msg_id = 0x8B);

// Whole payloads, header included. More than kMaxKeys items, a key with an illegal size code
// or a raw value wider than its key's size throws ubx::Error (BadValue) naming the key.
// `transaction` is the action (0-3) and only counts when version is 1.
std::vector<uint8_t> valset_payload(uint8_t layers, std::span<const KeyValue> values,
                                    uint8_t version = 0, uint8_t transaction = 0);
std::vector<uint8_t> valget_request(uint8_t layer, uint16_t position,
                                    std::span<const uint32_t> keys);
std::vector<uint8_t> valget_answer(uint8_t layer, uint16_t position,
                                   std::span<const KeyValue> values);
std::vector<uint8_t> valdel_payload(uint8_t layers, std::span<const uint32_t> keys,
                                    uint8_t version = 0, uint8_t transaction = 0);

}  // namespace ubx
