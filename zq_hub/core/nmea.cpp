// NMEA 0183 sentence checks.
#include "nmea.hpp"

namespace zq::hub::nmea {
namespace {

int hex_digit(uint8_t c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

uint8_t checksum(std::string_view body) noexcept {
    uint8_t x = 0;
    for (char c : body)
        x ^= static_cast<uint8_t>(c);
    return x;
}

bool valid_sentence(std::span<const uint8_t> line) noexcept {
    if (line.size() < 8 || line.size() > kMaxSentence) return false;
    if (line[0] != '$' && line[0] != '!') return false;
    if (line.back() != '\n') return false;
    std::size_t end = line.size() - 1;
    if (line[end - 1] == '\r') --end;
    std::size_t star = end;
    for (std::size_t i = 1; i < end; ++i) {
        const uint8_t c = line[i];
        if (c < 0x20 || c > 0x7E) return false;
        if (c == '*') {
            star = i;
            break;
        }
    }
    // Talker and sentence type: at least "GPGGA" or "PUBX" before the first comma.
    std::size_t comma = 1;
    while (comma < star && line[comma] != ',')
        ++comma;
    if (comma < 4) return false;
    if (star == end) return true;
    if (star + 3 != end) return false;
    const int hi = hex_digit(line[star + 1]);
    const int lo = hex_digit(line[star + 2]);
    if (hi < 0 || lo < 0) return false;
    const std::string_view body(reinterpret_cast<const char*>(line.data()) + 1, star - 1);
    return checksum(body) == ((hi << 4) | lo);
}

}  // namespace zq::hub::nmea
