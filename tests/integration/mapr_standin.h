// A stand-in for maprlogin, and helpers shared by the credential-step tests.
//
// The daemon starts the tool with the fixed argv[0] "kivauth-spawned maprlogin
// child".  A shell script would never see that (the kernel replaces argv[0]
// of a #! script), so the test executable itself plays the tool: the tests
// link <mapr_home>/bin/maprlogin to it, and when it starts under that argv[0]
// a constructor takes over before main().  The stand-in runs in the user's
// home directory (the step changes into it); it writes what it was given to
// ./record and then behaves as ./control says:
//   out=<text>      written to stdout        err=<text>   written to stderr
//   newline=1       a lone "\n" on stdout    long=<n>     n bytes of 'x' on stdout
//   closestdin=1    closes stdin unread      grandchild=1 forks a sleeping helper
//   closeout=1      closes stdout and stderr after writing
//   sleepms=<n>     sleeps before exiting    exit=<n>     exit status (default 0)
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "sandbox.h"

extern char **environ;

namespace maprtest {

inline constexpr const char *kToolArgv0 = "kivauth-spawned maprlogin child";

inline std::vector<std::string> splitNul(const std::string &data) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start < data.size()) {
        size_t end = data.find('\0', start);
        if (end == std::string::npos) end = data.size();
        parts.push_back(data.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

inline std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Non-printable bytes as \n or \xNN, so stdin contents fit on one line.
inline std::string escapeBytes(const std::string &data) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : data) {
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c >= 0x7f) {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

inline void writeAll(int fd, const std::string &data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

// Reads what the step sends: the first piece blocks (bounded), then more is
// collected while it keeps arriving.  The step keeps its end open, so EOF
// never comes while the tool runs.
inline std::string readStdin() {
    std::string data;
    int waitMs = 10000;
    for (;;) {
        pollfd p{0, POLLIN, 0};
        if (poll(&p, 1, waitMs) <= 0) break;
        char buf[65536];
        ssize_t n = read(0, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        data.append(buf, static_cast<size_t>(n));
        waitMs = 300;
    }
    return data;
}

inline void actAsTool() {
    std::map<std::string, std::string> control;
    {
        std::ifstream in("control");
        std::string line;
        while (std::getline(in, line)) {
            size_t eq = line.find('=');
            if (eq != std::string::npos) control[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    std::ostringstream rec;
    for (const std::string &arg : splitNul(slurp("/proc/self/cmdline"))) rec << "arg=" << arg << "\n";
    for (char **e = environ; *e != nullptr; ++e) rec << "env=" << *e << "\n";
    rec << "ruid=" << getuid() << "\neuid=" << geteuid() << "\nrgid=" << getgid()
        << "\negid=" << getegid() << "\n";
    std::vector<gid_t> groups(static_cast<size_t>(std::max(getgroups(0, nullptr), 0)));
    groups.resize(static_cast<size_t>(std::max(getgroups(static_cast<int>(groups.size()), groups.data()), 0)));
    std::sort(groups.begin(), groups.end());
    rec << "groups=";
    for (size_t i = 0; i < groups.size(); ++i) rec << (i ? "," : "") << groups[i];
    rec << "\n";
    char cwd[4096];
    rec << "cwd=" << (getcwd(cwd, sizeof cwd) ? cwd : "?") << "\n";
    mode_t mask = umask(0);
    umask(mask);
    char maskText[8];
    snprintf(maskText, sizeof maskText, "%04o", static_cast<unsigned>(mask));
    rec << "umask=" << maskText << "\n";
    if (DIR *dir = opendir("/proc/self/fd")) {
        int own = dirfd(dir);
        while (dirent *e = readdir(dir)) {
            int fd = atoi(e->d_name);
            if (e->d_name[0] == '.' || fd < 3 || fd == own) continue;
            char target[4096];
            ssize_t n = readlink((std::string("/proc/self/fd/") + e->d_name).c_str(), target,
                                 sizeof target - 1);
            target[n > 0 ? n : 0] = '\0';
            rec << "fd=" << fd << " " << target << "\n";
        }
        closedir(dir);
    }
    if (control["closestdin"] == "1")
        close(0);
    else
        rec << "stdin=" << escapeBytes(readStdin()) << "\n";
    if (control["grandchild"] == "1") {
        pid_t helper = fork();
        if (helper == 0) {
            sleep(600);
            _exit(0);
        }
        rec << "grandchild=" << helper << "\n";
    }
    int fd = open("record", O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd >= 0) {
        writeAll(fd, rec.str());
        close(fd);
    }

    if (!control["out"].empty()) writeAll(1, control["out"]);
    if (!control["err"].empty()) writeAll(2, control["err"]);
    if (control["newline"] == "1") writeAll(1, "\n");
    if (!control["long"].empty()) writeAll(1, std::string(std::stoul(control["long"]), 'x'));
    if (control["closeout"] == "1") {
        close(1);
        close(2);
    }
    if (!control["sleepms"].empty()) usleep(static_cast<useconds_t>(std::stoul(control["sleepms"]) * 1000));
    _exit(control["exit"].empty() ? 0 : std::atoi(control["exit"].c_str()));
}

namespace {
__attribute__((constructor)) void takeOverWhenStartedAsTool() {
    std::vector<std::string> args = splitNul(slurp("/proc/self/cmdline"));
    if (!args.empty() && args[0] == kToolArgv0) actAsTool();
}
} // namespace

// What one stand-in run recorded: key -> values in order.
using Record = std::map<std::string, std::vector<std::string>>;

inline Record parseRecord(const std::string &text) {
    Record rec;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos) rec[line.substr(0, eq)].push_back(line.substr(eq + 1));
    }
    return rec;
}

inline std::string one(const Record &rec, const std::string &key) {
    auto it = rec.find(key);
    return it == rec.end() || it->second.empty() ? "<missing>" : it->second.front();
}

inline std::vector<std::string> all(const Record &rec, const std::string &key) {
    auto it = rec.find(key);
    return it == rec.end() ? std::vector<std::string>{} : it->second;
}

inline std::string selfExe() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

// What <mapr_home>/bin/maprlogin links to: a copy of this executable that
// the user the tool runs as can reach, wherever the build tree lies.
inline std::string toolTarget() { return kivtest::reachableCopy(selfExe()); }

inline size_t countOf(const std::string &text, const std::string &needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

// Lines of a log file that contain needle.
inline std::vector<std::string> linesWith(const std::string &text, const std::string &needle) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (line.find(needle) != std::string::npos) out.push_back(line);
    return out;
}

} // namespace maprtest
