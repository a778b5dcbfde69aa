// Who may ask: peer credentials, the access settings and per-account
// connection counts.
#include "peer.h"

#include <grp.h>
#include <pwd.h>
#include <strings.h>
#include <sys/socket.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

AccessSettings accessSettings;

namespace {

std::mutex countLock;
std::unordered_map<uid_t, int> openCounts;

thread_local const PeerCredentials *currentPeer = nullptr;
thread_local char peerSuffix[64];

// A whole decimal number within [0, max]; false otherwise.
bool parseNumber(const std::string &text, unsigned long max, unsigned long *out) {
    if (text.empty() || text.size() > 10) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    unsigned long v = strtoul(text.c_str(), nullptr, 10);
    if (v > max) return false;
    *out = v;
    return true;
}

std::string trim(const std::string &s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

// A user name or uid.  Ids are taken as written: an account may be created
// after start-up, but a name must resolve now.
bool resolveUser(const std::string &item, uid_t *out) {
    unsigned long v;
    if (parseNumber(item, 0xfffffffeUL, &v)) {
        *out = static_cast<uid_t>(v);
        return true;
    }
    struct passwd pw, *found = nullptr;
    char buffer[4096];
    if (getpwnam_r(item.c_str(), &pw, buffer, sizeof buffer, &found) != 0 || found == nullptr) return false;
    *out = found->pw_uid;
    return true;
}

bool resolveGroup(const std::string &item, gid_t *out) {
    unsigned long v;
    if (parseNumber(item, 0xfffffffeUL, &v)) {
        *out = static_cast<gid_t>(v);
        return true;
    }
    struct group gr, *found = nullptr;
    std::vector<char> buffer(16384);
    if (getgrnam_r(item.c_str(), &gr, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) return false;
    *out = found->gr_gid;
    return true;
}

// Comma-separated names or ids; every entry of the key adds to the list.
template <class Id, class Resolve>
void readIdList(ConfigEntry *list, int count, const char *key, const char *what, Resolve resolve,
                std::vector<Id> *ids, bool *present, SettingProblems *problems) {
    for (int i = 0; i < count; ++i) {
        if (strcasecmp(list[i].key, key) != 0) continue;
        *present = true;
        std::string value = list[i].value;
        size_t start = 0;
        while (start <= value.size()) {
            size_t comma = value.find(',', start);
            if (comma == std::string::npos) comma = value.size();
            std::string item = trim(value.substr(start, comma - start));
            start = comma + 1;
            if (item.empty()) continue;
            Id id;
            if (resolve(item, &id))
                ids->push_back(id);
            else
                problems->push_back({kExitBadAccessSettings, key, list[i].value,
                                     std::string("Unknown ") + what + " '" + item + "' in " + key + ": " +
                                         list[i].value});
        }
    }
}

void badValue(SettingProblems *problems, const char *key, const char *value, const char *expected) {
    problems->push_back({kExitBadAccessSettings, key, value,
                         std::string("Invalid value for ") + key + ": " + value + " (" + expected + ")"});
}

} // namespace

bool readPeerCredentials(int fd, bool withGroups, PeerCredentials *out) {
    struct ucred cred {};
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred) return false;
    out->uid = cred.uid;
    out->gid = cred.gid;
    out->pid = cred.pid;
    out->groups.clear();
    if (!withGroups) return true;
    std::vector<gid_t> groups(64);
    for (int attempt = 0; attempt < 4; ++attempt) {
        socklen_t size = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
        if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &size) == 0) {
            groups.resize(size / sizeof(gid_t));
            out->groups = std::move(groups);
            return true;
        }
        if (errno != ERANGE) return true;  // primary group only
        groups.resize(size / sizeof(gid_t) + 1);
    }
    return true;
}

void readAccessSettings(ConfigEntry *list, int count, AccessSettings *out, SettingProblems *problems) {
    if (const char *v = firstValue(list, count, "socketMode")) {
        std::string text = trim(v);
        bool ok = !text.empty() && text.size() <= 4;
        for (char c : text) ok = ok && c >= '0' && c <= '7';
        unsigned long mode = ok ? strtoul(text.c_str(), nullptr, 8) : 0;
        if (!ok || mode > 0777)
            badValue(problems, "socketMode", v, "octal permission bits, at most 0777");
        else
            out->socketMode = static_cast<mode_t>(mode);
    }
    if (const char *v = firstValue(list, count, "socketGroup")) {
        gid_t gid;
        if (resolveGroup(trim(v), &gid)) {
            out->socketGroupSet = true;
            out->socketGroup = gid;
        } else {
            badValue(problems, "socketGroup", v, "a group name or gid");
        }
    }
    readIdList<uid_t>(list, count, "allowedUsers", "user", resolveUser, &out->allowedUsers, &out->restricted,
                      problems);
    readIdList<gid_t>(list, count, "allowedGroups", "group", resolveGroup, &out->allowedGroups,
                      &out->restricted, problems);
    if (const char *v = firstValue(list, count, "maxConnectionsPerUser")) {
        unsigned long n;
        if (parseNumber(trim(v), 1000000, &n))
            out->maxConnectionsPerUser = static_cast<int>(n);
        else
            badValue(problems, "maxConnectionsPerUser", v, "0 for no limit, or a number of connections");
    }
    if (const char *v = firstValue(list, count, "accessLogPeer")) {
        if (!strcasecmp(v, "yes") || !strcasecmp(v, "true") || !strcasecmp(v, "on") || !strcmp(v, "1"))
            out->accessLogPeer = true;
        else if (!strcasecmp(v, "no") || !strcasecmp(v, "false") || !strcasecmp(v, "off") || !strcmp(v, "0"))
            out->accessLogPeer = false;
        else
            badValue(problems, "accessLogPeer", v, "yes or no");
    }
}

bool peerAllowed(const AccessSettings &settings, const PeerCredentials &peer) {
    if (peer.uid == 0 || !settings.restricted) return true;
    const auto &users = settings.allowedUsers;
    if (std::find(users.begin(), users.end(), peer.uid) != users.end()) return true;
    for (gid_t g : settings.allowedGroups) {
        if (g == peer.gid) return true;
        if (std::find(peer.groups.begin(), peer.groups.end(), g) != peer.groups.end()) return true;
    }
    return false;
}

bool reserveConnection(uid_t uid, int limit) {
    std::lock_guard<std::mutex> guard(countLock);
    int &n = openCounts[uid];
    if (limit > 0 && uid != 0 && n >= limit) return false;
    ++n;
    return true;
}

void releaseConnection(uid_t uid) {
    std::lock_guard<std::mutex> guard(countLock);
    auto it = openCounts.find(uid);
    if (it == openCounts.end()) return;
    if (--it->second <= 0) openCounts.erase(it);
}

void setCurrentPeer(const PeerCredentials *peer) { currentPeer = peer; }

const char *accessPeerSuffix() {
    if (!accessSettings.accessLogPeer || currentPeer == nullptr) return nullptr;
    snprintf(peerSuffix, sizeof peerSuffix, " peer_uid=%u peer_pid=%d", static_cast<unsigned>(currentPeer->uid),
             static_cast<int>(currentPeer->pid));
    return peerSuffix;
}
