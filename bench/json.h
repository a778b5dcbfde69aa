// A small JSON value: enough to write the benchmark's reports and to read
// back the load generator's output and a finished report.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

namespace kivbench {

class Json {
public:
    enum class Type { Null, Bool, Number, String, Array, Object };

    Json() = default;
    Json(std::nullptr_t) {}
    Json(bool b) : type_(Type::Bool), bool_(b) {}
    template <class T>
        requires(std::is_arithmetic_v<T> && !std::is_same_v<T, bool>)
    Json(T v) : type_(Type::Number), number_(static_cast<double>(v)) {}
    Json(const char *s) : type_(Type::String), string_(s ? s : "") {}
    Json(std::string s) : type_(Type::String), string_(std::move(s)) {}

    static Json array() { return Json(Type::Array); }
    static Json object() { return Json(Type::Object); }

    Type type() const { return type_; }
    bool isNumber() const { return type_ == Type::Number; }
    bool isString() const { return type_ == Type::String; }
    bool isObject() const { return type_ == Type::Object; }
    bool isArray() const { return type_ == Type::Array; }
    bool isBool() const { return type_ == Type::Bool; }

    double number() const { return number_; }
    bool boolean() const { return bool_; }
    const std::string &string() const { return string_; }

    // Objects keep their members in insertion order.  operator[] turns a null
    // value into an object and adds the member when it is missing.
    Json &operator[](const std::string &key);
    const Json *find(const std::string &key) const;
    const std::vector<std::string> &keys() const { return keys_; }

    // Arrays (and, by position, object members).
    void push(Json v);
    size_t size() const { return values_.size(); }
    const Json &at(size_t i) const { return values_.at(i); }

    // Pretty-printed with two-space indentation; numbers that are whole print
    // without a fraction, NaN and infinities print as null.
    std::string dump() const;

    // Strict RFC 8259 parse of a whole document; nullopt and *error on failure.
    static std::optional<Json> parse(const std::string &text, std::string *error);

private:
    explicit Json(Type t) : type_(t) {}
    void dumpTo(std::string &out, int depth) const;

    Type type_ = Type::Null;
    bool bool_ = false;
    double number_ = 0;
    std::string string_;
    std::vector<std::string> keys_;   // object member names, parallel to values_
    std::vector<Json> values_;        // array elements or object member values
};

// Dotted-path lookup ("daemon.latency_ms.p99"); null when any step is missing.
const Json *jsonPath(const Json &root, const std::string &path);

} // namespace kivbench
