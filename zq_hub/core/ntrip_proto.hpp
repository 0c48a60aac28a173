// NTRIP on the wire, without sockets: the caster URL, the request (v1 and v2), the caster's
// answer read incrementally (ICY 200 OK, HTTP/1.x with or without chunked transfer, the source
// table, 401, anything else) and the source table's records. Everything here is bounded: a
// status line, a header block, a chunk-size line and a source table have fixed maxima, and a
// caster that exceeds them is answered with an error, never with more memory.
//
// Credentials: Url keeps the user and password for the request's Authorization header only.
// Nothing here puts them into a message, an exception or redacted().
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zq::hub::ntrip {

inline constexpr uint16_t kDefaultPort = 2101;

struct Url {
    std::string host;
    uint16_t port = kDefaultPort;
    std::string mount;  // without the leading '/'; empty: the source table
    std::string user;
    std::string password;
    bool has_credentials = false;

    // ntrip://[user:***@]host:port/MOUNT: safe for logs and status.
    std::string redacted() const;
    // host:port as the Host header carries it (IPv6 literals in brackets).
    std::string host_header() const;
};

// Parses ntrip://[user[:password]@]host[:port][/MOUNT] (also http:// and a bare host[:port]/MOUNT);
// user and password may be percent-encoded. Throws std::invalid_argument with a message that
// never contains the password (nor the user).
Url parse_url(std::string_view text);

std::string base64(std::string_view data);

enum class Version : uint8_t { v1 = 1, v2 = 2 };

// The whole request in one buffer, to be sent in one write (casters such as RTKLIB's want the
// request in their first read). GGA, when not empty, is one sentence without its CR LF: the v2
// request carries it in Ntrip-GGA, the v1 request sends it after the header block.
std::string build_request(const Url& url, Version version, std::string_view gga,
                          std::string_view agent);

// What the caster answered.
enum class Answer : uint8_t {
    pending,       // the head is not complete yet
    icy,           // "ICY 200 OK": data follows at once (v1, and some v2 casters)
    http_data,     // HTTP/1.x 200 with data (v2); chunked or not
    sourcetable,   // "SOURCETABLE 200 OK", or HTTP 200 with Content-Type gnss/sourcetable
    unauthorized,  // 401
    refused,       // any other HTTP status, or an answer that is no NTRIP at all
};

const char* to_string(Answer a) noexcept;

// Reads the caster's answer: the status line and headers, then the body with chunked transfer
// decoded. Feed it everything the socket gives; body bytes come out in order.
class ResponseReader {
  public:
    static constexpr std::size_t kMaxStatusLine = 256;
    static constexpr std::size_t kMaxHead = 16 * 1024;
    static constexpr std::size_t kMaxChunkLine = 128;

    // Appends the body bytes that IN completes to BODY. Returns false once the answer cannot
    // be read on (a malformed head or chunk): error() says why; later feeds do nothing.
    bool feed(std::span<const uint8_t> in, std::vector<uint8_t>& body);

    Answer answer() const noexcept { return answer_; }
    bool head_done() const noexcept { return phase_ != Phase::status && phase_ != Phase::headers; }
    // The status line as received, reduced to printable ASCII and at most 80 characters.
    const std::string& status_line() const noexcept { return status_line_; }
    int status_code() const noexcept { return code_; }
    bool chunked() const noexcept { return chunked_; }
    const std::string& content_type() const noexcept { return content_type_; }
    std::optional<std::size_t> content_length() const noexcept { return content_length_; }
    // The body ended as the transfer says (the last chunk, or Content-Length reached).
    bool body_complete() const noexcept { return phase_ == Phase::done; }
    bool failed() const noexcept { return phase_ == Phase::failed; }
    const std::string& error() const noexcept { return error_; }

  private:
    enum class Phase : uint8_t {
        status,
        headers,
        body,
        chunk_size,
        chunk_data,
        chunk_crlf,
        trailer,
        done,
        failed
    };
    bool fail(std::string why);
    bool take_status(std::string_view line);
    bool take_header(std::string_view line);
    bool end_of_head();
    void body_bytes(const uint8_t* p, std::size_t n, std::vector<uint8_t>& body);

    Phase phase_ = Phase::status;
    Answer answer_ = Answer::pending;
    std::string line_;  // the line being read (status, header, chunk size, trailer)
    std::size_t head_bytes_ = 0;
    std::string status_line_;
    int code_ = 0;
    bool http_ = false;
    bool sourcetable_line_ = false;
    bool chunked_ = false;
    std::string content_type_;
    std::optional<std::size_t> content_length_;
    std::size_t body_seen_ = 0;
    std::size_t chunk_left_ = 0;
    std::string error_;
};

// One source-table record: STR, CAS, NET or another type, with its fields in order (quotes
// taken off; a ';' inside quotes is content).
struct Record {
    std::string type;
    std::vector<std::string> fields;  // after the type
};

struct SourceTable {
    std::vector<Record> records;
    bool complete = false;  // ENDSOURCETABLE was seen
};

inline constexpr std::size_t kMaxSourceTable = 4 * 1024 * 1024;

SourceTable parse_sourcetable(std::string_view body);

// The names the STR fields have (after the type), for a host's dictionary.
std::span<const char* const> str_field_names() noexcept;

}  // namespace zq::hub::ntrip
