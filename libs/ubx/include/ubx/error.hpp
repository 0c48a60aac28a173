// Errors of the UBX codec. Each carries the message class/id and the lengths or checksums
// involved, so that a log line alone says what was wrong with which frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace ubx {

enum class Errc : uint8_t {
    BadFrame,       // not a complete frame: sync chars, header or length field disagree
    BadChecksum,    // frame complete but CK_A/CK_B do not match
    BadLength,      // known class/id, but the payload length fits none of its forms
    UnknownField,   // builder: a field name the message does not have
    BadValue,       // builder: value of the wrong kind or out of the field's range
    FieldConflict,  // builder: fields that exist, but in no single form of the message
};

class Error : public std::runtime_error {
  public:
    Error(Errc code, uint8_t cls, uint8_t id, std::size_t length, const std::string& what)
        : std::runtime_error(what), code_(code), cls_(cls), id_(id), length_(length) {}

    Errc code() const noexcept { return code_; }
    uint8_t cls() const noexcept { return cls_; }
    uint8_t id() const noexcept { return id_; }
    // Payload length involved (or frame length for BadFrame).
    std::size_t length() const noexcept { return length_; }

  private:
    Errc code_;
    uint8_t cls_;
    uint8_t id_;
    std::size_t length_;
};

}  // namespace ubx
