// JSON value, writer and strict parser.
#include "json.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace kivbench {

Json &Json::operator[](const std::string &key) {
    if (type_ == Type::Null) type_ = Type::Object;
    for (size_t i = 0; i < keys_.size(); ++i)
        if (keys_[i] == key) return values_[i];
    keys_.push_back(key);
    values_.emplace_back();
    return values_.back();
}

const Json *Json::find(const std::string &key) const {
    if (type_ != Type::Object) return nullptr;
    for (size_t i = 0; i < keys_.size(); ++i)
        if (keys_[i] == key) return &values_[i];
    return nullptr;
}

void Json::push(Json v) {
    if (type_ == Type::Null) type_ = Type::Array;
    values_.push_back(std::move(v));
}

namespace {

void dumpString(std::string &out, const std::string &s) {
    out += '"';
    for (unsigned char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\u%04x", c);
                out += esc;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += '"';
}

void dumpNumber(std::string &out, double v) {
    if (!std::isfinite(v)) {
        out += "null";
        return;
    }
    char buf[40];
    if (v == std::floor(v) && std::fabs(v) < 1e15)
        std::snprintf(buf, sizeof buf, "%.0f", v);
    else
        std::snprintf(buf, sizeof buf, "%.6g", v);
    out += buf;
}

void indent(std::string &out, int depth) { out.append(static_cast<size_t>(depth) * 2, ' '); }

} // namespace

void Json::dumpTo(std::string &out, int depth) const {
    switch (type_) {
    case Type::Null: out += "null"; break;
    case Type::Bool: out += bool_ ? "true" : "false"; break;
    case Type::Number: dumpNumber(out, number_); break;
    case Type::String: dumpString(out, string_); break;
    case Type::Array:
    case Type::Object: {
        const bool obj = type_ == Type::Object;
        out += obj ? '{' : '[';
        if (values_.empty()) {
            out += obj ? '}' : ']';
            break;
        }
        for (size_t i = 0; i < values_.size(); ++i) {
            out += i ? ",\n" : "\n";
            indent(out, depth + 1);
            if (obj) {
                dumpString(out, keys_[i]);
                out += ": ";
            }
            values_[i].dumpTo(out, depth + 1);
        }
        out += '\n';
        indent(out, depth);
        out += obj ? '}' : ']';
        break;
    }
    }
}

std::string Json::dump() const {
    std::string out;
    dumpTo(out, 0);
    out += '\n';
    return out;
}

namespace {

// Nesting beyond this is refused rather than recursed into.
constexpr int kMaxDepth = 128;

class Parser {
public:
    explicit Parser(const std::string &text) : s_(text) {}

    std::optional<Json> document(std::string *error) {
        Json v;
        bool ok = value(v, 0);
        if (ok) {
            skipSpace();
            if (pos_ != s_.size()) ok = fail("trailing characters");
        }
        if (!ok) {
            if (error) *error = error_ + " at offset " + std::to_string(pos_);
            return std::nullopt;
        }
        return v;
    }

private:
    bool fail(const char *why) {
        if (error_.empty()) error_ = why;
        return false;
    }
    void skipSpace() {
        while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r'))
            ++pos_;
    }
    bool literal(const char *word) {
        size_t n = std::char_traits<char>::length(word);
        if (s_.compare(pos_, n, word) != 0) return fail("invalid literal");
        pos_ += n;
        return true;
    }

    bool value(Json &out, int depth) {
        if (depth > kMaxDepth) return fail("nesting too deep");
        skipSpace();
        if (pos_ >= s_.size()) return fail("unexpected end");
        char c = s_[pos_];
        if (c == '{') return object(out, depth);
        if (c == '[') return array(out, depth);
        if (c == '"') {
            std::string str;
            if (!string(str)) return false;
            out = Json(std::move(str));
            return true;
        }
        if (c == 't') return literal("true") && (out = Json(true), true);
        if (c == 'f') return literal("false") && (out = Json(false), true);
        if (c == 'n') return literal("null") && (out = Json(), true);
        return number(out);
    }

    bool object(Json &out, int depth) {
        ++pos_;
        out = Json::object();
        skipSpace();
        if (pos_ < s_.size() && s_[pos_] == '}') {
            ++pos_;
            return true;
        }
        for (;;) {
            skipSpace();
            std::string key;
            if (pos_ >= s_.size() || s_[pos_] != '"') return fail("expected a member name");
            if (!string(key)) return false;
            if (out.find(key)) return fail("duplicate member name");
            skipSpace();
            if (pos_ >= s_.size() || s_[pos_] != ':') return fail("expected ':'");
            ++pos_;
            if (!value(out[key], depth + 1)) return false;
            skipSpace();
            if (pos_ < s_.size() && s_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (pos_ < s_.size() && s_[pos_] == '}') {
                ++pos_;
                return true;
            }
            return fail("expected ',' or '}'");
        }
    }

    bool array(Json &out, int depth) {
        ++pos_;
        out = Json::array();
        skipSpace();
        if (pos_ < s_.size() && s_[pos_] == ']') {
            ++pos_;
            return true;
        }
        for (;;) {
            Json element;
            if (!value(element, depth + 1)) return false;
            out.push(std::move(element));
            skipSpace();
            if (pos_ < s_.size() && s_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (pos_ < s_.size() && s_[pos_] == ']') {
                ++pos_;
                return true;
            }
            return fail("expected ',' or ']'");
        }
    }

    bool hex4(unsigned &cp) {
        if (pos_ + 4 > s_.size()) return fail("short \\u escape");
        cp = 0;
        for (int i = 0; i < 4; ++i) {
            char h = s_[pos_++];
            cp <<= 4;
            if (h >= '0' && h <= '9') cp |= static_cast<unsigned>(h - '0');
            else if (h >= 'a' && h <= 'f') cp |= static_cast<unsigned>(h - 'a' + 10);
            else if (h >= 'A' && h <= 'F') cp |= static_cast<unsigned>(h - 'A' + 10);
            else return fail("bad hex digit in \\u escape");
        }
        return true;
    }

    static void utf8(std::string &out, unsigned cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    bool string(std::string &out) {
        ++pos_;   // opening quote
        for (;;) {
            if (pos_ >= s_.size()) return fail("unterminated string");
            unsigned char c = static_cast<unsigned char>(s_[pos_++]);
            if (c == '"') return true;
            if (c < 0x20) return fail("control character in string");
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (pos_ >= s_.size()) return fail("unterminated escape");
            char e = s_[pos_++];
            switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                unsigned cp;
                if (!hex4(cp)) return false;
                if (cp >= 0xDC00 && cp <= 0xDFFF) return fail("lone low surrogate");
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    unsigned low;
                    if (s_.compare(pos_, 2, "\\u") != 0) return fail("lone high surrogate");
                    pos_ += 2;
                    if (!hex4(low)) return false;
                    if (low < 0xDC00 || low > 0xDFFF) return fail("bad low surrogate");
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                }
                utf8(out, cp);
                break;
            }
            default: return fail("unknown escape");
            }
        }
    }

    bool digits() {
        size_t start = pos_;
        while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
        return pos_ > start;
    }

    bool number(Json &out) {
        size_t start = pos_;
        if (s_[pos_] == '-') ++pos_;
        if (pos_ < s_.size() && s_[pos_] == '0') {
            ++pos_;
        } else if (!digits()) {
            return fail("invalid value");
        }
        if (pos_ < s_.size() && s_[pos_] == '.') {
            ++pos_;
            if (!digits()) return fail("digits expected after '.'");
        }
        if (pos_ < s_.size() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
            ++pos_;
            if (pos_ < s_.size() && (s_[pos_] == '+' || s_[pos_] == '-')) ++pos_;
            if (!digits()) return fail("digits expected in exponent");
        }
        out = Json(std::strtod(s_.substr(start, pos_ - start).c_str(), nullptr));
        return true;
    }

    const std::string &s_;
    size_t pos_ = 0;
    std::string error_;
};

} // namespace

std::optional<Json> Json::parse(const std::string &text, std::string *error) {
    return Parser(text).document(error);
}

const Json *jsonPath(const Json &root, const std::string &path) {
    const Json *at = &root;
    size_t start = 0;
    while (at != nullptr && start <= path.size()) {
        size_t dot = path.find('.', start);
        std::string key = path.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        at = at->find(key);
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    return at;
}

} // namespace kivbench
