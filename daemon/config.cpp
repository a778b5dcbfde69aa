// Configuration file: path derivation, reading, the settings dump.
//
// The file is read once at start-up, before any log file is open, so every
// message of the reader goes to syslog (systemLogMessage).  Reading and
// parsing are kept apart: getConfiguration only loads the bytes; the same
// parser serves parseConfiguration, which tests and fuzzers feed from memory.
#include "config.h"

#include <syslog.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "log.h"

extern "C" {
char kivsdDir[1024];
}

namespace {

constexpr int kInitialEntries = 20;
constexpr int kGrowEntries = 10;
// The reader works like fgets into a 1024-byte buffer: at most 1023
// characters per piece, and every piece counts as a line of its own.
constexpr size_t kMaxPiece = 1023;
constexpr char kConfigFile[] = "/kiv-services-daemon.conf";
constexpr char kOutOfMemory[] = "Out of memory while reading configuration.";

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A copy of text[0..len) without one leading quote, trailing spaces (0x20
// only) and then one trailing quote.  Null when out of memory.
char *cleanCopy(const char *text, size_t len) {
    if (len > 0 && text[0] == '"') {
        ++text;
        --len;
    }
    while (len > 0 && text[len - 1] == ' ') --len;
    if (len > 0 && text[len - 1] == '"') --len;
    char *copy = static_cast<char *>(malloc(len + 1));
    if (copy == nullptr) return nullptr;
    memcpy(copy, text, len);
    copy[len] = '\0';
    return copy;
}

// Owns the list while it is built; everything is released unless handed out,
// so no failure path can leak or leave a half-filled entry behind.
class ListBuilder {
public:
    ListBuilder() = default;
    ListBuilder(const ListBuilder &) = delete;
    ListBuilder &operator=(const ListBuilder &) = delete;
    ~ListBuilder() { freeConfiguration(entries_, count_); }

    // The first array and entry 0.  0, or -100.
    int start() {
        entries_ = static_cast<ConfigEntry *>(malloc(kInitialEntries * sizeof(ConfigEntry)));
        if (entries_ == nullptr) return -100;
        capacity_ = kInitialEntries;
        char *key = strdup("program");
        char *value = strdup("kiv-services-daemon");
        if (key == nullptr || value == nullptr) {
            free(key);
            free(value);
            return -100;
        }
        entries_[0] = {key, value};
        count_ = 1;
        return 0;
    }

    // Splits data into fgets-sized pieces and parses each.  0, -102 or -103.
    int parse(const char *data, size_t size) {
        int lineNo = 0;
        size_t pos = 0;
        while (pos < size) {
            size_t n = size - pos < kMaxPiece ? size - pos : kMaxPiece;
            const void *nl = memchr(data + pos, '\n', n);
            if (nl != nullptr) n = static_cast<const char *>(nl) - (data + pos) + 1;
            ++lineNo;
            // What fgets leaves is a C string: an embedded NUL ends it.
            int rc = addLine(data + pos, strnlen(data + pos, n), lineNo);
            if (rc != 0) return rc;
            pos += n;
        }
        return 0;
    }

    int release(ConfigEntry **out) {
        *out = entries_;
        entries_ = nullptr;
        int count = count_;
        count_ = 0;
        return count;
    }

private:
    int addLine(const char *line, size_t len, int lineNo) {
        if (len == 0) return 0;
        if (line[len - 1] == '\n') --len;
        if (len == 0) return 0;
        size_t start = 0;
        while (start < len && isBlank(line[start])) ++start;
        if (start == len || line[start] == '#') return 0;

        const char *key = line + start;
        const char *end = line + len;
        const char *eq = static_cast<const char *>(memchr(key, '=', end - key));
        if (eq == nullptr) {
            systemLogMessage(LOG_ERR, "Bad configuration entry at line %d\n", lineNo);
            return -102;
        }
        if (count_ == capacity_ && !grow()) {
            systemLogMessage(LOG_ERR, "%s", kOutOfMemory);
            return -103;
        }
        char *k = cleanCopy(key, eq - key);
        char *v = k != nullptr ? cleanCopy(eq + 1, end - (eq + 1)) : nullptr;
        if (v == nullptr) {
            free(k);
            systemLogMessage(LOG_ERR, "%s", kOutOfMemory);
            return -103;
        }
        entries_[count_++] = {k, v};
        return 0;
    }

    bool grow() {
        int capacity = capacity_ + kGrowEntries;
        auto *bigger = static_cast<ConfigEntry *>(malloc(capacity * sizeof(ConfigEntry)));
        if (bigger == nullptr) return false;
        memcpy(bigger, entries_, count_ * sizeof(ConfigEntry));
        free(entries_);
        entries_ = bigger;
        capacity_ = capacity;
        return true;
    }

    ConfigEntry *entries_ = nullptr;
    int count_ = 0;
    int capacity_ = 0;
};

struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};

// Whole file into data.  0, -101 (read error) or -103 (no memory).
int readAll(FILE *f, std::string &data) {
    try {
        char chunk[4096];
        size_t n;
        while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) data.append(chunk, n);
    } catch (const std::bad_alloc &) {
        return -103;
    }
    return ferror(f) ? -101 : 0;
}

} // namespace

extern "C" int getConfigPath(char **argv, char *path) {
    const char *program = argv != nullptr ? argv[0] : nullptr;
    const char *slash = program != nullptr ? strrchr(program, '/') : nullptr;
    size_t dirLen = slash != nullptr ? static_cast<size_t>(slash - program) : 0;
    // The directory must fit kivsdDir and, with the file name, the caller's
    // 1024-byte buffer; a longer one is refused rather than cut.
    if (slash == nullptr || path == nullptr || dirLen >= sizeof kivsdDir ||
        dirLen + sizeof kConfigFile > 1024) {
        errorMessage("Could not find configuration file path.");
        return 16;
    }
    memcpy(kivsdDir, program, dirLen);
    kivsdDir[dirLen] = '\0';
    memcpy(path, program, dirLen);
    memcpy(path + dirLen, kConfigFile, sizeof kConfigFile);
    return 0;
}

extern "C" int parseConfiguration(const char *data, size_t size, ConfigEntry **list) {
    if (list == nullptr || (data == nullptr && size != 0)) return -100;
    ListBuilder builder;
    int rc = builder.start();
    if (rc == 0) rc = builder.parse(data, size);
    if (rc != 0) return rc;
    return builder.release(list);
}

extern "C" int getConfiguration(const char *path, ConfigEntry **list) {
    if (list == nullptr) return -100;
    ListBuilder builder;
    int rc = builder.start();
    if (rc != 0) return rc;

    std::unique_ptr<FILE, FileCloser> file(path != nullptr ? fopen(path, "re") : nullptr);
    std::string data;
    // A file that opens but cannot be read (a directory, an I/O error) is
    // reported like one that cannot be opened, not taken as empty.
    rc = file ? readAll(file.get(), data) : -101;
    if (rc == -101) {
        systemLogMessage(LOG_ERR, "Could not read configuration from %s\n",
                         path != nullptr ? path : "(null)");
        return rc;
    }
    if (rc == -103) {
        systemLogMessage(LOG_ERR, "%s", kOutOfMemory);
        return rc;
    }
    file.reset();

    rc = builder.parse(data.data(), data.size());
    if (rc != 0) return rc;
    return builder.release(list);
}

extern "C" void freeConfiguration(ConfigEntry *list, int count) {
    if (list == nullptr) return;
    for (int i = 0; i < count; ++i) {
        free(list[i].key);
        free(list[i].value);
    }
    free(list);
}

extern "C" void logConfigSettings(ConfigEntry *list, int count, AuthLog *log) {
    if (list == nullptr) return;
    bool mask = log == nullptr || log->showPasswords != 1;
    for (int i = 0; i < count; ++i) {
        const char *key = list[i].key != nullptr ? list[i].key : "";
        const char *value = list[i].value != nullptr ? list[i].value : "";
        if (mask && strcasecmp(key, "ldap_host_pw") == 0) value = "XXXX";
        debugMessage("Config: %s %s", key, value);
    }
}
