// gpsd's JSON objects from decoded UBX, field by field in gpsd 3.22's order and precision.
#include "gpsd_json.hpp"

#include <array>
#include <cmath>
#include <cstdio>

#include "civil.hpp"
#include "ubx/le.hpp"

namespace zq::hub::gpsd {
namespace {

constexpr int kMaxSatellites = 140;
constexpr std::size_t kMaxSatelliteBytes = 9600;

}  // namespace

// ---------------------------------------------------------------------------------------------
// Writer

void append_escaped(std::string& out, std::string_view s) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c >= 0x20 && c < 0x7F) {
            out += ch;
        } else {
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        }
    }
}

void Writer::comma() {
    if (!first_) out_ += ',';
    first_ = false;
}

Writer& Writer::begin(std::string_view cls) {
    out_ += '{';
    first_ = true;
    return str("class", cls);
}

Writer& Writer::open_plain() {
    comma();
    out_ += '{';
    first_ = true;
    return *this;
}

void Writer::close_plain() {
    out_ += '}';
    first_ = false;
}

Writer& Writer::key(std::string_view k) {
    comma();
    out_ += '"';
    out_ += k;
    out_ += "\":";
    return *this;
}

Writer& Writer::str(std::string_view k, std::string_view v) {
    key(k);
    out_ += '"';
    append_escaped(out_, v);
    out_ += '"';
    return *this;
}

Writer& Writer::integer(std::string_view k, int64_t v) {
    key(k);
    out_ += std::to_string(v);
    return *this;
}

Writer& Writer::fixed(std::string_view k, double v, int decimals) {
    if (!std::isfinite(v)) return *this;
    char buf[64];
    const int n = std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    if (n <= 0 || n >= static_cast<int>(sizeof buf)) return *this;
    key(k);
    // "-0.000" reads oddly and gpsd never prints it for a zero value.
    std::string_view text(buf, static_cast<std::size_t>(n));
    if (text.front() == '-' && text.find_first_not_of("-0.") == std::string_view::npos)
        text.remove_prefix(1);
    out_ += text;
    return *this;
}

Writer& Writer::boolean(std::string_view k, bool v) {
    key(k);
    out_ += v ? "true" : "false";
    return *this;
}

Writer& Writer::raw(std::string_view k, std::string_view json) {
    key(k);
    out_ += json;
    return *this;
}

void Writer::end(bool line) {
    out_ += '}';
    if (line) out_ += "\r\n";
    first_ = false;
}

std::string iso8601(double seconds) {
    auto ms = static_cast<int64_t>(std::llround(seconds * 1000.0));
    int64_t secs = ms / 1000;
    int64_t frac = ms % 1000;
    if (frac < 0) {
        frac += 1000;
        --secs;
    }
    int64_t days = secs / 86400;
    int64_t rem = secs % 86400;
    if (rem < 0) {
        rem += 86400;
        --days;
    }
    const Civil c = civil_from_days(days);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04lld-%02u-%02uT%02d:%02d:%02d.%03dZ",
                  static_cast<long long>(c.year), c.month, c.day, static_cast<int>(rem / 3600),
                  static_cast<int>(rem / 60 % 60), static_cast<int>(rem % 60),
                  static_cast<int>(frac));
    return buf;
}

// ---------------------------------------------------------------------------------------------
// Decoders (payload offsets of the u-blox interface description)

std::optional<Dop> decode_dop(std::span<const uint8_t> p) noexcept {
    if (p.size() != 18) return std::nullopt;
    const auto u2 = [&](std::size_t at) { return ubx::le::load<uint16_t>(p.data() + at) * 0.01; };
    Dop d;
    d.iTOW = ubx::le::load<uint32_t>(p.data());
    d.gdop = u2(4);
    d.pdop = u2(6);
    d.tdop = u2(8);
    d.vdop = u2(10);
    d.hdop = u2(12);
    d.ndop = u2(14);
    d.edop = u2(16);
    return d;
}

std::optional<SatView> decode_sat(std::span<const uint8_t> p) {
    if (p.size() < 8 || p[4] != 1) return std::nullopt;
    const std::size_t n = p[5];
    if (p.size() != 8 + 12 * n) return std::nullopt;
    SatView v;
    v.iTOW = ubx::le::load<uint32_t>(p.data());
    v.sats.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const uint8_t* b = p.data() + 8 + 12 * i;
        Satellite s;
        s.gnssId = b[0];
        s.svId = b[1];
        s.cno = b[2];
        s.elev = static_cast<int8_t>(b[3]);
        s.azim = ubx::le::load<int16_t>(b + 4);
        s.flags = ubx::le::load<uint32_t>(b + 8);
        v.sats.push_back(s);
    }
    return v;
}

std::optional<int> leap_from_timegps(std::span<const uint8_t> p) noexcept {
    if (p.size() != 16 || (p[11] & 0x04) == 0) return std::nullopt;
    return static_cast<int8_t>(p[10]);
}

std::optional<int> leap_from_timels(std::span<const uint8_t> p) noexcept {
    if (p.size() != 24 || (p[23] & 0x01) == 0) return std::nullopt;
    return static_cast<int8_t>(p[9]);
}

int ubx_to_prn(int gnssId, int svId) noexcept {
    switch (gnssId) {
        case 0:  // GPS
            return svId >= 1 && svId <= 32 ? svId : 0;
        case 1:  // SBAS
            if (svId >= 120 && svId <= 151) return svId - 87;
            if (svId >= 152 && svId <= 158) return svId;
            return 0;
        case 2:  // Galileo
            if (svId >= 1 && svId <= 36) return svId + 300;
            if (svId >= 211 && svId <= 246) return svId + 90;
            return 0;
        case 3:  // BeiDou
            return svId >= 1 && svId <= 37 ? svId + 400 : 0;
        case 4:  // IMES
            return svId >= 1 && svId <= 10 ? svId + 172 : 0;
        case 5:  // QZSS
            return svId >= 1 && svId <= 7 ? svId + 192 : 0;
        case 6:  // GLONASS (255: not yet identified)
            return svId >= 1 && svId <= 32 ? svId + 64 : 0;
        default:
            return 0;
    }
}

std::optional<GeometryDop> geometry_dop(const std::vector<Satellite>& sats) {
    // Normal matrix H^T H of the unit vectors (east, north, up) plus the clock column.
    std::array<std::array<double, 4>, 4> a{};
    int used = 0;
    for (const auto& s : sats) {
        if (!s.used() || s.elev < -90 || s.elev > 90 || s.azim < 0 || s.azim > 359) continue;
        if (ubx_to_prn(s.gnssId, s.svId) == 0) continue;
        const double el = s.elev * M_PI / 180.0;
        const double az = s.azim * M_PI / 180.0;
        const std::array<double, 4> h{std::cos(el) * std::sin(az), std::cos(el) * std::cos(az),
                                      std::sin(el), 1.0};
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j)
                a[i][j] += h[i] * h[j];
        ++used;
    }
    if (used < 4) return std::nullopt;
    // Gauss-Jordan inverse with partial pivoting.
    std::array<std::array<double, 4>, 4> inv{};
    for (int i = 0; i < 4; ++i)
        inv[i][i] = 1.0;
    for (int c = 0; c < 4; ++c) {
        int pivot = c;
        for (int r = c + 1; r < 4; ++r)
            if (std::fabs(a[r][c]) > std::fabs(a[pivot][c])) pivot = r;
        if (std::fabs(a[pivot][c]) < 1e-12) return std::nullopt;
        std::swap(a[c], a[pivot]);
        std::swap(inv[c], inv[pivot]);
        const double d = a[c][c];
        for (int j = 0; j < 4; ++j) {
            a[c][j] /= d;
            inv[c][j] /= d;
        }
        for (int r = 0; r < 4; ++r) {
            if (r == c) continue;
            const double f = a[r][c];
            for (int j = 0; j < 4; ++j) {
                a[r][j] -= f * a[c][j];
                inv[r][j] -= f * inv[c][j];
            }
        }
    }
    for (int i = 0; i < 4; ++i)
        if (!(inv[i][i] > 0)) return std::nullopt;
    GeometryDop g;
    g.xdop = std::sqrt(inv[0][0]);
    g.ydop = std::sqrt(inv[1][1]);
    g.vdop = std::sqrt(inv[2][2]);
    g.tdop = std::sqrt(inv[3][3]);
    g.hdop = std::sqrt(inv[0][0] + inv[1][1]);
    g.pdop = std::sqrt(inv[0][0] + inv[1][1] + inv[2][2]);
    g.gdop = std::sqrt(inv[0][0] + inv[1][1] + inv[2][2] + inv[3][3]);
    return g;
}

// ---------------------------------------------------------------------------------------------
// Reports

namespace {

struct ModeStatus {
    int mode;
    int status;  // 0: none printed
};

ModeStatus mode_status(const Pvt& p) {
    int mode = 1;
    int status = 0;
    switch (p.fixType) {
        case 1:  // dead reckoning only
            mode = 2;
            status = 5;
            break;
        case 2:
            mode = 2;
            break;
        case 3:
            mode = 3;
            break;
        case 4:  // GNSS + dead reckoning
            mode = 3;
            status = 6;
            break;
        case 5:  // time only (surveyed position)
            mode = 3;
            status = 7;
            break;
        default:
            break;
    }
    if (p.fixType == 2 || p.fixType == 3) {
        if (p.carrSoln == 2) {
            status = 3;  // RTK fixed
        } else if (p.carrSoln == 1) {
            status = 4;  // RTK float
        } else if (p.difSoln) {
            status = 2;  // DGPS
        }
    }
    return {mode, status};
}

}  // namespace

std::string tpv(const Pvt& p, const TpvContext& ctx) {
    std::string out;
    out.reserve(512);
    Writer w(out);
    w.begin("TPV");
    if (!ctx.device.empty()) w.str("device", ctx.device);
    const auto [mode, status] = mode_status(p);
    // gpsd's error model: receiver figures where it has them, DOP x UERE otherwise (UERE in
    // metres, smaller with differential corrections).
    const bool diff = status == 2 || status == 3 || status == 4;
    const double h_uere = diff ? 3.75 : 15.0;
    const double p_uere = diff ? 4.75 : 19.0;
    if (status >= 2) w.integer("status", status);
    w.integer("mode", mode);
    if (const auto t = p.utc()) w.str("time", iso8601(*t));
    if (ctx.leapseconds) w.integer("leapseconds", *ctx.leapseconds);
    // The receiver's time accuracy; gpsd's own default where the receiver gives none.
    if (p.utc()) w.fixed("ept", p.tAcc > 0 ? p.tAcc * 1e-9 : 0.005, 3);
    if (mode >= 2) {
        w.fixed("lat", p.lat * 1e-7, 9);
        w.fixed("lon", p.lon * 1e-7, 9);
        w.fixed("altHAE", p.height * 1e-3, 4);
        w.fixed("altMSL", p.hMSL * 1e-3, 4);
        w.fixed("alt", p.hMSL * 1e-3, 4);
        if (ctx.xdop) w.fixed("epx", *ctx.xdop * h_uere, 3);
        if (ctx.ydop) w.fixed("epy", *ctx.ydop * h_uere, 3);
        w.fixed("epv", p.vAcc * 1e-3, 3);
        w.fixed("track", p.headMot * 1e-5, 4);
        if (p.long_form && p.validMag) w.fixed("magvar", p.magDec * 1e-2, 1);
        w.fixed("speed", p.gSpeed * 1e-3, 3);
        if (mode == 3) w.fixed("climb", -p.velD * 1e-3, 3);
        w.fixed("epd", p.headAcc * 1e-5, 4);
        w.fixed("eps", p.sAcc * 1e-3, 2);
        if (mode == 3) {
            w.fixed("velN", p.velN * 1e-3, 3);
            w.fixed("velE", p.velE * 1e-3, 3);
            w.fixed("velD", p.velD * 1e-3, 3);
            w.fixed("geoidSep", (p.height - p.hMSL) * 1e-3, 3);
        }
        w.fixed("eph", p.hAcc * 1e-3, 3);
        if (p.pDOP > 0) w.fixed("sep", p.pDOP * 0.01 * p_uere, 3);
    }
    w.end();
    return out;
}

std::string tpv_no_fix(std::string_view device) {
    std::string out;
    Writer w(out);
    w.begin("TPV");
    if (!device.empty()) w.str("device", device);
    w.integer("mode", 1);
    w.end();
    return out;
}

std::string sky(const SatView& view, const SkyContext& ctx) {
    std::string out;
    out.reserve(64 + view.sats.size() * 96);
    Writer w(out);
    w.begin("SKY");
    if (!ctx.device.empty()) w.str("device", ctx.device);
    if (ctx.time) w.str("time", iso8601(*ctx.time));
    const auto geo = geometry_dop(view.sats);
    // x and y come from the geometry as gpsd's do; the rest from NAV-DOP where it was sent.
    if (geo) {
        w.fixed("xdop", geo->xdop, 2);
        w.fixed("ydop", geo->ydop, 2);
    } else if (ctx.dop) {
        w.fixed("xdop", ctx.dop->edop, 2);
        w.fixed("ydop", ctx.dop->ndop, 2);
    }
    if (ctx.dop) {
        w.fixed("vdop", ctx.dop->vdop, 2);
        w.fixed("tdop", ctx.dop->tdop, 2);
        w.fixed("hdop", ctx.dop->hdop, 2);
        w.fixed("gdop", ctx.dop->gdop, 2);
        w.fixed("pdop", ctx.dop->pdop, 2);
    } else if (geo) {
        w.fixed("vdop", geo->vdop, 2);
        w.fixed("tdop", geo->tdop, 2);
        w.fixed("hdop", geo->hdop, 2);
        w.fixed("gdop", geo->gdop, 2);
        w.fixed("pdop", geo->pdop, 2);
    }
    // The list first: libgps gives up on a line longer than 10240 bytes and keeps at most 140
    // satellites, so the list stops short of both (used satellites first when it must).
    std::string list;
    int n = 0;
    int used = 0;
    // ONLY_USED: true / false for one kind, nullopt for all; false when the list is full.
    const auto add = [&](std::optional<bool> only_used) {
        for (const auto& s : view.sats) {
            const int prn = ubx_to_prn(s.gnssId, s.svId);
            if (prn == 0 || (only_used && s.used() != *only_used)) continue;
            if (n >= kMaxSatellites || list.size() > kMaxSatelliteBytes) return false;
            ++n;
            used += s.used() ? 1 : 0;
            if (!list.empty()) list += ',';
            Writer sw(list);
            sw.open_plain();
            sw.integer("PRN", prn);
            if (s.elev >= -90 && s.elev <= 90) sw.fixed("el", s.elev, 1);
            if (s.azim >= 0 && s.azim <= 359) sw.fixed("az", s.azim, 1);
            sw.fixed("ss", s.cno, 1);
            sw.boolean("used", s.used());
            sw.integer("gnssid", s.gnssId);
            sw.integer("svid", s.svId);
            if (s.health() != 0) sw.integer("health", s.health());
            sw.close_plain();
        }
        return true;
    };
    if (!add(std::nullopt)) {
        list.clear();
        n = used = 0;
        if (add(true)) add(false);
    }
    w.integer("nSat", n);
    w.integer("uSat", used);
    if (n > 0) {
        w.key("satellites");
        out += '[';
        out += list;
        out += ']';
    }
    w.end();
    return out;
}

std::string version() {
    std::string out;
    Writer w(out);
    w.begin("VERSION")
        .str("release", kRelease)
        .str("rev", kRelease)
        .integer("proto_major", kProtoMajor)
        .integer("proto_minor", kProtoMinor)
        .end();
    return out;
}

std::string device(const DeviceInfo& d, bool line) {
    std::string out;
    Writer w(out);
    w.begin("DEVICE").str("path", d.path).str("driver", "u-blox");
    if (d.activated) w.str("activated", iso8601(*d.activated));
    w.integer("flags", 1).integer("native", 1);
    if (d.cycle) w.fixed("cycle", *d.cycle, 2);
    w.end(line);
    return out;
}

std::string device_gone(std::string_view path) {
    std::string out;
    Writer w(out);
    w.begin("DEVICE").str("path", path).integer("activated", 0).end();
    return out;
}

std::string devices(const std::vector<DeviceInfo>& list) {
    std::string out;
    Writer w(out);
    w.begin("DEVICES").key("devices");
    out += '[';
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (i) out += ',';
        out += device(list[i], false);
    }
    out += ']';
    w.end();
    return out;
}

std::string watch(const WatchPolicy& p) {
    std::string out;
    Writer w(out);
    w.begin("WATCH")
        .boolean("enable", p.enable)
        .boolean("json", p.json)
        .boolean("nmea", p.nmea)
        .integer("raw", p.raw)
        .boolean("scaled", p.scaled)
        .boolean("timing", p.timing)
        .boolean("split24", p.split24)
        .boolean("pps", p.pps);
    if (!p.device.empty()) w.str("device", p.device);
    w.end();
    return out;
}

std::string error(std::string_view message) {
    std::string out;
    Writer w(out);
    w.begin("ERROR").str("message", message).end();
    return out;
}

namespace {

std::string_view without_line_end(std::string_view s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

}  // namespace

std::string poll(double now, int active, std::string_view tpv_line, std::string_view sky_line) {
    std::string out;
    Writer w(out);
    w.begin("POLL").str("time", iso8601(now)).integer("active", active).key("tpv");
    out += '[';
    if (active > 0 && !tpv_line.empty()) out += without_line_end(tpv_line);
    out += "],";
    out += "\"gst\":[],\"sky\":[";
    if (active > 0 && !sky_line.empty()) out += without_line_end(sky_line);
    out += ']';
    w.end();
    return out;
}

}  // namespace zq::hub::gpsd
