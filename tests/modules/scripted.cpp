// A method module whose answers are scripted by the configuration, so tests
// can drive the daemon's method framework.  Built in several variants (see
// modules.cmake): the symbol prefix and the optional entry points are chosen
// at compile time.
//
// Configuration (key matched case-insensitively): "<prefix>_users" holds
// entries separated by ';', each
//     name:result[:uid[:gid[:unixName[:secret[:delayMs]]]]]
// result is "ok", "noauth", "unknown", "expired", "error" or a number, or
// "@<path>": one of those read from that file at every call.  With
// a secret, any other password (or token text) yields AUTH_NOAUTH.  The
// reason message is "scripted <result>" for failures when the entry's name
// begins with "msg".  "<prefix>_groups" holds "name:g1,g2,...;..." for the
// module's own GetGroups; "<prefix>_continue" is the ContinueOnNoAuth answer.
#include <strings.h>
#include <unistd.h>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "kivmod.h"

#ifndef PREFIX
#error PREFIX must be defined
#endif
#define KIV_CAT2(a, b) a##b
#define KIV_CAT(a, b) KIV_CAT2(a, b)
#define SYM(suffix) KIV_CAT(PREFIX, suffix)
#define KIV_STR2(x) #x
#define KIV_STR(x) KIV_STR2(x)

namespace {

struct Entry {
    int result = AUTH_UNKNOWN_USER;
    std::string resultFile;
    int uid = -1;
    int gid = -1;
    std::string unixName;
    bool hasSecret = false;
    std::string secret;
    int delayMs = 0;
    std::string reason;
};

struct Context {
    std::map<std::string, Entry> users;
    std::map<std::string, std::vector<int>> groups;
    int continueAnswer = 0;
};

[[maybe_unused]] std::vector<std::string> split(const std::string &s, char sep) {
    std::vector<std::string> out;
    std::string cur;
    std::istringstream in(s);
    while (std::getline(in, cur, sep)) out.push_back(cur);
    if (!s.empty() && s.back() == sep) out.push_back("");
    return out;
}

[[maybe_unused]] int parseResult(const std::string &r) {
    if (r == "ok") return AUTH_OK;
    if (r == "noauth") return AUTH_NOAUTH;
    if (r == "unknown") return AUTH_UNKNOWN_USER;
    if (r == "expired") return AUTH_EXPIRED;
    if (r == "error") return AUTH_ERROR;
    return static_cast<int>(strtol(r.c_str(), nullptr, 0));
}

[[maybe_unused]] std::string key(const char *suffix) { return std::string(KIV_STR(PREFIX)) + suffix; }

} // namespace

extern "C" {

#ifdef WITH_BUILD_VERSION
const char *SYM(BuildVersion) = "scripted-test-module-1";
#endif

void *SYM(Init)(ConfigEntry *config, int count, int *status, AuthLog *log, char **message) {
    log->logDebug("testmod %s Init: program=%s", KIV_STR(PREFIX), count > 0 ? config[0].value : "?");
#ifdef INIT_FAILS
    *status = 1;
#ifdef INIT_MESSAGE
    static char reason[] = INIT_MESSAGE;
    *message = reason;
#else
    (void)message;
#endif
    return nullptr;
#else
    (void)message;
    auto *ctx = new (std::nothrow) Context;
    if (ctx == nullptr) {
        *status = 1;
        return nullptr;
    }
    for (int i = 0; i < count; ++i) {
        if (strcasecmp(config[i].key, key("_users").c_str()) == 0) {
            for (const auto &item : split(config[i].value, ';')) {
                auto f = split(item, ':');
                if (f.empty() || f[0].empty()) continue;
                Entry e;
                e.result = f.size() > 1 ? parseResult(f[1]) : AUTH_UNKNOWN_USER;
                if (f.size() > 1 && f[1].rfind("@", 0) == 0) e.resultFile = f[1].substr(1);
                if (f.size() > 2 && !f[2].empty()) e.uid = atoi(f[2].c_str());
                if (f.size() > 3 && !f[3].empty()) e.gid = atoi(f[3].c_str());
                if (f.size() > 4) e.unixName = f[4];
                if (f.size() > 5 && !f[5].empty()) {
                    e.hasSecret = true;
                    e.secret = f[5];
                }
                if (f.size() > 6) e.delayMs = atoi(f[6].c_str());
                if (f[0].rfind("msg", 0) == 0 && f.size() > 1) e.reason = "scripted " + f[1];
                ctx->users[f[0]] = e;
            }
        } else if (strcasecmp(config[i].key, key("_groups").c_str()) == 0) {
            for (const auto &item : split(config[i].value, ';')) {
                auto f = split(item, ':');
                if (f.size() < 2) continue;
                std::vector<int> ids;
                for (const auto &g : split(f[1], ','))
                    if (!g.empty()) ids.push_back(atoi(g.c_str()));
                ctx->groups[f[0]] = ids;
            }
        } else if (strcasecmp(config[i].key, key("_continue").c_str()) == 0) {
            ctx->continueAnswer = atoi(config[i].value);
        }
    }
    *status = 0;
    return ctx;
#endif
}

void SYM(Terminate)(void *context, AuthLog *log) {
    log->logDebug("testmod %s Terminate", KIV_STR(PREFIX));
    delete static_cast<Context *>(context);
}

int SYM(Authenticate)(void *context, const char *user, const char *credential, int *uid, int *gid,
                      char **unixName, AuthLog *log, char **message) {
    auto *ctx = static_cast<Context *>(context);
    auto it = ctx->users.find(user);
    if (it == ctx->users.end()) return AUTH_UNKNOWN_USER;
    const Entry &e = it->second;
    int result = e.result;
    if (!e.resultFile.empty()) {
        std::ifstream in(e.resultFile);
        std::string word;
        in >> word;
        result = parseResult(word);
    }
    if (e.delayMs > 0) usleep(static_cast<useconds_t>(e.delayMs) * 1000);
#ifdef TOKEN_METHOD
    const auto *token = reinterpret_cast<const KivGssBuffer *>(credential);
    std::string secret(static_cast<const char *>(token->value), static_cast<size_t>(token->length));
#else
    std::string secret(credential);
#endif
    log->logDebug("testmod %s Authenticate %s", KIV_STR(PREFIX), user);
    if (e.hasSecret && secret != e.secret) return AUTH_NOAUTH;
    if (!e.reason.empty()) *message = const_cast<char *>(e.reason.c_str());
    if (result == AUTH_OK) {
        *uid = e.uid;
        *gid = e.gid;
        if (!e.unixName.empty()) *unixName = strdup(e.unixName.c_str());
    }
    return result;
}

#ifdef WITH_CONTINUE
int SYM(ContinueOnNoAuth)(void *context, AuthLog *log) {
    (void)log;
    return static_cast<Context *>(context)->continueAnswer;
}
#endif

#if defined(WITH_GETGROUPS) || defined(WITH_LDAP_GETGROUPS)
static int lookupGroups(Context *ctx, const char *user, int gid, int **groups, int *count) {
    auto it = ctx->groups.find(user);
    if (it == ctx->groups.end()) return -1;
    int *list = static_cast<int *>(malloc(sizeof(int) * (it->second.size() + 1)));
    if (list == nullptr) return -1;
    list[0] = gid;
    int n = 1;
    for (int g : it->second) list[n++] = g;
    *groups = list;
    *count = n;
    return 0;
}
#endif

#ifdef WITH_GETGROUPS
int SYM(GetGroups)(void *context, const char *user, int gid, int **groups, int *count, AuthLog *log, int nocase) {
    log->logDebug("testmod %s GetGroups %s nocase=%d", KIV_STR(PREFIX), user, nocase);
    return lookupGroups(static_cast<Context *>(context), user, gid, groups, count);
}
#endif

#ifdef WITH_LDAP_GETGROUPS
int SYM(GetGroups)(void *context, const char *user, const char *password, int gid, int **groups, int *count,
                   AuthLog *log, int nocase, char **message) {
    (void)message;
    // Only the LDAP form carries the password; echo its length so tests can
    // see which form the daemon used.
    log->logDebug("testmod %s GetGroups(ldap form) %s passwordLength=%d nocase=%d", KIV_STR(PREFIX), user,
                  static_cast<int>(strlen(password)), nocase);
    return lookupGroups(static_cast<Context *>(context), user, gid, groups, count);
}
#endif

} // extern "C"
