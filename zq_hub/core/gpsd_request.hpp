// gpsd's JSON protocol, the client's side of the line: splitting what a client sends into
// requests, and reading a request's argument object.
//
// Clients terminate requests differently (libgps: "?WATCH={...};\n", python3-gps: no ';',
// gps3/Home Assistant: neither ';' nor a newline), so a request ends at ';' or a line end, or,
// for "?NAME={...}", where its braces balance. Input is bounded: a request longer than the
// limit is answered once with an error and skipped up to the next line end.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace zq::hub::gpsd {

struct Request {
    enum class Kind { command, garbage, too_long };
    Kind kind = Kind::command;
    std::string name;  // command: "WATCH", "POLL", ... (as sent)
    bool has_arg = false;
    std::string arg;   // command with "=": the JSON text after it
    std::string text;  // the request as sent (for error messages), bounded
};

class RequestSplitter {
  public:
    explicit RequestSplitter(std::size_t max_request) : max_(max_request) {}
    // Appends BYTES and returns every request complete so far. END_OF_CHUNK: the bytes are a
    // whole read, so a bare "?NAME" of a known command at their end is complete too (gpsd takes
    // each read as a whole request).
    std::vector<Request> feed(std::string_view bytes, bool end_of_chunk = true);
    std::size_t pending() const noexcept { return buf_.size(); }

  private:
    // One request from the start of buf_, or nullopt when more bytes are needed.
    std::optional<Request> next(bool end_of_chunk, std::size_t* consumed);
    std::string buf_;
    const std::size_t max_;
    bool skipping_ = false;  // discarding an overlong request up to its line end
};

// A flat JSON object's members: booleans, numbers, strings; nested values are skipped (gpsd
// ignores attributes it does not know).
struct JsonValue {
    enum class Type { boolean, number, string, null, nested };
    Type type = Type::null;
    bool b = false;
    double n = 0;
    std::string s;
};
struct JsonMember {
    std::string key;
    JsonValue value;
};
// Parses TEXT as one object (trailing whitespace allowed); on failure returns nullopt and sets
// *WHY.
std::optional<std::vector<JsonMember>> parse_object(std::string_view text, std::string* why);

}  // namespace zq::hub::gpsd
