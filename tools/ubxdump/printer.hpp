// ubxdump's message lines and message selection, both driven by the codec's catalogue: a
// message the catalogue gains is printed and selectable without a change here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "json_out.hpp"
#include "ubx/ubx.hpp"

namespace ubxdump {

// One JSON line per frame:
//   {"identity":..,"class":..,"id":..,"length":..,"fields":{..},"blocks":[{..},..],"raw":".."}
// "blocks" is there for every form with a repeated group (possibly []), one object per
// repetition, keyed by the group's field names. A class/id the catalogue lacks has "payload"
// (hex) in place of "fields"; a known one with a length no form has, "error" and "payload".
// "raw" only when asked for.
class Printer {
  public:
    explicit Printer(bool raw) : raw_(raw), plans_(1 << 16) {}

    void print(Out& out, const ubx::Frame& f);

  private:
    struct FieldPlan {
        const ubx::Field* field;
        uint32_t key_at;  // `"name":`, after a comma unless it is the first of its object
        uint32_t key_len;
    };
    struct FormPlan {
        const ubx::MessageDef* def;
        std::vector<FieldPlan> fields;
        std::vector<FieldPlan> block;
        std::size_t fields_max = 0;  // most bytes the plain fields take in the output
        std::size_t block_max = 0;   // ... and one repetition of the group
    };
    // What every line of one class/id shares.
    struct KeyPlan {
        std::string head;  // `{"identity":"NAV-PVT","class":1,"id":7,"length":`
        std::string keys;  // the field keys of all forms, which FieldPlan points into
        std::vector<FormPlan> forms;
    };

    const KeyPlan& plan(uint8_t cls, uint8_t id);
    static char* put_fields(char* p, const std::vector<FieldPlan>& fields, const char* keys,
                            const uint8_t* base);
    void print_error(Out& out, const KeyPlan& k, const ubx::Frame& f);
    void end_line(Out& out, char* p, const ubx::Frame& f) const;

    bool raw_;
    std::vector<std::unique_ptr<KeyPlan>> plans_;  // by class << 8 | id, made on first use
};

// The catalogue's identities, sorted, each once.
std::vector<std::string_view> known_identities();

// The class/ids that --only lets through. Identities match without regard to case; besides the
// catalogue's names, "UNKNOWN-0xCC-0xII" selects a class/id the catalogue does not know, the
// way ubxdump prints it.
class Selection {
  public:
    Selection() : keys_(1 << 16) {}

    // Adds a comma-separated list of identities. Returns an empty string, or the error (one
    // line) for the first entry that names no message; nothing of the list is added then.
    std::string add(std::string_view list);

    bool everything() const noexcept { return !any_; }
    bool contains(uint8_t cls, uint8_t id) const noexcept { return keys_[cls << 8 | id]; }

  private:
    std::vector<bool> keys_;
    bool any_ = false;
};

}  // namespace ubxdump
