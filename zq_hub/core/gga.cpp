// GGA from NAV-PVT, in integer arithmetic so that no position is rounded into the next degree.
#include "gga.hpp"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "nmea.hpp"

namespace zq::hub {
namespace {

// ddmm.mmmmmmm (DEG_DIGITS digits of degrees) from 1e-7 degrees.
std::string degrees_minutes(int32_t value, int deg_digits) {
    const int64_t a = static_cast<int64_t>(std::abs(static_cast<int64_t>(value)));
    const int64_t deg = a / 10'000'000;
    const int64_t minutes_e7 = (a % 10'000'000) * 60;  // minutes in 1e-7
    char buf[32];
    std::snprintf(buf, sizeof buf, "%0*" PRId64 "%02" PRId64 ".%07" PRId64, deg_digits, deg,
                  minutes_e7 / 10'000'000, minutes_e7 % 10'000'000);
    return buf;
}

// "-12.345" from thousandths, without a float.
std::string milli(int64_t v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s%" PRId64 ".%03" PRId64, v < 0 ? "-" : "",
                  static_cast<int64_t>(std::abs(v)) / 1000,
                  static_cast<int64_t>(std::abs(v)) % 1000);
    return buf;
}

}  // namespace

int gga_quality(const Pvt& p) noexcept {
    if (!p.gnssFixOk || p.fixType == 0 || p.fixType == 5) return 0;
    if (p.fixType == 1) return 6;
    if (p.carrSoln == 2) return 4;
    if (p.carrSoln == 1) return 5;
    if (p.difSoln) return 2;
    return 1;
}

std::optional<std::string> gga_from_pvt(const Pvt& p) {
    const int q = gga_quality(p);
    if (q == 0 || p.invalidLlh) return std::nullopt;
    // UTC time of day in hundredths; nano may be negative (the fields are rounded up).
    int64_t cs = ((int64_t{p.hour} * 60 + p.min) * 60 + p.second) * 100;
    cs += (static_cast<int64_t>(p.nano) + (p.nano >= 0 ? 5'000'000 : -5'000'000)) / 10'000'000;
    cs = ((cs % 8'640'000) + 8'640'000) % 8'640'000;
    char time[16];
    std::snprintf(time, sizeof time, "%02" PRId64 "%02" PRId64 "%02" PRId64 ".%02" PRId64,
                  cs / 360'000, cs / 6000 % 60, cs / 100 % 60, cs % 100);
    char dop[16];
    std::snprintf(dop, sizeof dop, "%u.%02u", p.pDOP / 100u, p.pDOP % 100u);
    std::string body = "GPGGA,";
    body += time;
    body += ",";
    body += degrees_minutes(p.lat, 2);
    body += p.lat < 0 ? ",S," : ",N,";
    body += degrees_minutes(p.lon, 3);
    body += p.lon < 0 ? ",W," : ",E,";
    char mid[16];
    std::snprintf(mid, sizeof mid, "%d,%02u,", q, static_cast<unsigned>(p.numSV));
    body += mid;
    body += dop;
    // Appended piece by piece: g++ 12 at -O2 takes "," + std::string for an overlapping copy
    // (-Wrestrict), an error in the release build.
    body += ',';
    body += milli(p.hMSL);
    body += ",M,";
    body += milli(static_cast<int64_t>(p.height) - p.hMSL);
    body += ",M,,";
    char sum[8];
    std::snprintf(sum, sizeof sum, "*%02X", nmea::checksum(body));
    std::string sentence = "$";
    sentence += body;
    sentence += sum;
    return sentence;
}

}  // namespace zq::hub
