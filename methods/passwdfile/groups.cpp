// customGetGroups: the entry's gid, then the groups of /etc/group listing the user.
#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "passwdfile.h"

namespace {

struct FileCloser {
    void operator()(FILE *f) const { std::fclose(f); }
};

// Member list of one /etc/group line ("name:pw:gid:a,b,c"); false if malformed.
bool groupLine(const std::string &line, long *gid, std::string *members) {
    size_t c1 = line.find(':');
    size_t c2 = c1 == std::string::npos ? c1 : line.find(':', c1 + 1);
    size_t c3 = c2 == std::string::npos ? c2 : line.find(':', c2 + 1);
    if (c3 == std::string::npos) return false;
    std::string id = line.substr(c2 + 1, c3 - c2 - 1);
    char *end = nullptr;
    *gid = std::strtol(id.c_str(), &end, 10);
    if (id.empty() || *end != '\0' || *gid < 0 || *gid > 0x7fffffffL) return false;
    *members = line.substr(c3 + 1);
    return true;
}

bool lists(const std::string &members, const char *user, bool nocase) {
    size_t start = 0;
    for (;;) {
        size_t comma = members.find(',', start);
        std::string m = members.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (nocase ? strcasecmp(m.c_str(), user) == 0 : m == user) return true;
        if (comma == std::string::npos) return false;
        start = comma + 1;
    }
}

int groupsOf(const char *user, int gid, int **groups, int *count, AuthLog *log, int nocase) {
    std::vector<int> found{gid};
    // /etc/group itself, not NSS: these accounts live outside the system's
    // user databases, and so must their memberships.
    std::unique_ptr<FILE, FileCloser> f(std::fopen("/etc/group", "re"));
    if (f) {
        char *raw = nullptr;
        size_t cap = 0;
        ssize_t n;
        while ((n = getline(&raw, &cap, f.get())) > 0) {
            std::string line(raw, static_cast<size_t>(n));
            if (line.back() == '\n') line.pop_back();
            long g = 0;
            std::string members;
            if (line.empty() || line[0] == '#' || !groupLine(line, &g, &members)) continue;
            bool known = false;
            for (int x : found) known = known || x == static_cast<int>(g);
            if (!known && lists(members, user, nocase != 0)) found.push_back(static_cast<int>(g));
        }
        std::free(raw);
    } else {
        PF_LOG(log, logDebug, "PASSWDFILE: /etc/group cannot be read; only the primary group is known.");
    }
    *groups = static_cast<int *>(std::malloc(found.size() * sizeof(int)));
    if (!*groups) return -1;
    std::memcpy(*groups, found.data(), found.size() * sizeof(int));
    *count = static_cast<int>(found.size());
    PF_LOG(log, logDebug, "User %s in %d groups.", user, *count);
    return 0;
}

} // namespace

KIV_EXPORT int customGetGroups(void *, const char *user, int gid, int **groups, int *count, AuthLog *log,
                               int nocase) {
    if (!user || !groups || !count) return -1;
    try {
        return groupsOf(user, gid, groups, count, log, nocase);
    } catch (...) {
        return -1;
    }
}
