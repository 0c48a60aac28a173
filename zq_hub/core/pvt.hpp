// A NAV-PVT solution decoded once for every service that needs it (the gpsd server's TPV, the
// time feed, the corrections client's GGA), through the codec's catalogue.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace zq::hub {

// Raw values as on the wire (units in the comments), plus what follows from them.
struct Pvt {
    uint32_t iTOW = 0;  // ms
    uint16_t year = 0;
    uint8_t month = 0, day = 0, hour = 0, min = 0, second = 0;
    bool validDate = false, validTime = false, fullyResolved = false, validMag = false;
    uint32_t tAcc = 0;  // ns
    int32_t nano = 0;   // ns
    uint8_t fixType = 0;
    bool gnssFixOk = false, difSoln = false, headVehValid = false;
    uint8_t psmState = 0, carrSoln = 0;  // carrSoln: 0 none, 1 float, 2 fixed
    bool confirmedAvai = false, confirmedDate = false, confirmedTime = false;
    uint8_t numSV = 0;
    int32_t lon = 0, lat = 0;              // 1e-7 deg
    int32_t height = 0, hMSL = 0;          // mm
    uint32_t hAcc = 0, vAcc = 0;           // mm
    int32_t velN = 0, velE = 0, velD = 0;  // mm/s
    int32_t gSpeed = 0;                    // mm/s
    int32_t headMot = 0;                   // 1e-5 deg
    uint32_t sAcc = 0;                     // mm/s
    uint32_t headAcc = 0;                  // 1e-5 deg
    uint16_t pDOP = 0;                     // 0.01
    bool long_form = false;                // the 92-byte form: the fields below exist
    bool invalidLlh = false;               // flags3 bit 0 (92-byte form)
    uint8_t lastCorrectionAge = 0;         // flags3 bits 1-4 (92-byte form; 0: none)
    int32_t headVeh = 0;                   // 1e-5 deg
    int16_t magDec = 0;                    // 1e-2 deg
    uint16_t magAcc = 0;                   // 1e-2 deg

    // The solution's UTC as seconds since 1970 (nano applied), when date and time are valid.
    std::optional<double> utc() const noexcept;
    // Whole seconds since 1970 of the date and time fields (nano not applied), whatever their
    // validity; nullopt when they are out of range.
    std::optional<int64_t> utc_seconds() const noexcept;
};

// Decodes a whole NAV-PVT frame (sync chars to checksum, checksum already checked); nullopt
// for any other frame or a length no form has.
std::optional<Pvt> decode_pvt(std::span<const uint8_t> frame) noexcept;

// Days from 1970-01-01 to the given proleptic Gregorian date.
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) noexcept;

}  // namespace zq::hub
