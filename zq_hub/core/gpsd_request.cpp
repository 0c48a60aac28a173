// Requests as gpsd's clients send them, and their argument objects.
#include "gpsd_request.hpp"

#include <array>
#include <cctype>
#include <cstdlib>

namespace zq::hub::gpsd {
namespace {

// What an error message quotes of a request at most.
constexpr std::size_t kQuoted = 120;

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool known_command(std::string_view name) {
    static constexpr std::array<std::string_view, 5> kNames{"WATCH", "POLL", "DEVICES", "DEVICE",
                                                            "VERSION"};
    for (const auto n : kNames)
        if (n == name) return true;
    return false;
}

std::string quoted(std::string_view s) {
    return std::string(s.substr(0, kQuoted));
}

}  // namespace

std::vector<Request> RequestSplitter::feed(std::string_view bytes, bool end_of_chunk) {
    std::vector<Request> out;
    buf_.append(bytes);
    while (true) {
        std::size_t used = 0;
        auto r = next(end_of_chunk, &used);
        buf_.erase(0, used);
        if (!r) {
            if (used == 0) break;
            continue;
        }
        out.push_back(std::move(*r));
    }
    return out;
}

std::optional<Request> RequestSplitter::next(bool end_of_chunk, std::size_t* consumed) {
    *consumed = 0;
    const std::string_view b(buf_);
    if (skipping_) {
        const auto nl = b.find('\n');
        if (nl == std::string_view::npos) {
            *consumed = b.size();
            return std::nullopt;
        }
        skipping_ = false;
        *consumed = nl + 1;
        return std::nullopt;
    }
    std::size_t start = 0;
    while (start < b.size() && (is_space(b[start]) || b[start] == ';'))
        ++start;
    if (start > 0) {
        *consumed = start;
        return std::nullopt;
    }
    if (b.empty()) return std::nullopt;

    // The request does not fit: answered once, the rest of its line is dropped.
    const auto too_long = [&]() -> std::optional<Request> {
        Request r;
        r.kind = Request::Kind::too_long;
        r.text = quoted(b);
        const auto nl = b.find('\n');
        if (nl != std::string_view::npos) {
            *consumed = nl + 1;
        } else {
            *consumed = b.size();
            skipping_ = true;
        }
        return r;
    };
    // Up to the next ';' or line end: an unrecognised request.
    const auto garbage = [&](std::size_t from) -> std::optional<Request> {
        const auto end = b.find_first_of(";\n", from);
        if (end == std::string_view::npos) {
            if (b.size() > max_) return too_long();
            if (!end_of_chunk) return std::nullopt;
            Request r;
            r.kind = Request::Kind::garbage;
            r.text = quoted(b);
            *consumed = b.size();
            return r;
        }
        if (end + 1 > max_) return too_long();
        Request r;
        r.kind = Request::Kind::garbage;
        r.text = quoted(b.substr(0, end + 1));
        *consumed = end + 1;
        return r;
    };

    if (b[0] != '?') return garbage(0);
    std::size_t p = 1;
    while (p < b.size() && std::isalpha(static_cast<unsigned char>(b[p])))
        ++p;
    Request r;
    r.name = std::string(b.substr(1, p - 1));
    if (p == b.size()) {
        if (end_of_chunk && known_command(r.name)) {
            r.text = quoted(b);
            *consumed = p;
            return r;
        }
        if (b.size() > max_) return too_long();
        return std::nullopt;
    }
    const char c = b[p];
    if (c == ';' || c == '\n' || c == '\r') {
        r.text = quoted(b.substr(0, p + 1));
        *consumed = p + 1;
        return r;
    }
    if (c != '=') return garbage(p);
    if (p + 1 == b.size()) return b.size() > max_ ? too_long() : std::nullopt;
    if (b[p + 1] != '{') return garbage(p);
    // The object's end: braces outside strings balanced.
    int depth = 0;
    bool in_string = false;
    bool escape = false;
    std::size_t end = std::string_view::npos;
    const std::size_t limit = std::min(b.size(), max_ + 1);
    for (std::size_t i = p + 1; i < limit; ++i) {
        const char ch = b[i];
        if (in_string) {
            if (escape) {
                escape = false;
            } else if (ch == '\\') {
                escape = true;
            } else if (ch == '"') {
                in_string = false;
            }
            continue;
        }
        if (ch == '"') {
            in_string = true;
        } else if (ch == '{' || ch == '[') {
            ++depth;
        } else if (ch == '}' || ch == ']') {
            if (--depth == 0) {
                end = i;
                break;
            }
        } else if (ch == '\n' && depth > 0) {
            // A line end inside an open object: that line was the whole request.
            return garbage(p);
        }
    }
    if (end == std::string_view::npos) return b.size() > max_ ? too_long() : std::nullopt;
    r.has_arg = true;
    r.arg = std::string(b.substr(p + 1, end - p));
    std::size_t after = end + 1;
    if (after < b.size() && b[after] == ';') ++after;
    r.text = quoted(b.substr(0, after));
    *consumed = after;
    return r;
}

// ---------------------------------------------------------------------------------------------
// Argument objects

namespace {

class Parser {
  public:
    Parser(std::string_view t, std::string* why) : t_(t), why_(why) {}

    std::optional<std::vector<JsonMember>> object() {
        std::vector<JsonMember> members;
        ws();
        if (!eat('{')) return fail("expected '{'");
        ws();
        if (eat('}')) return finish(std::move(members));
        while (true) {
            ws();
            JsonMember m;
            if (!string(&m.key)) return fail("expected an attribute name");
            ws();
            if (!eat(':')) return fail("expected ':'");
            ws();
            if (!value(&m.value, 0)) return std::nullopt;
            members.push_back(std::move(m));
            ws();
            if (eat(',')) continue;
            if (eat('}')) return finish(std::move(members));
            return fail("expected ',' or '}'");
        }
    }

  private:
    static constexpr int kMaxDepth = 8;

    std::optional<std::vector<JsonMember>> finish(std::vector<JsonMember> m) {
        ws();
        if (i_ != t_.size()) return fail("trailing characters");
        return m;
    }
    std::nullopt_t fail(const char* what) {
        if (why_ && why_->empty()) *why_ = what;
        return std::nullopt;
    }
    bool bad(const char* what) {
        fail(what);
        return false;
    }
    void ws() {
        while (i_ < t_.size() && is_space(t_[i_]))
            ++i_;
    }
    bool eat(char c) {
        if (i_ < t_.size() && t_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }
    bool literal(std::string_view w) {
        if (t_.substr(i_, w.size()) != w) return false;
        i_ += w.size();
        return true;
    }
    bool string(std::string* out) {
        if (!eat('"')) return false;
        while (i_ < t_.size()) {
            const char c = t_[i_++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c != '\\') {
                *out += c;
                continue;
            }
            if (i_ >= t_.size()) return false;
            const char e = t_[i_++];
            switch (e) {
                case '"':
                case '\\':
                case '/':
                    *out += e;
                    break;
                case 'b':
                    *out += '\b';
                    break;
                case 'f':
                    *out += '\f';
                    break;
                case 'n':
                    *out += '\n';
                    break;
                case 'r':
                    *out += '\r';
                    break;
                case 't':
                    *out += '\t';
                    break;
                case 'u': {
                    if (i_ + 4 > t_.size()) return false;
                    unsigned v = 0;
                    for (int k = 0; k < 4; ++k) {
                        const char h = t_[i_++];
                        v <<= 4;
                        if (h >= '0' && h <= '9') {
                            v |= static_cast<unsigned>(h - '0');
                        } else if (h >= 'a' && h <= 'f') {
                            v |= static_cast<unsigned>(h - 'a' + 10);
                        } else if (h >= 'A' && h <= 'F') {
                            v |= static_cast<unsigned>(h - 'A' + 10);
                        } else {
                            return false;
                        }
                    }
                    // Device paths are ASCII; anything else is kept as '?'.
                    *out += v < 0x80 ? static_cast<char>(v) : '?';
                    break;
                }
                default:
                    return false;
            }
        }
        return false;
    }
    bool value(JsonValue* v, int depth) {
        if (i_ >= t_.size()) return bad("value expected");
        const char c = t_[i_];
        if (c == '"') {
            v->type = JsonValue::Type::string;
            if (!string(&v->s)) return bad("bad string");
            return true;
        }
        if (literal("true")) {
            v->type = JsonValue::Type::boolean;
            v->b = true;
            return true;
        }
        if (literal("false")) {
            v->type = JsonValue::Type::boolean;
            return true;
        }
        if (literal("null")) {
            v->type = JsonValue::Type::null;
            return true;
        }
        if (c == '-' || (c >= '0' && c <= '9')) {
            const std::size_t start = i_;
            while (i_ < t_.size() &&
                   (std::isdigit(static_cast<unsigned char>(t_[i_])) || t_[i_] == '-' ||
                    t_[i_] == '+' || t_[i_] == '.' || t_[i_] == 'e' || t_[i_] == 'E'))
                ++i_;
            const std::string num(t_.substr(start, i_ - start));
            char* end = nullptr;
            v->n = std::strtod(num.c_str(), &end);
            if (end != num.c_str() + num.size()) return bad("bad number");
            v->type = JsonValue::Type::number;
            return true;
        }
        if (c == '{' || c == '[') {
            if (depth >= kMaxDepth) return bad("nested too deeply");
            v->type = JsonValue::Type::nested;
            const char close = c == '{' ? '}' : ']';
            ++i_;
            ws();
            if (eat(close)) return true;
            while (true) {
                ws();
                if (c == '{') {
                    std::string k;
                    if (!string(&k)) return bad("expected an attribute name");
                    ws();
                    if (!eat(':')) return bad("expected ':'");
                    ws();
                }
                JsonValue inner;
                if (!value(&inner, depth + 1)) return false;
                ws();
                if (eat(',')) continue;
                if (eat(close)) return true;
                return bad("unbalanced");
            }
        }
        return bad("unexpected character");
    }

    std::string_view t_;
    std::string* why_;
    std::size_t i_ = 0;
};

}  // namespace

std::optional<std::vector<JsonMember>> parse_object(std::string_view text, std::string* why) {
    if (why) why->clear();
    return Parser(text, why).object();
}

}  // namespace zq::hub::gpsd
