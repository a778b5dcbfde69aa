// Helpers for tests that configure the logs and read what was written.
#pragma once
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "kivmod.h"

namespace kivtest {

// An owned configuration list; entry 0 is "program" as the reader makes it.
class ConfigList {
public:
    using Pairs = std::vector<std::pair<std::string, std::string>>;
    // "program" comes first, as the daemon's own list starts.
    explicit ConfigList(const Pairs &pairs) {
        entries_.push_back({strdup("program"), strdup("kiv-services-daemon")});
        for (const auto &[k, v] : pairs) entries_.push_back({strdup(k.c_str()), strdup(v.c_str())});
    }
    ~ConfigList() {
        for (ConfigEntry &e : entries_) {
            free(e.key);
            free(e.value);
        }
    }
    ConfigList(const ConfigList &) = delete;
    ConfigList &operator=(const ConfigList &) = delete;
    // The program name the list carries, as argv[0] would give it.
    void setProgram(const std::string &program) {
        free(entries_[0].value);
        entries_[0].value = strdup(program.c_str());
    }
    ConfigEntry *data() { return entries_.data(); }
    int size() const { return static_cast<int>(entries_.size()); }

private:
    std::vector<ConfigEntry> entries_;
};

inline std::string readText(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline std::vector<std::string> fileLines(const std::string &path) {
    std::vector<std::string> out;
    std::istringstream in(readText(path));
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

// The messages of a log file: each line without its "<time> [<tid>] " prefix.
inline std::vector<std::string> logMessages(const std::string &path) {
    std::vector<std::string> out;
    for (const std::string &l : fileLines(path)) {
        size_t pos = l.find("] ");
        out.push_back(pos == std::string::npos ? l : l.substr(pos + 2));
    }
    return out;
}

// A fresh directory under /tmp, removed with its contents on destruction.
class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/kivtestXXXXXX";
        if (mkdtemp(tmpl) != nullptr) path_ = tmpl;
    }
    ~TempDir() {
        if (path_.empty()) return;
        std::string cmd = "rm -rf '" + path_ + "'";
        [[maybe_unused]] int rc = system(cmd.c_str());
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    bool ok() const { return !path_.empty(); }
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

} // namespace kivtest
