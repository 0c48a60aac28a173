// NMEA 0183 sentences as a receiver sends them beside UBX: "$" or "!", up to "*HH\r\n".
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace zq::hub::nmea {

// Longest sentence taken as one: the standard's 82 characters, with room for the longer
// proprietary sentences receivers send.
inline constexpr std::size_t kMaxSentence = 256;

// True when LINE (from its '$' or '!' through its '\n') is a sentence: printable characters,
// a talker and type field, and, when it carries "*HH", a checksum that matches.
bool valid_sentence(std::span<const uint8_t> line) noexcept;

// The XOR checksum of the characters between the start character and '*'.
uint8_t checksum(std::string_view body) noexcept;

}  // namespace zq::hub::nmea
