// The message catalogue: every message the codec knows, as data. Decoder and builder are
// driven by these rows; there is no per-message code.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace ubx {

enum class Type : uint8_t { U1, I1, X1, U2, I2, X2, U4, I4, X4, CH };

constexpr std::size_t type_size(Type t) noexcept {
    switch (t) {
        case Type::U2:
        case Type::I2:
        case Type::X2:
            return 2;
        case Type::U4:
        case Type::I4:
        case Type::X4:
            return 4;
        default:
            return 1;
    }
}

constexpr bool type_signed(Type t) noexcept {
    return t == Type::I1 || t == Type::I2 || t == Type::I4;
}

constexpr bool type_bits(Type t) noexcept {
    return t == Type::X1 || t == Type::X2 || t == Type::X4;
}

struct Field {
    std::string_view name;
    Type type;
    uint16_t offset;     // within the payload, or within the block for repeated fields
    uint16_t count = 1;  // > 1: U1[n] is delivered as bytes, CH[n] as text up to the first NUL
    uint32_t mask = 0;   // non-zero: these bits of the X field at offset, shifted down
    int64_t fixed = 0;   // what the builder writes when the caller gives no value
};

// Message modes, as the builder takes them.
enum class Mode : uint8_t { Get = 0, Set = 1, Poll = 2 };

inline constexpr uint8_t kModeGet = 1 << 0;
inline constexpr uint8_t kModeSet = 1 << 1;
inline constexpr uint8_t kModePoll = 1 << 2;

// One form (payload layout) of a message. A message with several forms has one row per form,
// adjacent, told apart by length; the builder takes the first row, in table order, whose mode
// and fields fit.
struct MessageDef {
    uint16_t key;  // class << 8 | id
    std::string_view name;
    uint16_t min_len;
    uint16_t max_len;
    std::span<const Field> fields;
    uint8_t modes;
    // Optional group repeated from min_len to the end of the payload. Its fields are named
    // with a 1-based two-digit suffix: gnssId_01, gnssId_02, ...
    std::span<const Field> block = {};
    uint16_t block_size = 0;

    constexpr uint8_t cls() const noexcept { return static_cast<uint8_t>(key >> 8); }
    constexpr uint8_t id() const noexcept { return static_cast<uint8_t>(key); }
    constexpr bool fits(std::size_t len) const noexcept {
        if (len < min_len || len > max_len) return false;
        return block_size == 0 ? len == min_len : (len - min_len) % block_size == 0;
    }
};

namespace tables {

using T = Type;

inline constexpr Field kNavPvt[] = {
    {"iTOW", T::U4, 0},
    {"year", T::U2, 4},
    {"month", T::U1, 6},
    {"day", T::U1, 7},
    {"hour", T::U1, 8},
    {"min", T::U1, 9},
    {"second", T::U1, 10},
    {"valid", T::X1, 11},
    {"validDate", T::X1, 11, 1, 0x01},
    {"validTime", T::X1, 11, 1, 0x02},
    {"fullyResolved", T::X1, 11, 1, 0x04},
    {"validMag", T::X1, 11, 1, 0x08},
    {"tAcc", T::U4, 12},
    {"nano", T::I4, 16},
    {"fixType", T::U1, 20},
    {"flags", T::X1, 21},
    {"gnssFixOk", T::X1, 21, 1, 0x01},
    {"difSoln", T::X1, 21, 1, 0x02},
    {"psmState", T::X1, 21, 1, 0x1C},
    {"headVehValid", T::X1, 21, 1, 0x20},
    {"carrSoln", T::X1, 21, 1, 0xC0},
    {"flags2", T::X1, 22},
    {"confirmedAvai", T::X1, 22, 1, 0x20},
    {"confirmedDate", T::X1, 22, 1, 0x40},
    {"confirmedTime", T::X1, 22, 1, 0x80},
    {"numSV", T::U1, 23},
    {"lon", T::I4, 24},
    {"lat", T::I4, 28},
    {"height", T::I4, 32},
    {"hMSL", T::I4, 36},
    {"hAcc", T::U4, 40},
    {"vAcc", T::U4, 44},
    {"velN", T::I4, 48},
    {"velE", T::I4, 52},
    {"velD", T::I4, 56},
    {"gSpeed", T::I4, 60},
    {"headMot", T::I4, 64},
    {"sAcc", T::U4, 68},
    {"headAcc", T::U4, 72},
    {"pDOP", T::U2, 76},
    {"reserved1", T::U1, 78, 6},
    // The 84-byte form ends here.
    {"headVeh", T::I4, 84},
    {"magDec", T::I2, 88},
    {"magAcc", T::U2, 90},
};
inline constexpr std::span<const Field> kNavPvt92{kNavPvt};
inline constexpr std::span<const Field> kNavPvt84 = kNavPvt92.first(std::size(kNavPvt) - 3);

inline constexpr Field kNavPosllh[] = {
    {"iTOW", T::U4, 0},  {"lon", T::I4, 4},   {"lat", T::I4, 8},   {"height", T::I4, 12},
    {"hMSL", T::I4, 16}, {"hAcc", T::U4, 20}, {"vAcc", T::U4, 24},
};

inline constexpr Field kNavStatus[] = {
    {"iTOW", T::U4, 0},
    {"gpsFix", T::U1, 4},
    {"flags", T::X1, 5},
    {"gpsFixOk", T::X1, 5, 1, 0x01},
    {"diffSoln", T::X1, 5, 1, 0x02},
    {"wknSet", T::X1, 5, 1, 0x04},
    {"towSet", T::X1, 5, 1, 0x08},
    {"fixStat", T::X1, 6},
    {"flags2", T::X1, 7},
    {"ttff", T::U4, 8},
    {"msss", T::U4, 12},
};

inline constexpr Field kNavDop[] = {
    {"iTOW", T::U4, 0},  {"gDOP", T::U2, 4},  {"pDOP", T::U2, 6},  {"tDOP", T::U2, 8},
    {"vDOP", T::U2, 10}, {"hDOP", T::U2, 12}, {"nDOP", T::U2, 14}, {"eDOP", T::U2, 16},
};

inline constexpr Field kNavSol[] = {
    {"iTOW", T::U4, 0},    {"fTOW", T::I4, 4},          {"week", T::I2, 8},
    {"gpsFix", T::U1, 10}, {"flags", T::X1, 11},        {"ecefX", T::I4, 12},
    {"ecefY", T::I4, 16},  {"ecefZ", T::I4, 20},        {"pAcc", T::U4, 24},
    {"ecefVX", T::I4, 28}, {"ecefVY", T::I4, 32},       {"ecefVZ", T::I4, 36},
    {"sAcc", T::U4, 40},   {"pDOP", T::U2, 44},         {"reserved1", T::U1, 46},
    {"numSV", T::U1, 47},  {"reserved2", T::U1, 48, 4},
};

inline constexpr Field kNavVelned[] = {
    {"iTOW", T::U4, 0},     {"velN", T::I4, 4},   {"velE", T::I4, 8},
    {"velD", T::I4, 12},    {"speed", T::U4, 16}, {"gSpeed", T::U4, 20},
    {"heading", T::I4, 24}, {"sAcc", T::U4, 28},  {"cAcc", T::U4, 32},
};

inline constexpr Field kNavTimeutc[] = {
    {"iTOW", T::U4, 0},   {"tAcc", T::U4, 4},   {"nano", T::I4, 8},  {"year", T::U2, 12},
    {"month", T::U1, 14}, {"day", T::U1, 15},   {"hour", T::U1, 16}, {"min", T::U1, 17},
    {"sec", T::U1, 18},   {"valid", T::X1, 19},
};

inline constexpr Field kNavSat[] = {
    {"iTOW", T::U4, 0},
    {"version", T::U1, 4},
    {"numSvs", T::U1, 5},
    {"reserved", T::U1, 6, 2},
};
inline constexpr Field kNavSatBlock[] = {
    {"gnssId", T::U1, 0}, {"svId", T::U1, 1},  {"cno", T::U1, 2},   {"elev", T::I1, 3},
    {"azim", T::I2, 4},   {"prRes", T::I2, 6}, {"flags", T::X4, 8},
};

inline constexpr Field kAck[] = {{"clsID", T::U1, 0}, {"msgID", T::U1, 1}};

inline constexpr Field kMonVer[] = {{"swVersion", T::CH, 0, 30}, {"hwVersion", T::CH, 30, 10}};
inline constexpr Field kMonVerBlock[] = {{"extension", T::CH, 0, 30}};

inline constexpr Field kCfgMsgPoll[] = {{"msgClass", T::U1, 0}, {"msgID", T::U1, 1}};
inline constexpr Field kCfgMsgRate[] = {
    {"msgClass", T::U1, 0}, {"msgID", T::U1, 1}, {"rate", T::U1, 2}};
inline constexpr Field kCfgMsgPorts[] = {
    {"msgClass", T::U1, 0},  {"msgID", T::U1, 1},   {"rateDDC", T::U1, 2}, {"rateUART1", T::U1, 3},
    {"rateUART2", T::U1, 4}, {"rateUSB", T::U1, 5}, {"rateSPI", T::U1, 6}, {"reserved", T::U1, 7},
};

inline constexpr Field kCfgRate[] = {
    {"measRate", T::U2, 0}, {"navRate", T::U2, 2}, {"timeRef", T::U2, 4}};

inline constexpr Field kCfgCfg[] = {
    {"clearMask", T::X4, 0},
    {"saveMask", T::X4, 4},
    {"loadMask", T::X4, 8},
    {"deviceMask", T::X1, 12},
};
inline constexpr std::span<const Field> kCfgCfg13{kCfgCfg};
inline constexpr std::span<const Field> kCfgCfg12 = kCfgCfg13.first(3);

inline constexpr Field kCfgRxm[] = {{"reserved1", T::U1, 0, 1, 0, 8}, {"lpMode", T::U1, 1}};

inline constexpr uint8_t kOut = kModeGet;
inline constexpr uint8_t kCfg = kModeGet | kModeSet;

inline constexpr MessageDef kCatalogue[] = {
    {0x0102, "NAV-POSLLH", 28, 28, kNavPosllh, kOut},
    {0x0103, "NAV-STATUS", 16, 16, kNavStatus, kOut},
    {0x0104, "NAV-DOP", 18, 18, kNavDop, kOut},
    {0x0106, "NAV-SOL", 52, 52, kNavSol, kOut},
    {0x0107, "NAV-PVT", 92, 92, kNavPvt92, kOut},
    {0x0107, "NAV-PVT", 84, 84, kNavPvt84, kOut},
    {0x0112, "NAV-VELNED", 36, 36, kNavVelned, kOut},
    {0x0121, "NAV-TIMEUTC", 20, 20, kNavTimeutc, kOut},
    {0x0135, "NAV-SAT", 8, 8 + 12 * 255, kNavSat, kOut, kNavSatBlock, 12},
    {0x0500, "ACK-NAK", 2, 2, kAck, kOut},
    {0x0501, "ACK-ACK", 2, 2, kAck, kOut},
    {0x0601, "CFG-MSG", 3, 3, kCfgMsgRate, kModeSet},
    {0x0601, "CFG-MSG", 8, 8, kCfgMsgPorts, kCfg},
    {0x0601, "CFG-MSG", 2, 2, kCfgMsgPoll, kModePoll},
    {0x0608, "CFG-RATE", 6, 6, kCfgRate, kCfg},
    {0x0609, "CFG-CFG", 12, 12, kCfgCfg12, kCfg},
    {0x0609, "CFG-CFG", 13, 13, kCfgCfg13, kCfg},
    {0x0611, "CFG-RXM", 2, 2, kCfgRxm, kCfg},
    {0x0A04, "MON-VER", 40, 0xFFFF, kMonVer, kOut, kMonVerBlock, 30},
};

constexpr bool keys_sorted() {
    for (std::size_t i = 1; i < std::size(kCatalogue); ++i) {
        if (kCatalogue[i - 1].key > kCatalogue[i].key) return false;
    }
    return true;
}

// Forms of one message must be told apart by length alone.
constexpr bool forms_disjoint() {
    for (std::size_t i = 0; i < std::size(kCatalogue); ++i) {
        for (std::size_t j = i + 1; j < std::size(kCatalogue); ++j) {
            const auto& a = kCatalogue[i];
            const auto& b = kCatalogue[j];
            if (a.key != b.key) continue;
            if (a.name != b.name) return false;
            if (a.min_len <= b.max_len && b.min_len <= a.max_len) return false;
        }
    }
    return true;
}

constexpr bool field_fits(const Field& f, std::size_t room) {
    if (f.count == 0 || f.name.empty()) return false;
    if (f.count > 1 && f.type != Type::U1 && f.type != Type::CH) return false;
    if (f.type == Type::CH && f.mask != 0) return false;
    if (f.mask != 0 && !type_bits(f.type)) return false;
    const std::size_t bits = type_size(f.type) * 8;
    if (bits < 32 && (f.mask >> bits) != 0) return false;
    return f.offset + type_size(f.type) * f.count <= room;
}

constexpr bool fields_fit() {
    for (const auto& m : kCatalogue) {
        if ((m.block_size == 0) != m.block.empty()) return false;
        if (m.max_len < m.min_len) return false;
        for (const auto& f : m.fields) {
            if (!field_fits(f, m.min_len)) return false;
        }
        for (const auto& f : m.block) {
            if (!field_fits(f, m.block_size)) return false;
        }
    }
    return true;
}

// Attribute lookup and the builder resolve fields by name.
constexpr bool names_unique() {
    for (const auto& m : kCatalogue) {
        const std::size_t n = m.fields.size() + m.block.size();
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = i + 1; j < n; ++j) {
                const auto& a = i < m.fields.size() ? m.fields[i] : m.block[i - m.fields.size()];
                const auto& b = j < m.fields.size() ? m.fields[j] : m.block[j - m.fields.size()];
                if (a.name == b.name) return false;
            }
        }
    }
    return true;
}

static_assert(keys_sorted(), "catalogue rows must be sorted by class/id for binary search");
static_assert(forms_disjoint(), "forms of one message must have disjoint lengths");
static_assert(fields_fit(), "a field lies outside its message or has an impossible type");
static_assert(names_unique(), "field names must be unique within a message form");

}  // namespace tables

inline constexpr std::span<const MessageDef> catalogue{tables::kCatalogue};

// All forms of a message, in table order; empty when the catalogue does not know it.
std::span<const MessageDef> forms_of(uint8_t cls, uint8_t id) noexcept;
// The form whose length rule admits `payload_len`, or nullptr.
const MessageDef* find_form(uint8_t cls, uint8_t id, std::size_t payload_len) noexcept;
// First form of the message named `name` ("NAV-PVT"), or nullptr.
const MessageDef* find_by_name(std::string_view name) noexcept;

}  // namespace ubx
