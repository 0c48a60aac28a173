// The catalogue's rows: every message the codec knows, field by field, grouped by class.
// Offsets are payload offsets; scaled fields are delivered raw. catalogue.hpp checks the
// whole table at compile time (order, disjoint forms, fields inside their message).
#pragma once

#include <iterator>
#include <span>

#include "ubx/catalogue_types.hpp"

namespace ubx::tables {

using T = Type;

// ---------------------------------------------------------------------------------------------
// NAV (0x01): navigation results

inline constexpr Field kNavPosecef[] = {
    {"iTOW", T::U4, 0},   {"ecefX", T::I4, 4}, {"ecefY", T::I4, 8},
    {"ecefZ", T::I4, 12}, {"pAcc", T::U4, 16},
};

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
    {"diffCorr", T::X1, 6, 1, 0x01},
    {"carrSolnValid", T::X1, 6, 1, 0x02},
    {"mapMatching", T::X1, 6, 1, 0xC0},
    {"flags2", T::X1, 7},
    {"psmState", T::X1, 7, 1, 0x03},
    {"spoofDetState", T::X1, 7, 1, 0x18},
    {"carrSoln", T::X1, 7, 1, 0xC0},
    {"ttff", T::U4, 8},
    {"msss", T::U4, 12},
};

inline constexpr Field kNavDop[] = {
    {"iTOW", T::U4, 0},  {"gDOP", T::U2, 4},  {"pDOP", T::U2, 6},  {"tDOP", T::U2, 8},
    {"vDOP", T::U2, 10}, {"hDOP", T::U2, 12}, {"nDOP", T::U2, 14}, {"eDOP", T::U2, 16},
};

inline constexpr Field kNavSol[] = {
    {"iTOW", T::U4, 0},
    {"fTOW", T::I4, 4},
    {"week", T::I2, 8},
    {"gpsFix", T::U1, 10},
    {"flags", T::X1, 11},
    {"gpsfixOK", T::X1, 11, 1, 0x01},
    {"diffSoln", T::X1, 11, 1, 0x02},
    {"wknSet", T::X1, 11, 1, 0x04},
    {"towSet", T::X1, 11, 1, 0x08},
    {"ecefX", T::I4, 12},
    {"ecefY", T::I4, 16},
    {"ecefZ", T::I4, 20},
    {"pAcc", T::U4, 24},
    {"ecefVX", T::I4, 28},
    {"ecefVY", T::I4, 32},
    {"ecefVZ", T::I4, 36},
    {"sAcc", T::U4, 40},
    {"pDOP", T::U2, 44},
    {"reserved1", T::U1, 46},
    {"numSV", T::U1, 47},
    {"reserved2", T::U1, 48, 4},
};

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

inline constexpr Field kNavOdo[] = {
    {"version", T::U1, 0},  {"reserved0", T::U1, 1, 3},   {"iTOW", T::U4, 4},
    {"distance", T::U4, 8}, {"totalDistance", T::U4, 12}, {"distanceStd", T::U4, 16},
};

inline constexpr Field kNavVelecef[] = {
    {"iTOW", T::U4, 0},    {"ecefVX", T::I4, 4}, {"ecefVY", T::I4, 8},
    {"ecefVZ", T::I4, 12}, {"sAcc", T::U4, 16},
};

inline constexpr Field kNavVelned[] = {
    {"iTOW", T::U4, 0},     {"velN", T::I4, 4},   {"velE", T::I4, 8},
    {"velD", T::I4, 12},    {"speed", T::U4, 16}, {"gSpeed", T::U4, 20},
    {"heading", T::I4, 24}, {"sAcc", T::U4, 28},  {"cAcc", T::U4, 32},
};

inline constexpr Field kNavHpposecef[] = {
    {"version", T::U1, 0},
    {"reserved0", T::U1, 1, 3},
    {"iTOW", T::U4, 4},
    {"ecefX", T::I4, 8},
    {"ecefY", T::I4, 12},
    {"ecefZ", T::I4, 16},
    {"ecefXHp", T::I1, 20},
    {"ecefYHp", T::I1, 21},
    {"ecefZHp", T::I1, 22},
    {"flags", T::X1, 23},
    {"invalidEcef", T::X1, 23, 1, 0x01},
    {"pAcc", T::U4, 24},
};

inline constexpr Field kNavHpposllh[] = {
    {"version", T::U1, 0}, {"reserved0", T::U1, 1, 2},
    {"flags", T::X1, 3},   {"invalidLlh", T::X1, 3, 1, 0x01},
    {"iTOW", T::U4, 4},    {"lon", T::I4, 8},
    {"lat", T::I4, 12},    {"height", T::I4, 16},
    {"hMSL", T::I4, 20},   {"lonHp", T::I1, 24},
    {"latHp", T::I1, 25},  {"heightHp", T::I1, 26},
    {"hMSLHp", T::I1, 27}, {"hAcc", T::U4, 28},
    {"vAcc", T::U4, 32},
};

inline constexpr Field kNavTimegps[] = {
    {"iTOW", T::U4, 0},
    {"fTOW", T::I4, 4},
    {"week", T::I2, 8},
    {"leapS", T::I1, 10},
    {"valid", T::X1, 11},
    {"towValid", T::X1, 11, 1, 0x01},
    {"weekValid", T::X1, 11, 1, 0x02},
    {"leapSValid", T::X1, 11, 1, 0x04},
    {"tAcc", T::U4, 12},
};

inline constexpr Field kNavTimeutc[] = {
    {"iTOW", T::U4, 0},
    {"tAcc", T::U4, 4},
    {"nano", T::I4, 8},
    {"year", T::U2, 12},
    {"month", T::U1, 14},
    {"day", T::U1, 15},
    {"hour", T::U1, 16},
    {"min", T::U1, 17},
    {"sec", T::U1, 18},
    {"valid", T::X1, 19},
    {"validTOW", T::X1, 19, 1, 0x01},
    {"validWKN", T::X1, 19, 1, 0x02},
    {"validUTC", T::X1, 19, 1, 0x04},
    {"utcStandard", T::X1, 19, 1, 0xF0},
};

inline constexpr Field kNavClock[] = {
    {"iTOW", T::U4, 0},  {"clkB", T::I4, 4},  {"clkD", T::I4, 8},
    {"tAcc", T::U4, 12}, {"fAcc", T::U4, 16},
};

inline constexpr Field kNavTimels[] = {
    {"iTOW", T::U4, 0},
    {"version", T::U1, 4},
    {"reserved0", T::U1, 5, 3},
    {"srcOfCurrLs", T::U1, 8},
    {"currLs", T::I1, 9},
    {"srcOfLsChange", T::U1, 10},
    {"lsChange", T::I1, 11},
    {"timeToLsEvent", T::I4, 12},
    {"dateOfLsGpsWn", T::U2, 16},
    {"dateOfLsGpsDn", T::U2, 18},
    {"reserved1", T::U1, 20, 3},
    {"valid", T::X1, 23},
    {"validCurrLs", T::X1, 23, 1, 0x01},
    {"validTimeToLsEvent", T::X1, 23, 1, 0x02},
};

inline constexpr Field kNavSvinfo[] = {
    {"iTOW", T::U4, 0},        {"numCh", T::U1, 4},
    {"globalFlags", T::X1, 5}, {"chipGen", T::X1, 5, 1, 0x07},
    {"reserved1", T::U2, 6},
};
inline constexpr Field kNavSvinfoBlock[] = {
    {"chn", T::U1, 0},
    {"svid", T::U1, 1},
    {"flags", T::X1, 2},
    {"svUsed", T::X1, 2, 1, 0x01},
    {"diffCorr", T::X1, 2, 1, 0x02},
    {"orbitAvail", T::X1, 2, 1, 0x04},
    {"orbitEph", T::X1, 2, 1, 0x08},
    {"unhealthy", T::X1, 2, 1, 0x10},
    {"orbitAlm", T::X1, 2, 1, 0x20},
    {"orbitAop", T::X1, 2, 1, 0x40},
    {"smoothed", T::X1, 2, 1, 0x80},
    {"quality", T::X1, 3},
    {"qualityInd", T::X1, 3, 1, 0x0F},
    {"cno", T::U1, 4},
    {"elev", T::I1, 5},
    {"azim", T::I2, 6},
    {"prRes", T::I4, 8},
};

inline constexpr Field kNavSbas[] = {
    {"iTOW", T::U4, 0},
    {"geo", T::U1, 4},
    {"mode", T::U1, 5},
    {"sys", T::I1, 6},
    {"service", T::X1, 7},
    {"ranging", T::X1, 7, 1, 0x01},
    {"corrections", T::X1, 7, 1, 0x02},
    {"integrity", T::X1, 7, 1, 0x04},
    {"testmode", T::X1, 7, 1, 0x08},
    {"cnt", T::U1, 8},
    {"reserved0", T::U1, 9, 3},
};
inline constexpr Field kNavSbasBlock[] = {
    {"svid", T::U1, 0},  {"flags", T::X1, 1},     {"udre", T::X1, 2},
    {"svSys", T::U1, 3}, {"svService", T::X1, 4}, {"reserved1", T::U1, 5},
    {"prc", T::I2, 6},   {"reserved2", T::U2, 8}, {"ic", T::I2, 10},
};

inline constexpr Field kNavSat[] = {
    {"iTOW", T::U4, 0},
    {"version", T::U1, 4},
    {"numSvs", T::U1, 5},
    {"reserved", T::U1, 6, 2},
};
inline constexpr Field kNavSatBlock[] = {
    {"gnssId", T::U1, 0},
    {"svId", T::U1, 1},
    {"cno", T::U1, 2},
    {"elev", T::I1, 3},
    {"azim", T::I2, 4},
    {"prRes", T::I2, 6},
    {"flags", T::X4, 8},
    {"qualityInd", T::X4, 8, 1, 0x00000007},  // as NAV-SVINFO's qualityInd
    {"svUsed", T::X4, 8, 1, 0x00000008},
    {"health", T::X4, 8, 1, 0x00000030},  // 0 unknown, 1 healthy, 2 unhealthy
    {"diffCorr", T::X4, 8, 1, 0x00000040},
    {"smoothed", T::X4, 8, 1, 0x00000080},
    {"orbitSource", T::X4, 8, 1, 0x00000700},  // 0 none, 1 ephemeris, 2 almanac, 3-7 other
    {"ephAvail", T::X4, 8, 1, 0x00000800},
    {"almAvail", T::X4, 8, 1, 0x00001000},
    {"anoAvail", T::X4, 8, 1, 0x00002000},
    {"aopAvail", T::X4, 8, 1, 0x00004000},
    {"sbasCorrUsed", T::X4, 8, 1, 0x00010000},
    {"rtcmCorrUsed", T::X4, 8, 1, 0x00020000},
    {"slasCorrUsed", T::X4, 8, 1, 0x00040000},
    {"spartnCorrUsed", T::X4, 8, 1, 0x00080000},
    {"prCorrUsed", T::X4, 8, 1, 0x00100000},
    {"crCorrUsed", T::X4, 8, 1, 0x00200000},
    {"doCorrUsed", T::X4, 8, 1, 0x00400000},
    {"clasCorrUsed", T::X4, 8, 1, 0x00800000},
};

// NAV-RELPOSNED flags, both versions; bits 8-9 only mean something in version 1.
#define UBX_RELPOSNED_FLAGS(at)                                                                  \
    {"flags", T::X4, at}, {"gnssFixOK", T::X4, at, 1, 0x001}, {"diffSoln", T::X4, at, 1, 0x002}, \
        {"relPosValid", T::X4, at, 1, 0x004}, {"carrSoln", T::X4, at, 1, 0x018},                 \
        {"isMoving", T::X4, at, 1, 0x020}, {"refPosMiss", T::X4, at, 1, 0x040},                  \
        {"refObsMiss", T::X4, at, 1, 0x080}, {"relPosHeadingValid", T::X4, at, 1, 0x100}, {      \
        "relPosNormalized", T::X4, at, 1, 0x200                                                  \
    }

inline constexpr Field kNavRelposned0[] = {
    {"version", T::U1, 0, 1, 0, 0},
    {"reserved0", T::U1, 1},
    {"refStationId", T::U2, 2},
    {"iTOW", T::U4, 4},
    {"relPosN", T::I4, 8},
    {"relPosE", T::I4, 12},
    {"relPosD", T::I4, 16},
    {"relPosHPN", T::I1, 20},
    {"relPosHPE", T::I1, 21},
    {"relPosHPD", T::I1, 22},
    {"reserved1", T::U1, 23},
    {"accN", T::U4, 24},
    {"accE", T::U4, 28},
    {"accD", T::U4, 32},
    UBX_RELPOSNED_FLAGS(36),
};

inline constexpr Field kNavRelposned1[] = {
    {"version", T::U1, 0, 1, 0, 1},
    {"reserved0", T::U1, 1},
    {"refStationId", T::U2, 2},
    {"iTOW", T::U4, 4},
    {"relPosN", T::I4, 8},
    {"relPosE", T::I4, 12},
    {"relPosD", T::I4, 16},
    {"relPosLength", T::I4, 20},
    {"relPosHeading", T::I4, 24},
    {"reserved1", T::U1, 28, 4},
    {"relPosHPN", T::I1, 32},
    {"relPosHPE", T::I1, 33},
    {"relPosHPD", T::I1, 34},
    {"relPosHPLength", T::I1, 35},
    {"accN", T::U4, 36},
    {"accE", T::U4, 40},
    {"accD", T::U4, 44},
    {"accLength", T::U4, 48},
    {"accHeading", T::U4, 52},
    {"reserved2", T::U1, 56, 4},
    UBX_RELPOSNED_FLAGS(60),
};
#undef UBX_RELPOSNED_FLAGS

inline constexpr Field kNavSig[] = {
    {"iTOW", T::U4, 0},
    {"version", T::U1, 4},
    {"numSigs", T::U1, 5},
    {"reserved0", T::U1, 6, 2},
};
inline constexpr Field kNavSigBlock[] = {
    {"gnssId", T::U1, 0},
    {"svId", T::U1, 1},
    {"sigId", T::U1, 2},
    {"freqId", T::U1, 3},
    {"prRes", T::I2, 4},
    {"cno", T::U1, 6},
    {"qualityInd", T::U1, 7},
    {"corrSource", T::U1, 8},
    {"ionoModel", T::U1, 9},
    {"sigFlags", T::X2, 10},
    {"health", T::X2, 10, 1, 0x0003},
    {"prSmoothed", T::X2, 10, 1, 0x0004},
    {"prUsed", T::X2, 10, 1, 0x0008},
    {"crUsed", T::X2, 10, 1, 0x0010},
    {"doUsed", T::X2, 10, 1, 0x0020},
    {"prCorrUsed", T::X2, 10, 1, 0x0040},
    {"crCorrUsed", T::X2, 10, 1, 0x0080},
    {"doCorrUsed", T::X2, 10, 1, 0x0100},
    {"reserved1", T::U1, 12, 4},
};

inline constexpr Field kNavEoe[] = {{"iTOW", T::U4, 0}};

// ---------------------------------------------------------------------------------------------
// RXM (0x02): raw receiver data

inline constexpr Field kRxmSfrbx[] = {
    {"gnssId", T::U1, 0},   {"svId", T::U1, 1}, {"sigId", T::U1, 2},   {"freqId", T::U1, 3},
    {"numWords", T::U1, 4}, {"chn", T::U1, 5},  {"version", T::U1, 6}, {"reserved1", T::U1, 7},
};
inline constexpr Field kRxmSfrbxBlock[] = {{"dwrd", T::U4, 0}};

inline constexpr Field kRxmRawx[] = {
    {"rcvTow", T::R8, 0},
    {"week", T::U2, 8},
    {"leapS", T::I1, 10},
    {"numMeas", T::U1, 11},
    {"recStat", T::X1, 12},
    {"leapSec", T::X1, 12, 1, 0x01},
    {"clkReset", T::X1, 12, 1, 0x02},
    {"version", T::U1, 13},
    {"reserved1", T::U1, 14, 2},
};
inline constexpr Field kRxmRawxBlock[] = {
    {"prMes", T::R8, 0},
    {"cpMes", T::R8, 8},
    {"doMes", T::R4, 16},
    {"gnssId", T::U1, 20},
    {"svId", T::U1, 21},
    {"sigId", T::U1, 22},
    {"freqId", T::U1, 23},
    {"locktime", T::U2, 24},
    {"cno", T::U1, 26},
    {"prStdev", T::X1, 27},
    {"cpStdev", T::X1, 28},
    {"doStdev", T::X1, 29},
    {"trkStat", T::X1, 30},
    {"prValid", T::X1, 30, 1, 0x01},
    {"cpValid", T::X1, 30, 1, 0x02},
    {"halfCyc", T::X1, 30, 1, 0x04},
    {"subHalfCyc", T::X1, 30, 1, 0x08},
    {"reserved2", T::U1, 31},
};

// ---------------------------------------------------------------------------------------------
// INF (0x04): text, the whole payload

inline constexpr Field kInfText{"str", T::CH, 0, 0};

// ---------------------------------------------------------------------------------------------
// ACK (0x05)

inline constexpr Field kAck[] = {{"clsID", T::U1, 0}, {"msgID", T::U1, 1}};

// ---------------------------------------------------------------------------------------------
// CFG (0x06): configuration

inline constexpr Field kCfgPrtPoll[] = {{"portID", T::U1, 0}};

// The 20-byte port layouts share portID, txReady and the protocol masks; mode and baudRate
// differ by port. A set may carry several ports, one 20-byte block each.
#define UBX_PRT_TXREADY                                                             \
    {"txReady", T::X2, 2}, {"txReadyEn", T::X2, 2, 1, 0x0001},                      \
        {"txReadyPol", T::X2, 2, 1, 0x0002}, {"txReadyPin", T::X2, 2, 1, 0x007C}, { \
        "txReadyThres", T::X2, 2, 1, 0xFF80                                         \
    }
#define UBX_PRT_PROTO                                                                              \
    {"inProtoMask", T::X2, 12}, {"inUbx", T::X2, 12, 1, 0x0001}, {"inNmea", T::X2, 12, 1, 0x0002}, \
        {"inRtcm", T::X2, 12, 1, 0x0004}, {"inRtcm3", T::X2, 12, 1, 0x0020},                       \
        {"outProtoMask", T::X2, 14}, {"outUbx", T::X2, 14, 1, 0x0001},                             \
        {"outNmea", T::X2, 14, 1, 0x0002}, {                                                       \
        "outRtcm3", T::X2, 14, 1, 0x0020                                                           \
    }

inline constexpr Field kCfgPrtUart[] = {
    {"portID", T::U1, 0, 1, 0, 1},
    {"reserved1", T::U1, 1},
    UBX_PRT_TXREADY,
    {"mode", T::X4, 4},
    {"charLen", T::X4, 4, 1, 0x000000C0},
    {"parity", T::X4, 4, 1, 0x00000E00},
    {"nStopBits", T::X4, 4, 1, 0x00003000},
    {"baudRate", T::U4, 8},
    UBX_PRT_PROTO,
    {"flags", T::X2, 16},
    {"extendedTxTimeout", T::X2, 16, 1, 0x0002},
    {"reserved2", T::U1, 18, 2},
};

inline constexpr Field kCfgPrtUsb[] = {
    {"portID", T::U1, 0, 1, 0, 3}, {"reserved1", T::U1, 1}, UBX_PRT_TXREADY,
    {"reserved2", T::U1, 4, 8},    UBX_PRT_PROTO,           {"reserved3", T::U1, 16, 2},
    {"reserved4", T::U1, 18, 2},
};

inline constexpr Field kCfgPrtSpi[] = {
    {"portID", T::U1, 0, 1, 0, 4},
    {"reserved1", T::U1, 1},
    UBX_PRT_TXREADY,
    {"mode", T::X4, 4},
    {"spiMode", T::X4, 4, 1, 0x00000006},
    {"flowControl", T::X4, 4, 1, 0x00000040},
    {"ffCnt", T::X4, 4, 1, 0x00003F00},
    {"reserved3", T::U1, 8, 4},
    UBX_PRT_PROTO,
    {"flags", T::X2, 16},
    {"reserved2", T::U1, 18, 2},
};

inline constexpr Field kCfgPrtDdc[] = {
    {"portID", T::U1, 0},
    {"reserved1", T::U1, 1},
    UBX_PRT_TXREADY,
    {"mode", T::X4, 4},
    {"slaveAddr", T::X4, 4, 1, 0x000000FE},
    {"reserved3", T::U1, 8, 4},
    UBX_PRT_PROTO,
    {"flags", T::X2, 16},
    {"reserved2", T::U1, 18, 2},
};
#undef UBX_PRT_TXREADY
#undef UBX_PRT_PROTO

inline constexpr Field kCfgPrtBlock[] = {
    {"portID", T::U1, 0},        {"reserved1", T::U1, 1}, {"txReady", T::X2, 2},
    {"mode", T::X4, 4},          {"baudRate", T::U4, 8},  {"inProtoMask", T::X2, 12},
    {"outProtoMask", T::X2, 14}, {"flags", T::X2, 16},    {"reserved2", T::U1, 18, 2},
};

inline constexpr Field kCfgMsgPoll[] = {{"msgClass", T::U1, 0}, {"msgID", T::U1, 1}};
inline constexpr Field kCfgMsgRate[] = {
    {"msgClass", T::U1, 0}, {"msgID", T::U1, 1}, {"rate", T::U1, 2}};
inline constexpr Field kCfgMsgPorts[] = {
    {"msgClass", T::U1, 0},  {"msgID", T::U1, 1},   {"rateDDC", T::U1, 2}, {"rateUART1", T::U1, 3},
    {"rateUART2", T::U1, 4}, {"rateUSB", T::U1, 5}, {"rateSPI", T::U1, 6}, {"reserved", T::U1, 7},
};

inline constexpr Field kCfgRst[] = {
    {"navBbrMask", T::X2, 0},        {"eph", T::X2, 0, 1, 0x0001},  {"alm", T::X2, 0, 1, 0x0002},
    {"health", T::X2, 0, 1, 0x0004}, {"klob", T::X2, 0, 1, 0x0008}, {"pos", T::X2, 0, 1, 0x0010},
    {"clkd", T::X2, 0, 1, 0x0020},   {"osc", T::X2, 0, 1, 0x0040},  {"utc", T::X2, 0, 1, 0x0080},
    {"rtc", T::X2, 0, 1, 0x0100},    {"aop", T::X2, 0, 1, 0x8000},  {"resetMode", T::U1, 2},
    {"reserved1", T::U1, 3},
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

inline constexpr Field kCfgNav5[] = {
    {"mask", T::X2, 0},
    {"dyn", T::X2, 0, 1, 0x0001},
    {"minEl", T::X2, 0, 1, 0x0002},
    {"posFixMode", T::X2, 0, 1, 0x0004},
    {"drLim", T::X2, 0, 1, 0x0008},
    {"posMask", T::X2, 0, 1, 0x0010},
    {"timeMask", T::X2, 0, 1, 0x0020},
    {"staticHoldMask", T::X2, 0, 1, 0x0040},
    {"dgpsMask", T::X2, 0, 1, 0x0080},
    {"cnoThreshold", T::X2, 0, 1, 0x0100},
    {"utc", T::X2, 0, 1, 0x0400},
    {"dynModel", T::U1, 2},
    {"fixMode", T::U1, 3},
    {"fixedAlt", T::I4, 4},
    {"fixedAltVar", T::U4, 8},
    {"minElev", T::I1, 12},
    {"drLimit", T::U1, 13},
    {"pDop", T::U2, 14},
    {"tDop", T::U2, 16},
    {"pAcc", T::U2, 18},
    {"tAcc", T::U2, 20},
    {"staticHoldThresh", T::U1, 22},
    {"dgnssTimeout", T::U1, 23},
    {"cnoThreshNumSVs", T::U1, 24},
    {"cnoThresh", T::U1, 25},
    {"reserved1", T::U1, 26, 2},
    {"staticHoldMaxDist", T::U2, 28},
    {"utcStandard", T::U1, 30},
    {"reserved2", T::U1, 31, 5},
};

inline constexpr Field kCfgGnss[] = {
    {"msgVer", T::U1, 0},
    {"numTrkChHw", T::U1, 1},
    {"numTrkChUse", T::U1, 2},
    {"numConfigBlocks", T::U1, 3},
};
inline constexpr Field kCfgGnssBlock[] = {
    {"gnssId", T::U1, 0},
    {"resTrkCh", T::U1, 1},
    {"maxTrkCh", T::U1, 2},
    {"reserved1", T::U1, 3},
    {"flags", T::X4, 4},
    {"enable", T::X4, 4, 1, 0x00000001},
    {"sigCfgMask", T::X4, 4, 1, 0x00FF0000},
};

// Configuration by key. VALGET's request (version 0) and answer (version 1) may have the same
// length: the version byte tells them apart.
inline constexpr Field kCfgValset[] = {
    {"version", T::U1, 0},         {"layers", T::X1, 1},         {"ram", T::X1, 1, 1, 0x01},
    {"bbr", T::X1, 1, 1, 0x02},    {"flash", T::X1, 1, 1, 0x04}, {"transaction", T::X1, 2},
    {"action", T::X1, 2, 1, 0x03}, {"reserved0", T::U1, 3},
};
inline constexpr Field kCfgValget[] = {
    {"version", T::U1, 0},
    {"layer", T::U1, 1},
    {"position", T::U2, 2},
};
inline constexpr Field kCfgValgetAnswer[] = {
    {"version", T::U1, 0, 1, 0, 1},
    {"layer", T::U1, 1},
    {"position", T::U2, 2},
};
inline constexpr Field kCfgKeys{"keys", T::U1, 4, 0};
inline constexpr Field kCfgData{"cfgData", T::U1, 4, 0};

// ---------------------------------------------------------------------------------------------
// MON (0x0A): monitoring

inline constexpr Field kMonVer[] = {{"swVersion", T::CH, 0, 30}, {"hwVersion", T::CH, 30, 10}};
inline constexpr Field kMonVerBlock[] = {{"extension", T::CH, 0, 30}};

inline constexpr Field kMonHw[] = {
    {"pinSel", T::X4, 0},
    {"pinBank", T::X4, 4},
    {"pinDir", T::X4, 8},
    {"pinVal", T::X4, 12},
    {"noisePerMS", T::U2, 16},
    {"agcCnt", T::U2, 18},
    {"aStatus", T::U1, 20},
    {"aPower", T::U1, 21},
    {"flags", T::X1, 22},
    {"rtcCalib", T::X1, 22, 1, 0x01},
    {"safeBoot", T::X1, 22, 1, 0x02},
    {"jammingState", T::X1, 22, 1, 0x0C},
    {"xtalAbsent", T::X1, 22, 1, 0x10},
    {"reserved1", T::U1, 23},
    {"usedMask", T::X4, 24},
    // The 60-byte form from here on; the 68-byte form of the oldest receivers has the same
    // fields up to usedMask and its own pin table after them, delivered as bytes.
    {"VP", T::U1, 28, 17},
    {"jamInd", T::U1, 45},
    {"reserved2", T::U1, 46, 2},
    {"pinIrq", T::X4, 48},
    {"pullH", T::X4, 52},
    {"pullL", T::X4, 56},
};
inline constexpr std::span<const Field> kMonHw60{kMonHw};
inline constexpr Field kMonHw68[] = {
    kMonHw[0],  kMonHw[1],  kMonHw[2],  kMonHw[3],
    kMonHw[4],  kMonHw[5],  kMonHw[6],  kMonHw[7],
    kMonHw[8],  kMonHw[9],  kMonHw[10], kMonHw[11],
    kMonHw[12], kMonHw[13], kMonHw[14], {"pinData", T::U1, 28, 40},
};

inline constexpr Field kMonRf[] = {
    {"version", T::U1, 0},
    {"nBlocks", T::U1, 1},
    {"reserved0", T::U1, 2, 2},
};
inline constexpr Field kMonRfBlock[] = {
    {"blockId", T::U1, 0},      {"flags", T::X1, 1},       {"jammingState", T::X1, 1, 1, 0x03},
    {"antStatus", T::U1, 2},    {"antPower", T::U1, 3},    {"postStatus", T::U4, 4},
    {"reserved1", T::U1, 8, 4}, {"noisePerMS", T::U2, 12}, {"agcCnt", T::U2, 14},
    {"jamInd", T::U1, 16},      {"ofsI", T::I1, 17},       {"magI", T::U1, 18},
    {"ofsQ", T::I1, 19},        {"magQ", T::U1, 20},       {"reserved2", T::U1, 21, 3},
};

// ---------------------------------------------------------------------------------------------
// TIM (0x0D): timing

inline constexpr Field kTimTp[] = {
    {"towMS", T::U4, 0},
    {"towSubMS", T::U4, 4},
    {"qErr", T::I4, 8},
    {"week", T::U2, 12},
    {"flags", T::X1, 14},
    {"timeBase", T::X1, 14, 1, 0x01},
    {"utc", T::X1, 14, 1, 0x02},
    {"raim", T::X1, 14, 1, 0x0C},
    {"qErrInvalid", T::X1, 14, 1, 0x10},
    {"refInfo", T::X1, 15},
    {"timeRefGnss", T::X1, 15, 1, 0x0F},
    {"utcStandard", T::X1, 15, 1, 0xF0},
};

inline constexpr Field kTimTm2[] = {
    {"ch", T::U1, 0},
    {"flags", T::X1, 1},
    {"mode", T::X1, 1, 1, 0x01},
    {"run", T::X1, 1, 1, 0x02},
    {"newFallingEdge", T::X1, 1, 1, 0x04},
    {"timeBase", T::X1, 1, 1, 0x18},
    {"utc", T::X1, 1, 1, 0x20},
    {"time", T::X1, 1, 1, 0x40},
    {"newRisingEdge", T::X1, 1, 1, 0x80},
    {"count", T::U2, 2},
    {"wnR", T::U2, 4},
    {"wnF", T::U2, 6},
    {"towMsR", T::U4, 8},
    {"towSubMsR", T::U4, 12},
    {"towMsF", T::U4, 16},
    {"towSubMsF", T::U4, 20},
    {"accEst", T::U4, 24},
};

// ---------------------------------------------------------------------------------------------
// SEC (0x27): security

inline constexpr Field kSecUniqid9[] = {
    {"version", T::U1, 0}, {"reserved0", T::U1, 1, 3}, {"uniqueId", T::U1, 4, 5}};
inline constexpr Field kSecUniqid10[] = {
    {"version", T::U1, 0}, {"reserved0", T::U1, 1, 3}, {"uniqueId", T::U1, 4, 6}};

// ---------------------------------------------------------------------------------------------
// The rows, sorted by class/id; forms of one message adjacent.

inline constexpr uint8_t kOut = kModeGet;
inline constexpr uint8_t kCfg = kModeGet | kModeSet;
inline constexpr std::span<const Field> kNone{};

inline constexpr MessageDef kCatalogue[] = {
    {0x0101, "NAV-POSECEF", 20, 20, kNavPosecef, kOut},
    {0x0102, "NAV-POSLLH", 28, 28, kNavPosllh, kOut},
    {0x0103, "NAV-STATUS", 16, 16, kNavStatus, kOut},
    {0x0104, "NAV-DOP", 18, 18, kNavDop, kOut},
    {0x0106, "NAV-SOL", 52, 52, kNavSol, kOut},
    {0x0107, "NAV-PVT", 92, 92, kNavPvt92, kOut},
    {0x0107, "NAV-PVT", 84, 84, kNavPvt84, kOut},
    {0x0109, "NAV-ODO", 20, 20, kNavOdo, kOut},
    {0x0110, "NAV-RESETODO", 0, 0, kNone, kModeSet},
    {0x0111, "NAV-VELECEF", 20, 20, kNavVelecef, kOut},
    {0x0112, "NAV-VELNED", 36, 36, kNavVelned, kOut},
    {0x0113, "NAV-HPPOSECEF", 28, 28, kNavHpposecef, kOut},
    {0x0114, "NAV-HPPOSLLH", 36, 36, kNavHpposllh, kOut},
    {0x0120, "NAV-TIMEGPS", 16, 16, kNavTimegps, kOut},
    {0x0121, "NAV-TIMEUTC", 20, 20, kNavTimeutc, kOut},
    {0x0122, "NAV-CLOCK", 20, 20, kNavClock, kOut},
    {0x0126, "NAV-TIMELS", 24, 24, kNavTimels, kOut},
    {0x0130, "NAV-SVINFO", 8, 8 + 12 * 255, kNavSvinfo, kOut, kNavSvinfoBlock, 12},
    {0x0132, "NAV-SBAS", 12, 12 + 12 * 255, kNavSbas, kOut, kNavSbasBlock, 12},
    {0x0135, "NAV-SAT", 8, 8 + 12 * 255, kNavSat, kOut, kNavSatBlock, 12},
    {0x013C, "NAV-RELPOSNED", 64, 64, kNavRelposned1, kOut},
    {0x013C, "NAV-RELPOSNED", 40, 40, kNavRelposned0, kOut},
    {0x0143, "NAV-SIG", 8, 8 + 16 * 255, kNavSig, kOut, kNavSigBlock, 16},
    {0x0161, "NAV-EOE", 4, 4, kNavEoe, kOut},
    {0x0213, "RXM-SFRBX", 8, 8 + 4 * 255, kRxmSfrbx, kOut, kRxmSfrbxBlock, 4},
    {0x0215, "RXM-RAWX", 16, 16 + 32 * 255, kRxmRawx, kOut, kRxmRawxBlock, 32},
    {0x0400, "INF-ERROR", 0, 0xFFFF, kNone, kOut, kNone, 0, &kInfText, TailKind::Text},
    {0x0401, "INF-WARNING", 0, 0xFFFF, kNone, kOut, kNone, 0, &kInfText, TailKind::Text},
    {0x0402, "INF-NOTICE", 0, 0xFFFF, kNone, kOut, kNone, 0, &kInfText, TailKind::Text},
    {0x0403, "INF-TEST", 0, 0xFFFF, kNone, kOut, kNone, 0, &kInfText, TailKind::Text},
    {0x0404, "INF-DEBUG", 0, 0xFFFF, kNone, kOut, kNone, 0, &kInfText, TailKind::Text},
    {0x0500, "ACK-NAK", 2, 2, kAck, kOut},
    {0x0501, "ACK-ACK", 2, 2, kAck, kOut},
    {0x0600, "CFG-PRT", 20, 20, kCfgPrtUart, kCfg, kNone, 0, nullptr, TailKind::None, 0, 0,
     0b00110},
    {0x0600, "CFG-PRT", 20, 20, kCfgPrtUsb, kCfg, kNone, 0, nullptr, TailKind::None, 0, 0, 0b01000},
    {0x0600, "CFG-PRT", 20, 20, kCfgPrtSpi, kCfg, kNone, 0, nullptr, TailKind::None, 0, 0, 0b10000},
    {0x0600, "CFG-PRT", 20, 20, kCfgPrtDdc, kCfg, kNone, 0, nullptr, TailKind::None, 0, 0, 0b00001},
    {0x0600, "CFG-PRT", 1, 1, kCfgPrtPoll, kModePoll},
    {0x0600, "CFG-PRT", 0, 20 * 5, kNone, kModeSet, kCfgPrtBlock, 20, nullptr, TailKind::None, 2},
    {0x0601, "CFG-MSG", 3, 3, kCfgMsgRate, kModeSet},
    {0x0601, "CFG-MSG", 8, 8, kCfgMsgPorts, kCfg},
    {0x0601, "CFG-MSG", 2, 2, kCfgMsgPoll, kModePoll},
    {0x0604, "CFG-RST", 4, 4, kCfgRst, kModeSet},
    {0x0608, "CFG-RATE", 6, 6, kCfgRate, kCfg},
    {0x0609, "CFG-CFG", 12, 12, kCfgCfg12, kCfg},
    {0x0609, "CFG-CFG", 13, 13, kCfgCfg13, kCfg},
    {0x0611, "CFG-RXM", 2, 2, kCfgRxm, kCfg},
    {0x0624, "CFG-NAV5", 36, 36, kCfgNav5, kCfg},
    {0x063E, "CFG-GNSS", 4, 4 + 8 * 255, kCfgGnss, kCfg, kCfgGnssBlock, 8},
    {0x068A, "CFG-VALSET", 4, 4 + 64 * 12, kCfgValset, kCfg, kNone, 0, &kCfgData,
     TailKind::KeyValues},
    {0x068B, "CFG-VALGET", 4, 4 + 64 * 4, kCfgValget, kModePoll, kNone, 0, &kCfgKeys,
     TailKind::Keys, 0, 0, 0b01},
    {0x068B, "CFG-VALGET", 4, 4 + 64 * 12, kCfgValgetAnswer, kOut, kNone, 0, &kCfgData,
     TailKind::KeyValues, 0, 0, 0b10},
    {0x068C, "CFG-VALDEL", 4, 4 + 64 * 4, kCfgValset, kCfg, kNone, 0, &kCfgKeys, TailKind::Keys},
    {0x0A04, "MON-VER", 40, 0xFFFF, kMonVer, kOut, kMonVerBlock, 30},
    {0x0A09, "MON-HW", 60, 60, kMonHw60, kOut},
    {0x0A09, "MON-HW", 68, 68, kMonHw68, kOut},
    {0x0A38, "MON-RF", 4, 4 + 24 * 255, kMonRf, kOut, kMonRfBlock, 24},
    {0x0D01, "TIM-TP", 16, 16, kTimTp, kOut},
    {0x0D03, "TIM-TM2", 28, 28, kTimTm2, kOut},
    {0x2703, "SEC-UNIQID", 9, 9, kSecUniqid9, kOut},
    {0x2703, "SEC-UNIQID", 10, 10, kSecUniqid10, kOut},
};

// ---------------------------------------------------------------------------------------------
// The classes receivers send, each with the longest payload any message of the class can have
// (from the counts in its variable-length messages, catalogued or not). The scanner takes a
// header of any other class, or with a longer length, for one that cannot start a true frame.
// 0xFFFF: a class with messages that no count bounds (text, lists read to the payload's end).

inline constexpr ClassDef kClasses[] = {
    {0x01, "NAV", 8 + 16 * 255},   // NAV-SIG with 255 signals; NAV-SAT: 8 + 12 x 255
    {0x02, "RXM", 16 + 32 * 255},  // RXM-RAWX with 255 measurements; RXM-MEASX: 44 + 24 x 255
    {0x04, "INF", 0xFFFF},         // text, the whole payload
    {0x05, "ACK", 2},
    {0x06, "CFG", 4 + 36 * 255},  // CFG-ESRC with 255 sources; CFG-DOSC: 4 + 32 x 255
    {0x09, "UPD", 0xFFFF},
    {0x0A, "MON", 0xFFFF},  // MON-VER's extension list, MON-SPAN
    {0x0B, "AID", 0xFFFF},
    {0x0D, "TIM", 12 + 24 * 255},  // TIM-SMEAS with 255 measurements
    {0x10, "ESF", 0xFFFF},         // ESF-RAW: blocks to the payload's end
    {0x13, "MGA", 0xFFFF},
    {0x21, "LOG", 0xFFFF},
    {0x27, "SEC", 0xFFFF},
    {0x28, "HNR", 72},  // HNR-PVT
};

}  // namespace ubx::tables
