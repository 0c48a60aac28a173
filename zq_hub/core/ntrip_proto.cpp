// NTRIP URL, request, answer and source table.
#include "ntrip_proto.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <stdexcept>

namespace zq::hub::ntrip {
namespace {

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

bool istarts(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && iequals(s.substr(0, prefix.size()), prefix);
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Percent-decoding of the user or password; WHAT names the part in the error (never its text).
std::string percent_decode(std::string_view s, const char* what) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') {
            out.push_back(s[i]);
            continue;
        }
        const int hi = i + 2 < s.size() ? hex_value(s[i + 1]) : -1;
        const int lo = i + 2 < s.size() ? hex_value(s[i + 2]) : -1;
        if (hi < 0 || lo < 0)
            throw std::invalid_argument(std::string("bad percent-encoding in the caster URL's ") +
                                        what);
        out.push_back(static_cast<char>(hi << 4 | lo));
        i += 2;
    }
    return out;
}

bool header_safe(std::string_view s) {
    return std::none_of(s.begin(), s.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x21 || u == 0x7F;
    });
}

std::string printable(std::string_view s, std::size_t max) {
    std::string out;
    for (char c : s) {
        if (out.size() >= max) break;
        const auto u = static_cast<unsigned char>(c);
        out.push_back(u >= 0x20 && u < 0x7F ? c : '?');
    }
    return out;
}

}  // namespace

std::string Url::host_header() const {
    const bool v6 = host.find(':') != std::string::npos;
    std::string h = v6 ? "[" + host + "]" : host;
    return h + ":" + std::to_string(port);
}

std::string Url::redacted() const {
    std::string out = "ntrip://";
    if (has_credentials) out += user.empty() ? "***@" : "***:***@";
    return out + host_header() + "/" + mount;
}

Url parse_url(std::string_view text) {
    std::string_view rest = text;
    if (const auto scheme = rest.find("://"); scheme != std::string_view::npos) {
        const std::string_view name = rest.substr(0, scheme);
        if (!iequals(name, "ntrip") && !iequals(name, "http"))
            throw std::invalid_argument("the caster URL must start with ntrip:// (or http://)");
        rest.remove_prefix(scheme + 3);
    }
    const std::size_t slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    std::string_view path =
        slash == std::string_view::npos ? std::string_view{} : rest.substr(slash + 1);

    Url url;
    if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
        const std::string_view info = authority.substr(0, at);
        authority.remove_prefix(at + 1);
        const auto colon = info.find(':');
        url.user = percent_decode(info.substr(0, colon), "user name");
        if (colon != std::string_view::npos)
            url.password = percent_decode(info.substr(colon + 1), "password");
        if (url.user.find(':') != std::string::npos)
            throw std::invalid_argument("the caster URL's user name may not contain ':'");
        url.has_credentials = true;
    }
    std::string_view host = authority;
    std::string_view port;
    if (!host.empty() && host.front() == '[') {
        const auto close = host.find(']');
        if (close == std::string_view::npos)
            throw std::invalid_argument("the caster URL's host has an unclosed '['");
        port = host.substr(close + 1);
        host = host.substr(1, close - 1);
        if (!port.empty()) {
            if (port.front() != ':')
                throw std::invalid_argument("the caster URL's host is followed by junk");
            port.remove_prefix(1);
        }
    } else if (const auto colon = host.rfind(':'); colon != std::string_view::npos) {
        port = host.substr(colon + 1);
        host = host.substr(0, colon);
    }
    if (host.empty()) throw std::invalid_argument("the caster URL has no host");
    if (!header_safe(host) || host.find_first_of("/?#@[]") != std::string_view::npos)
        throw std::invalid_argument("the caster URL's host has characters a host cannot have");
    url.host = std::string(host);
    if (!port.empty()) {
        unsigned value = 0;
        const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
        if (ec != std::errc{} || end != port.data() + port.size() || value == 0 || value > 65535)
            throw std::invalid_argument("the caster URL's port must be a number 1-65535");
        url.port = static_cast<uint16_t>(value);
    }
    while (!path.empty() && path.back() == '/')
        path.remove_suffix(1);
    if (!header_safe(path) || path.find_first_of("?#") != std::string_view::npos)
        throw std::invalid_argument("the mountpoint has characters a mountpoint cannot have");
    url.mount = std::string(path);
    return url;
}

std::string base64(std::string_view data) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        const uint32_t v = static_cast<uint8_t>(data[i]) << 16 |
                           static_cast<uint8_t>(data[i + 1]) << 8 |
                           static_cast<uint8_t>(data[i + 2]);
        out.push_back(kAlphabet[v >> 18 & 63]);
        out.push_back(kAlphabet[v >> 12 & 63]);
        out.push_back(kAlphabet[v >> 6 & 63]);
        out.push_back(kAlphabet[v & 63]);
    }
    if (const std::size_t left = data.size() - i; left > 0) {
        uint32_t v = static_cast<uint8_t>(data[i]) << 16;
        if (left == 2) v |= static_cast<uint8_t>(data[i + 1]) << 8;
        out.push_back(kAlphabet[v >> 18 & 63]);
        out.push_back(kAlphabet[v >> 12 & 63]);
        out.push_back(left == 2 ? kAlphabet[v >> 6 & 63] : '=');
        out.push_back('=');
    }
    return out;
}

std::string build_request(const Url& url, Version version, std::string_view gga,
                          std::string_view agent) {
    const bool v2 = version == Version::v2;
    std::string r = "GET /" + url.mount + (v2 ? " HTTP/1.1\r\n" : " HTTP/1.0\r\n");
    r += "Host: " + url.host_header() + "\r\n";
    if (v2) r += "Ntrip-Version: Ntrip/2.0\r\n";
    r += "User-Agent: NTRIP ";
    r += agent;
    r += "\r\n";
    if (url.has_credentials)
        r += "Authorization: Basic " + base64(url.user + ":" + url.password) + "\r\n";
    if (v2 && !gga.empty()) {
        r += "Ntrip-GGA: ";
        r += gga;
        r += "\r\n";
    }
    if (!v2) r += "Accept: */*\r\n";
    r += "Connection: close\r\n\r\n";
    if (!v2 && !gga.empty()) {
        r += gga;
        r += "\r\n";
    }
    return r;
}

const char* to_string(Answer a) noexcept {
    switch (a) {
        case Answer::pending:
            return "pending";
        case Answer::icy:
            return "ICY 200 OK";
        case Answer::http_data:
            return "HTTP 200";
        case Answer::sourcetable:
            return "source table";
        case Answer::unauthorized:
            return "unauthorized";
        case Answer::refused:
            break;
    }
    return "refused";
}

// ---------------------------------------------------------------------------------------------
// ResponseReader

bool ResponseReader::fail(std::string why) {
    phase_ = Phase::failed;
    if (answer_ == Answer::pending) answer_ = Answer::refused;
    error_ = std::move(why);
    return false;
}

bool ResponseReader::take_status(std::string_view line) {
    status_line_ = printable(line, 80);
    if (iequals(line, "ICY 200 OK")) {
        answer_ = Answer::icy;
        phase_ = Phase::body;
        return true;
    }
    if (istarts(line, "SOURCETABLE 200")) {
        sourcetable_line_ = true;
        phase_ = Phase::headers;
        return true;
    }
    if (istarts(line, "HTTP/1.") && line.size() >= 12 && line[8] == ' ') {
        int code = 0;
        const auto digits = line.substr(9, 3);
        const auto [end, ec] = std::from_chars(digits.data(), digits.data() + 3, code);
        if (ec != std::errc{} || end != digits.data() + 3)
            return fail("the caster's status line has no status code");
        code_ = code;
        http_ = true;
        phase_ = Phase::headers;
        return true;
    }
    return fail("the caster answered something that is not NTRIP");
}

bool ResponseReader::take_header(std::string_view line) {
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) return true;  // tolerated, as casters vary
    const std::string_view name = trim(line.substr(0, colon));
    const std::string_view value = trim(line.substr(colon + 1));
    if (iequals(name, "Transfer-Encoding")) {
        std::string lower(value);
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (lower.find("chunked") != std::string::npos) chunked_ = true;
    } else if (iequals(name, "Content-Type")) {
        content_type_ = printable(value, 80);
    } else if (iequals(name, "Content-Length")) {
        std::size_t n = 0;
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
        if (ec == std::errc{} && end == value.data() + value.size()) content_length_ = n;
    }
    return true;
}

bool ResponseReader::end_of_head() {
    if (sourcetable_line_) {
        answer_ = Answer::sourcetable;
    } else if (code_ == 200) {
        answer_ =
            istarts(content_type_, "gnss/sourcetable") ? Answer::sourcetable : Answer::http_data;
    } else if (code_ == 401) {
        answer_ = Answer::unauthorized;
    } else {
        answer_ = Answer::refused;
    }
    if (chunked_) {
        phase_ = Phase::chunk_size;
    } else if (content_length_ && *content_length_ == 0) {
        phase_ = Phase::done;
    } else {
        phase_ = Phase::body;
    }
    return true;
}

void ResponseReader::body_bytes(const uint8_t* p, std::size_t n, std::vector<uint8_t>& body) {
    body.insert(body.end(), p, p + n);
}

bool ResponseReader::feed(std::span<const uint8_t> in, std::vector<uint8_t>& body) {
    std::size_t i = 0;
    while (i < in.size()) {
        switch (phase_) {
            case Phase::failed:
            case Phase::done:
                return phase_ != Phase::failed;
            case Phase::status:
            case Phase::headers:
            case Phase::chunk_size:
            case Phase::trailer: {
                const uint8_t c = in[i++];
                const bool head = phase_ == Phase::status || phase_ == Phase::headers;
                if (head && ++head_bytes_ > kMaxHead)
                    return fail("the caster's header is too long");
                if (c != '\n') {
                    line_.push_back(static_cast<char>(c));
                    const std::size_t max = phase_ == Phase::status ? kMaxStatusLine
                                            : head                  ? kMaxHead
                                                                    : kMaxChunkLine;
                    if (line_.size() > max)
                        return fail(phase_ == Phase::status
                                        ? "the caster answered something that is not NTRIP"
                                    : phase_ == Phase::headers
                                        ? "the caster's header is too long"
                                        : "a bad chunk in the caster's data");
                    continue;
                }
                std::string_view line(line_);
                if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
                bool ok = true;
                if (phase_ == Phase::status) {
                    ok = take_status(line);
                } else if (phase_ == Phase::headers) {
                    ok = line.empty() ? end_of_head() : take_header(line);
                } else if (phase_ == Phase::chunk_size) {
                    std::string_view size = line.substr(0, line.find(';'));
                    size = trim(size);
                    std::size_t n = 0;
                    const auto [end, ec] =
                        std::from_chars(size.data(), size.data() + size.size(), n, 16);
                    if (size.empty() || ec != std::errc{} || end != size.data() + size.size() ||
                        n > (1u << 24))
                        return fail("a bad chunk in the caster's data");
                    chunk_left_ = n;
                    phase_ = n == 0 ? Phase::trailer : Phase::chunk_data;
                } else {  // trailer: lines until an empty one
                    if (line.empty()) phase_ = Phase::done;
                }
                line_.clear();
                if (!ok) return false;
                break;
            }
            case Phase::body: {
                std::size_t n = in.size() - i;
                if (content_length_) n = std::min(n, *content_length_ - body_seen_);
                body_bytes(in.data() + i, n, body);
                i += n;
                body_seen_ += n;
                if (content_length_ && body_seen_ >= *content_length_) phase_ = Phase::done;
                break;
            }
            case Phase::chunk_data: {
                const std::size_t n = std::min(in.size() - i, chunk_left_);
                body_bytes(in.data() + i, n, body);
                i += n;
                chunk_left_ -= n;
                if (chunk_left_ == 0) phase_ = Phase::chunk_crlf;
                break;
            }
            case Phase::chunk_crlf: {
                const uint8_t c = in[i++];
                if (c == '\r') break;
                if (c != '\n') return fail("a bad chunk in the caster's data");
                phase_ = Phase::chunk_size;
                break;
            }
        }
    }
    return phase_ != Phase::failed;
}

// ---------------------------------------------------------------------------------------------
// Source table

SourceTable parse_sourcetable(std::string_view body) {
    SourceTable table;
    if (body.size() > kMaxSourceTable) body = body.substr(0, kMaxSourceTable);
    while (!body.empty()) {
        const auto nl = body.find('\n');
        std::string_view line = body.substr(0, nl);
        body = nl == std::string_view::npos ? std::string_view{} : body.substr(nl + 1);
        line = trim(line);
        if (line.empty()) continue;
        if (iequals(line, "ENDSOURCETABLE")) {
            table.complete = true;
            break;
        }
        std::vector<std::string> fields(1);
        bool quoted = false;
        for (char c : line) {
            if (c == '"') {
                quoted = !quoted;
            } else if (c == ';' && !quoted) {
                fields.emplace_back();
            } else {
                fields.back().push_back(c);
            }
        }
        Record r;
        r.type = std::move(fields.front());
        r.fields.assign(std::make_move_iterator(fields.begin() + 1),
                        std::make_move_iterator(fields.end()));
        table.records.push_back(std::move(r));
    }
    return table;
}

std::span<const char* const> str_field_names() noexcept {
    static constexpr std::array<const char*, 17> kNames = {
        "mountpoint", "identifier", "format",    "format_details", "carrier",
        "nav_system", "network",    "country",   "latitude",       "longitude",
        "nmea",       "solution",   "generator", "compression",    "authentication",
        "fee",        "bitrate",
    };
    return kNames;
}

}  // namespace zq::hub::ntrip
