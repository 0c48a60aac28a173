// A recorded receiver stream cut into epochs so it can be sent again at its own pace.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zqsim {

struct ReplayEpoch {
    std::optional<double> time_s;  // receiver time of the epoch (iTOW or NMEA time of day)
    std::string bytes;
    // End offsets (within bytes) of the NAV-PVT frames, with their iTOW, lat, lon (raw).
    struct Pvt {
        size_t end;
        uint32_t itow;
        int32_t lat, lon;
    };
    std::vector<Pvt> pvts;
};

// Reads the file, skipping its leading '#' comment lines. Throws std::runtime_error.
std::vector<ReplayEpoch> load_replay(const std::string& path);

}  // namespace zqsim
