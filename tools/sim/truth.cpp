// Ground-truth JSON lines (see truth.hpp).
#include "truth.hpp"

#include <cmath>

namespace zqsim {

TruthLog::~TruthLog() {
    if (out_ && out_ != stdout) std::fclose(out_);
}

bool TruthLog::open(const std::string& path) {
    if (path == "-") {
        out_ = stdout;
        return true;
    }
    out_ = std::fopen(path.c_str(), "w");
    return out_ != nullptr;
}

void TruthLog::write(const std::string& partial, bool sent, const char* reason, double t_mono,
                     double t_wall) {
    if (!out_) return;
    std::fprintf(out_, "{%s,\"sent\":%s,\"reason\":\"%s\",\"t_mono\":%.6f,\"t_wall\":%.6f}\n",
                 partial.c_str(), sent ? "true" : "false", reason, t_mono, t_wall);
    std::fflush(out_);
}

std::string synthetic_truth(long long seq, const Solution& s, bool pvt, bool damaged,
                            size_t nmea_bytes) {
    char t[512];
    std::snprintf(t, sizeof t,
                  "\"seq\":%lld,\"time\":\"%04d-%02d-%02dT%02d:%02d:%02d.%03dZ\",\"iTOW\":%u,"
                  "\"lat\":%.9f,\"lon\":%.9f,\"lat_e7\":%lld,\"lon_e7\":%lld,\"hMSL\":%.3f,"
                  "\"gSpeed\":%lld,\"headMot\":%lld,\"numSV\":%d,\"pDOP\":%lld,\"fixType\":%d,"
                  "\"gnssFixOk\":%d,\"pvt\":%s,\"pvt_damaged\":%s,\"nmea\":%zu",
                  seq, s.year, s.month, s.day, s.hour, s.min, s.sec, s.millis, s.itow, s.lat, s.lon,
                  std::llround(s.lat * 1e7), std::llround(s.lon * 1e7), s.hmsl,
                  std::llround(s.speed * 1e3), std::llround(s.heading * 1e5), s.num_sv(),
                  std::llround(s.pdop * 100), s.fix_type, s.fix_ok ? 1 : 0, pvt ? "true" : "false",
                  damaged ? "true" : "false", nmea_bytes);
    return t;
}

std::string replay_truth(long long seq, const ReplayEpoch::Pvt& p, bool damaged) {
    char t[256];
    std::snprintf(t, sizeof t,
                  "\"seq\":%lld,\"iTOW\":%u,\"lat\":%.9f,\"lon\":%.9f,\"lat_e7\":%d,"
                  "\"lon_e7\":%d,\"pvt\":true,\"pvt_damaged\":%s",
                  seq, p.itow, p.lat / 1e7, p.lon / 1e7, p.lat, p.lon, damaged ? "true" : "false");
    return t;
}

}  // namespace zqsim
