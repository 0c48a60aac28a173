// Cutting a recording into epochs by receiver time (see replay.hpp).
#include "replay.hpp"

#include <fstream>
#include <iterator>
#include <stdexcept>

#include "ubx/frame.hpp"

namespace zqsim {
namespace {

uint32_t le32(std::span<const uint8_t> p, size_t off) {
    return p[off] | p[off + 1] << 8 | p[off + 2] << 16 | uint32_t{p[off + 3]} << 24;
}

// Time of day in seconds from the time field of GGA, RMC, GLL or ZDA.
std::optional<double> nmea_time(const std::string& line) {
    if (line.size() < 7 || line[0] != '$') return std::nullopt;
    const std::string type = line.substr(3, 3);
    int field = 0;
    if (type == "GGA" || type == "RMC" || type == "ZDA") field = 1;
    if (type == "GLL") field = 5;
    if (field == 0) return std::nullopt;
    size_t pos = 0;
    for (int i = 0; i < field; ++i) {
        pos = line.find(',', pos);
        if (pos == std::string::npos) return std::nullopt;
        ++pos;
    }
    const std::string v = line.substr(pos, line.find_first_of(",*", pos) - pos);
    if (v.size() < 6) return std::nullopt;
    try {
        return std::stoi(v.substr(0, 2)) * 3600 + std::stoi(v.substr(2, 2)) * 60 +
               std::stod(v.substr(4));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

struct Unit {
    size_t begin, end;
    std::optional<double> t_ubx, t_nmea;
    bool pvt = false;
};

}  // namespace

std::vector<ReplayEpoch> load_replay(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t start = 0;
    while (start < data.size() && data[start] == '#') {
        const size_t nl = data.find('\n', start);
        start = nl == std::string::npos ? data.size() : nl + 1;
    }
    const auto* base = reinterpret_cast<const uint8_t*>(data.data());

    // Cut into units: UBX frames (found by the scanner), NMEA lines, and the bytes between.
    std::vector<Unit> units;
    ubx::Scanner sc(ubx::kDefaultMaxPayload, false);  // a recording is replayed as it was
    sc.feed(std::span<const uint8_t>(base + start, data.size() - start));
    size_t pos = start;
    auto add_text = [&](size_t from, size_t to) {
        while (from < to) {
            const size_t dollar = data.find('$', from);
            if (dollar == std::string::npos || dollar >= to) {
                units.push_back({from, to, {}, {}, false});
                return;
            }
            if (dollar > from) units.push_back({from, dollar, {}, {}, false});
            size_t nl = data.find('\n', dollar);
            nl = (nl == std::string::npos || nl >= to) ? to : nl + 1;
            units.push_back({dollar, nl, {}, nmea_time(data.substr(dollar, nl - dollar)), false});
            from = nl;
        }
    };
    while (auto f = sc.next()) {
        const size_t fb = static_cast<size_t>(f->raw.data() - base);
        add_text(pos, fb);
        Unit u{fb, fb + f->raw.size(), {}, {}, false};
        if (f->cls == 0x01 && f->payload.size() >= 4) u.t_ubx = le32(f->payload, 0) / 1000.0;
        u.pvt = f->cls == 0x01 && f->id == 0x07 && f->payload.size() >= 84;
        units.push_back(u);
        pos = u.end;
    }
    add_text(pos, data.size());

    bool have_ubx_time = false;
    for (const auto& u : units)
        have_ubx_time |= u.t_ubx.has_value();

    std::vector<ReplayEpoch> epochs(1);
    for (const auto& u : units) {
        const auto t = have_ubx_time ? u.t_ubx : u.t_nmea;
        ReplayEpoch* cur = &epochs.back();
        if (t && cur->time_s && *t != *cur->time_s) {
            epochs.emplace_back();
            cur = &epochs.back();
        }
        if (t && !cur->time_s) cur->time_s = t;
        cur->bytes.append(data, u.begin, u.end - u.begin);
        if (u.pvt) {
            std::span<const uint8_t> p(base + u.begin + 6, u.end - u.begin - 8);
            cur->pvts.push_back({cur->bytes.size(), le32(p, 0), static_cast<int32_t>(le32(p, 28)),
                                 static_cast<int32_t>(le32(p, 24))});
        }
    }
    return epochs;
}

}  // namespace zqsim
