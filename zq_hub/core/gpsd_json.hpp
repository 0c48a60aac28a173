// gpsd's JSON protocol, the reports: TPV from NAV-PVT, SKY from NAV-SAT and NAV-DOP, and the
// session objects (VERSION, DEVICES, DEVICE, WATCH, POLL, ERROR), written the way gpsd 3.22
// writes them: compact, "class" first, every object ending in "}\r\n" (python3-gps ignores a
// line without the CR; libgps matches the literal `"class":"TPV"`), no null, absent values
// omitted, gpsd's number of decimals per field.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "pvt.hpp"

namespace zq::hub::gpsd {

// What the banner claims: cgps pauses 2 s with a warning on any other release.
inline constexpr std::string_view kRelease = "3.22";
inline constexpr int kProtoMajor = 3;
inline constexpr int kProtoMinor = 14;

// A JSON object written field by field; begin() puts "class" first.
class Writer {
  public:
    explicit Writer(std::string& out) : out_(out) {}
    Writer& begin(std::string_view cls);
    Writer& key(std::string_view k);
    Writer& str(std::string_view k, std::string_view v);
    Writer& integer(std::string_view k, int64_t v);
    // V with DECIMALS digits after the point; a value that is not finite is left out.
    Writer& fixed(std::string_view k, double v, int decimals);
    Writer& boolean(std::string_view k, bool v);
    Writer& raw(std::string_view k, std::string_view json);
    // Closes the object; LINE: add "\r\n".
    void end(bool line = true);
    // The opening of a nested object without a class (a satellite), and its close.
    Writer& open_plain();
    void close_plain();

  private:
    void comma();
    std::string& out_;
    bool first_ = true;
};

// Appends S as a JSON string body (without the quotes), escaping as JSON requires; bytes that
// are not printable ASCII become \u00XX.
void append_escaped(std::string& out, std::string_view s);

// "YYYY-MM-DDTHH:MM:SS.sssZ" of SECONDS since 1970 UTC, rounded to the millisecond.
std::string iso8601(double seconds);

// --- decoded inputs --------------------------------------------------------------------------

struct Dop {
    uint32_t iTOW = 0;
    double gdop = 0, pdop = 0, tdop = 0, vdop = 0, hdop = 0, ndop = 0, edop = 0;
};
std::optional<Dop> decode_dop(std::span<const uint8_t> payload) noexcept;

struct Satellite {
    uint8_t gnssId = 0, svId = 0, cno = 0;
    int8_t elev = 0;
    int16_t azim = 0;
    uint32_t flags = 0;
    bool used() const noexcept { return (flags & 0x08) != 0; }
    int health() const noexcept { return static_cast<int>((flags >> 4) & 0x03); }
};
struct SatView {
    uint32_t iTOW = 0;
    std::vector<Satellite> sats;
};
// NAV-SAT version 1; nullopt for another version or a length that does not match numSvs.
std::optional<SatView> decode_sat(std::span<const uint8_t> payload);

// Leap seconds (GPS - UTC) from NAV-TIMEGPS (leapS, when valid) or NAV-TIMELS (currLs, when
// valid); nullopt when the message does not say.
std::optional<int> leap_from_timegps(std::span<const uint8_t> payload) noexcept;
std::optional<int> leap_from_timels(std::span<const uint8_t> payload) noexcept;

// gpsd's satellite numbering ("PRN") of a u-blox gnssId/svId; 0: none (left out of SKY).
int ubx_to_prn(int gnssId, int svId) noexcept;

// DOPs from the geometry of the used satellites (east, north, up, time), as gpsd fills what the
// receiver did not send; nullopt with fewer than four usable satellites or a singular geometry.
struct GeometryDop {
    double xdop = 0, ydop = 0, vdop = 0, tdop = 0, hdop = 0, pdop = 0, gdop = 0;
};
std::optional<GeometryDop> geometry_dop(const std::vector<Satellite>& sats);

// --- reports ---------------------------------------------------------------------------------

// What TPV takes from beyond the NAV-PVT itself.
struct TpvContext {
    std::string_view device;
    std::optional<int> leapseconds;
    // The latest satellite geometry's DOPs, for gpsd's error model (epx/epy = DOP x UERE;
    // sep comes from the NAV-PVT's pDOP).
    std::optional<double> xdop, ydop;
};

// TPV of one NAV-PVT, ending in "\r\n".
std::string tpv(const Pvt& p, const TpvContext& ctx);
// TPV of no fix (a stale or stopped receiver): mode 1, nothing else but the device.
std::string tpv_no_fix(std::string_view device);

struct SkyContext {
    std::string_view device;
    std::optional<double> time;  // UTC of the epoch
    std::optional<Dop> dop;      // the receiver's DOPs, when known for this epoch
};
// SKY of one NAV-SAT, ending in "\r\n".
std::string sky(const SatView& view, const SkyContext& ctx);

std::string version();

struct DeviceInfo {
    std::string path;
    std::optional<double> activated;  // UTC seconds; nullopt: not active
    std::optional<double> cycle;      // seconds between solutions, when measured
};
// One DEVICE object (as a line, or without the line end for DEVICES' list).
std::string device(const DeviceInfo& d, bool line = true);
// The deactivation notice gpsd sends: {"class":"DEVICE","path":P,"activated":0}.
std::string device_gone(std::string_view path);
std::string devices(const std::vector<DeviceInfo>& list);

struct WatchPolicy {
    bool enable = false, json = false, nmea = false;
    int raw = 0;
    bool scaled = false, timing = false, split24 = false, pps = false;
    std::string device;
};
std::string watch(const WatchPolicy& w);

std::string error(std::string_view message);

// POLL: the time now, how many devices the client watches, and the latest TPV/SKY (each given
// as a report line; its "\r\n" is dropped inside the list).
std::string poll(double now, int active, std::string_view tpv_line, std::string_view sky_line);

}  // namespace zq::hub::gpsd
