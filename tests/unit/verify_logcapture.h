// Captures what a method writes through the AuthLog callbacks, so tests can
// check log lines and make sure secrets stay out of them.
#pragma once
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "kivmod.h"

namespace kivcap {

inline std::mutex &mutex() {
    static std::mutex m;
    return m;
}
inline std::vector<std::string> &store() {
    static std::vector<std::string> lines;
    return lines;
}

inline std::string vformat(const char *fmt, va_list ap) {
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string s(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(s.data(), s.size() + 1, fmt, ap);
    return s;
}

__attribute__((format(printf, 1, 2))) inline void capture(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string line = vformat(fmt, ap);
    va_end(ap);
    std::lock_guard<std::mutex> lock(mutex());
    store().push_back(std::move(line));
}

inline AuthLog makeLog(int showPasswords) {
    return AuthLog{capture, capture, capture, capture, nullptr, showPasswords};
}

inline void clear() {
    std::lock_guard<std::mutex> lock(mutex());
    store().clear();
}

inline std::vector<std::string> lines() {
    std::lock_guard<std::mutex> lock(mutex());
    return store();
}

// Everything logged so far, one line per entry.
inline std::string text() {
    std::string all;
    for (const std::string &l : lines()) all += l + "\n";
    return all;
}

inline bool hasLine(const std::string &exact) {
    for (const std::string &l : lines())
        if (l == exact) return true;
    return false;
}

inline bool contains(const std::string &needle) { return text().find(needle) != std::string::npos; }

} // namespace kivcap
