// Civil dates of day counts since 1970-01-01, proleptic Gregorian (Howard Hinnant's
// civil_from_days), for the services that print or check UTC dates.
#pragma once

#include <cstdint>

namespace zq::hub {

struct Civil {
    int64_t year;
    unsigned month, day;
};

constexpr Civil civil_from_days(int64_t z) noexcept {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {static_cast<int64_t>(yoe) + era * 400 + (m <= 2), m, d};
}

}  // namespace zq::hub
