// NMEA sentences of one epoch, with the field formats and talker ids of a u-blox receiver.
#include "nmea.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace zqsim {

std::string nmea_sentence(const std::string& body) {
    unsigned ck = 0;
    for (unsigned char c : body)
        ck ^= c;
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", ck);
    return "$" + body + tail;
}

namespace {

std::string fmt(const char* f, auto... args) {
    char buf[160];
    int n = std::snprintf(buf, sizeof buf, f, args...);
    return std::string(buf,
                       static_cast<size_t>(std::clamp(n, 0, static_cast<int>(sizeof buf) - 1)));
}

// ddmm.mmmmm,N / dddmm.mmmmm,E; empty fields without a fix.
std::string latlon(const Solution& s) {
    if (!s.fix_ok) return ",,,";
    auto part = [](double v, int deg_digits, char pos, char neg) {
        const double a = std::fabs(v);
        int deg = static_cast<int>(a);
        double minutes = (a - deg) * 60.0;
        if (std::lround(minutes * 1e5) >= 6000000) {
            ++deg;
            minutes = 0;
        }
        return fmt("%0*d%08.5f,%c", deg_digits, deg, minutes, v < 0 ? neg : pos);
    };
    return part(s.lat, 2, 'N', 'S') + "," + part(s.lon, 3, 'E', 'W');
}

// NMEA 4.10 GNSS system id.
int system_id(char talker) {
    switch (talker) {
        case 'L':
            return 2;
        case 'A':
            return 3;
        case 'B':
            return 4;
        default:
            return 1;
    }
}

}  // namespace

std::string nmea_burst(const Solution& s, const bool on[6]) {
    const std::string hms = fmt("%02d%02d%02d.%02d", s.hour, s.min, s.sec, s.millis / 10);
    const std::string date = fmt("%02d%02d%02d", s.day, s.month, s.year % 100);
    const double knots = s.speed * 3600.0 / 1852.0;
    // NMEA 4.1 mode: autonomous, differential, RTK float, RTK fixed.
    const char mode = !s.fix_ok          ? 'N'
                      : !s.diff_soln     ? 'A'
                      : s.carr_soln == 2 ? 'R'
                      : s.carr_soln == 1 ? 'F'
                                         : 'D';
    const int quality = !s.diff_soln ? 1 : s.carr_soln == 2 ? 4 : s.carr_soln == 1 ? 5 : 2;
    // GPS and GLONASS always have their GSA; Galileo and BeiDou when in the sky.
    std::vector<char> systems = {'P', 'L'};
    for (char extra : {'A', 'B'})
        if (std::any_of(s.sats.begin(), s.sats.end(),
                        [&](const Satellite& sat) { return sat.system == extra; }))
            systems.push_back(extra);
    std::string out;
    if (on[4]) {
        out += nmea_sentence("GNRMC," + hms + (s.fix_ok ? ",A," : ",V,") + latlon(s) + "," +
                             (s.fix_ok ? fmt("%.3f,%.2f", knots, s.heading) : ",") + "," + date +
                             ",,," + mode);
    }
    if (on[5]) {
        out += nmea_sentence(s.fix_ok ? fmt("GNVTG,%.2f,T,,M,%.3f,N,%.3f,K,%c", s.heading, knots,
                                            s.speed * 3.6, mode)
                                      : std::string("GNVTG,,,,,,,,,N"));
    }
    const int nsv = s.num_sv();
    if (on[0]) {
        out += nmea_sentence("GNGGA," + hms + "," + latlon(s) + "," +
                             (s.fix_ok ? fmt("%d,%02d,%.2f,%.1f,M,%.1f,M,,", quality, nsv, s.hdop,
                                             s.hmsl, s.geoid_sep)
                                       : fmt("0,%02d,99.99,,,,,,", nsv)));
    }
    if (on[2]) {
        for (char sys : systems) {
            std::string body = fmt("GNGSA,A,%d", s.fix_ok ? 3 : 1);
            int listed = 0;
            for (const auto& sat : s.sats) {
                if (sat.system == sys && sat.used && listed < 12) {
                    body += fmt(",%02d", sat.prn);
                    ++listed;
                }
            }
            for (; listed < 12; ++listed)
                body += ",";
            body += s.fix_ok ? fmt(",%.2f,%.2f,%.2f", s.pdop, s.hdop, s.vdop)
                             : std::string(",99.99,99.99,99.99");
            // With more than GPS and GLONASS, the NMEA 4.10 system id tells which one this is:
            // a GNGSA's satellite numbers alone do not (Galileo's 1..36 are GPS's too).
            if (systems.size() > 2) body += fmt(",%d", system_id(sys));
            out += nmea_sentence(body);
        }
    }
    if (on[3]) {
        for (char sys : systems) {
            std::vector<const Satellite*> list;
            for (const auto& sat : s.sats)
                if (sat.system == sys) list.push_back(&sat);
            const int total = static_cast<int>(list.size());
            const int pages = (total + 3) / 4;
            for (int p = 0; p < pages; ++p) {
                std::string body = fmt("G%cGSV,%d,%d,%02d", sys, pages, p + 1, total);
                for (int i = p * 4; i < std::min(total, p * 4 + 4); ++i) {
                    const Satellite& sat = *list[i];
                    body += fmt(",%02d,%02d,%03d,", sat.prn, sat.elev, sat.azim);
                    if (sat.cno > 0) body += fmt("%02d", sat.cno);
                }
                out += nmea_sentence(body);
            }
        }
    }
    if (on[1]) {
        out += nmea_sentence("GNGLL," + latlon(s) + "," + hms + (s.fix_ok ? ",A," : ",V,") + mode);
    }
    return out;
}

}  // namespace zqsim
