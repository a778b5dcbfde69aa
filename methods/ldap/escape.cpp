// Escaping of user-supplied text for search filters, DNs and log lines.
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "ldapmod.h"

namespace {

void appendHex(std::string &out, unsigned char c)
{
    static const char digits[] = "0123456789abcdef";
    out += '\\';
    out += digits[c >> 4];
    out += digits[c & 0x0f];
}

} // namespace

std::string escapeFilterValue(std::string_view value)
{
    std::string out;
    out.reserve(value.size());
    for (const char ch : value) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '*' || c == '(' || c == ')' || c == '\\' || c == '\0')
            appendHex(out, c);
        else
            out += ch;
    }
    return out;
}

std::string escapeDnValue(std::string_view value)
{
    std::string out;
    out.reserve(value.size());
    for (size_t i = 0; i < value.size(); ++i) {
        const auto c = static_cast<unsigned char>(value[i]);
        const bool edgeSpace = c == ' ' && (i == 0 || i + 1 == value.size());
        if (c == '\0') {
            appendHex(out, c);
        } else if (c == ',' || c == '+' || c == '"' || c == '\\' || c == '<' || c == '>' ||
                   c == ';' || c == '=' || edgeSpace || (c == '#' && i == 0)) {
            out += '\\';
            out += value[i];
        } else {
            out += value[i];
        }
    }
    return out;
}

std::string loggable(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7f) {
            static const char digits[] = "0123456789abcdef";
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 0x0f];
        } else {
            out += ch;
        }
    }
    return out;
}

std::string trimmedLikeStrclone(std::string_view text)
{
    if (!text.empty() && text.front() == '"') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    if (!text.empty() && text.back() == '"') text.remove_suffix(1);
    return std::string(text);
}

bool leadingNumber(std::string_view text, int *out)
{
    // strtoll needs a terminated text; directory values need not be.
    const std::string copy(text);
    errno = 0;
    const long long value = std::strtoll(copy.c_str(), nullptr, 10);
    if (errno == ERANGE || value < INT_MIN || value > INT_MAX) return false;
    *out = static_cast<int>(value);
    return true;
}

bool parseId(std::string_view text, int *out)
{
    size_t i = !text.empty() && text.front() == '-' ? 1 : 0;
    if (i == text.size() || text.size() - i > 10) return false;
    long long value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    if (text.front() == '-') value = -value;
    if (value < INT_MIN || value > INT_MAX) return false;
    *out = static_cast<int>(value);
    return true;
}
