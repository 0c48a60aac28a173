// Orbits, look angles and DOPs of the --sky sky (see sky.hpp).
#include "sky.hpp"

#include <algorithm>
#include <array>
#include <cmath>

namespace zqsim {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDeg = kPi / 180.0;
constexpr double kMu = 3.986004418e14;          // m^3/s^2
constexpr double kEarthRate = 7.2921151467e-5;  // rad/s
constexpr double kEarthRadius = 6371008.8;
constexpr double kMinElev = 10;  // degrees: the receivers' default elevation mask

// One constellation as a Walker pattern: planes x slots, the planes' ascending nodes evenly
// spread, each plane's satellites staggered against the previous plane's.
struct Walker {
    int gnss_id, first_sv, planes, slots;
    double a_km, inc_deg, stagger_deg;
};
constexpr Walker kWalkers[] = {
    {0, 1, 6, 4, 26559.7, 55.0, 15.0},   // GPS
    {2, 1, 3, 8, 29600.3, 56.0, 15.0},   // Galileo
    {3, 19, 3, 8, 27906.1, 55.0, 15.0},  // BeiDou MEO
    {6, 1, 3, 8, 25508.0, 64.8, 15.0},   // GLONASS
};
// EGNOS: PRN 123 at 31.5 E, 136 at 5 E.
constexpr std::array<std::pair<int, double>, 2> kSbasGeo = {{{123, 31.5}, {136, 5.0}}};

char talker(int gnss_id) {
    switch (gnss_id) {
        case 2:
            return 'A';
        case 3:
            return 'B';
        case 6:
            return 'L';
        default:
            return 'P';  // GPS, and SBAS with NMEA numbers 33..64
    }
}

int nmea_prn(int gnss_id, int sv) {
    switch (gnss_id) {
        case 1:
            return sv - 87;
        case 6:
            return sv + 64;
        default:
            return sv;
    }
}

// Inverts the symmetric 4x4 matrix m in place by Gauss-Jordan elimination; false if singular.
bool invert4(std::array<std::array<double, 4>, 4>& m) {
    std::array<std::array<double, 8>, 4> a{};
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j)
            a[i][j] = m[i][j];
        a[i][4 + i] = 1;
    }
    for (int c = 0; c < 4; ++c) {
        int pivot = c;
        for (int r = c + 1; r < 4; ++r)
            if (std::fabs(a[r][c]) > std::fabs(a[pivot][c])) pivot = r;
        if (std::fabs(a[pivot][c]) < 1e-12) return false;
        std::swap(a[c], a[pivot]);
        const double d = a[c][c];
        for (double& v : a[c])
            v /= d;
        for (int r = 0; r < 4; ++r) {
            if (r == c) continue;
            const double f = a[r][c];
            for (int j = 0; j < 8; ++j)
                a[r][j] -= f * a[c][j];
        }
    }
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            m[i][j] = a[i][4 + j];
    return true;
}

}  // namespace

unsigned constellations(int generation, bool short_pvt) {
    if (short_pvt || generation == 6 || generation == 7) return kGps | kSbas;
    if (generation == 9) return kGps | kGalileo | kBeidou | kGlonass;
    if (generation == 10) return kGps | kSbas | kGalileo | kBeidou | kGlonass;
    return kGps | kSbas | kGalileo | kGlonass;  // u-blox 8: three GNSS at once
}

Sky::Sky(double lat, double lon, unsigned systems, double speed)
    : lat_(lat * kDeg), lon_(lon * kDeg), speed_(speed) {
    for (const Walker& w : kWalkers) {
        if (!(systems & (1u << w.gnss_id))) continue;
        for (int p = 0; p < w.planes; ++p) {
            for (int k = 0; k < w.slots; ++k) {
                Orbit o{};
                o.gnss_id = w.gnss_id;
                o.sv_id = w.first_sv + p * w.slots + k;
                o.a = w.a_km * 1000;
                o.inc = w.inc_deg * kDeg;
                o.raan = (360.0 / w.planes * p + 10.0 * w.gnss_id) * kDeg;
                o.u0 = (360.0 / w.slots * k + w.stagger_deg * p) * kDeg;
                orbits_.push_back(o);
            }
        }
    }
    if (systems & kSbas) {
        for (const auto& [prn, lon_deg] : kSbasGeo) {
            Orbit o{};
            o.gnss_id = 1;
            o.sv_id = prn;
            o.a = 42164e3;
            o.inc = -1;
            o.geo_lon = lon_deg * kDeg;
            orbits_.push_back(o);
        }
    }
    std::sort(orbits_.begin(), orbits_.end(), [](const Orbit& x, const Orbit& y) {
        return x.gnss_id != y.gnss_id ? x.gnss_id < y.gnss_id : x.sv_id < y.sv_id;
    });
}

void Sky::fill(Solution& s, double t, bool acquiring) const {
    const double ts = t * speed_;
    const double theta = kEarthRate * ts;  // Earth's rotation since the start
    const double ox = kEarthRadius * std::cos(lat_) * std::cos(lon_),
                 oy = kEarthRadius * std::cos(lat_) * std::sin(lon_),
                 oz = kEarthRadius * std::sin(lat_);
    std::vector<std::pair<double, double>> used;
    for (const Orbit& o : orbits_) {
        double x, y, z;
        if (o.inc < 0) {
            x = o.a * std::cos(o.geo_lon);
            y = o.a * std::sin(o.geo_lon);
            z = 0;
        } else {
            const double u = o.u0 + std::sqrt(kMu / (o.a * o.a * o.a)) * ts;
            const double xi = o.a * (std::cos(u) * std::cos(o.raan) -
                                     std::sin(u) * std::cos(o.inc) * std::sin(o.raan));
            const double yi = o.a * (std::cos(u) * std::sin(o.raan) +
                                     std::sin(u) * std::cos(o.inc) * std::cos(o.raan));
            z = o.a * std::sin(u) * std::sin(o.inc);
            x = xi * std::cos(theta) + yi * std::sin(theta);
            y = -xi * std::sin(theta) + yi * std::cos(theta);
        }
        const double dx = x - ox, dy = y - oy, dz = z - oz;
        const double e = -std::sin(lon_) * dx + std::cos(lon_) * dy;
        const double n = -std::sin(lat_) * std::cos(lon_) * dx -
                         std::sin(lat_) * std::sin(lon_) * dy + std::cos(lat_) * dz;
        const double up = std::cos(lat_) * std::cos(lon_) * dx +
                          std::cos(lat_) * std::sin(lon_) * dy + std::sin(lat_) * dz;
        const double elev = std::atan2(up, std::hypot(e, n)) / kDeg;
        if (elev < 0) continue;  // below the horizon: not tracked
        double azim = std::atan2(e, n) / kDeg;
        if (azim < 0) azim += 360;
        Satellite sat{talker(o.gnss_id), nmea_prn(o.gnss_id, o.sv_id), 0, 0, 0, false};
        sat.gnss_id = o.gnss_id;
        sat.sv_id = o.sv_id;
        sat.elev = static_cast<int>(std::lround(elev));
        sat.azim = static_cast<int>(std::lround(azim)) % 360;
        const double phase = o.sv_id * 0.7 + o.gnss_id;
        if (!acquiring) {
            // Stronger high up; a slow wobble as multipath comes and goes.
            sat.cno = std::clamp(
                static_cast<int>(std::lround(22 + 0.28 * elev + 3 * std::sin(t / 7 + phase))), 15,
                52);
            sat.used = elev >= kMinElev && o.gnss_id != 1;
            sat.pr_res = sat.used ? static_cast<int>(std::lround(12 * std::sin(t / 3 + phase))) : 0;
        }
        if (sat.used) used.emplace_back(elev, azim);
        s.sats.push_back(sat);
    }
    Dops d{};
    if (!acquiring && used.size() >= 4 && dops(used, &d)) {
        s.gdop = d.g;
        s.pdop = d.p;
        s.tdop = d.t;
        s.vdop = d.v;
        s.hdop = d.h;
        s.ndop = d.n;
        s.edop = d.e;
    }
}

bool Sky::dops(const std::vector<std::pair<double, double>>& el_az, Dops* out) {
    std::array<std::array<double, 4>, 4> m{};
    for (const auto& [el, az] : el_az) {
        const double row[4] = {std::cos(el * kDeg) * std::sin(az * kDeg),
                               std::cos(el * kDeg) * std::cos(az * kDeg), std::sin(el * kDeg), 1};
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j)
                m[i][j] += row[i] * row[j];
    }
    if (!invert4(m)) return false;
    const double qe = m[0][0], qn = m[1][1], qv = m[2][2], qt = m[3][3];
    if (qe < 0 || qn < 0 || qv < 0 || qt < 0) return false;
    *out = {std::sqrt(qe + qn + qv + qt), std::sqrt(qe + qn + qv), std::sqrt(qt), std::sqrt(qv),
            std::sqrt(qe + qn),           std::sqrt(qn),           std::sqrt(qe)};
    return true;
}

}  // namespace zqsim
