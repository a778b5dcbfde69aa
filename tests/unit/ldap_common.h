// Shared pieces of the LDAP module tests: the module's entry points and
// helpers (linked in from its core library), a log capture behind the AuthLog callbacks, the test
// directory's contents and configuration lists.
#pragma once
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "../../methods/ldap/ldapmod.h"
#include "slapd.h"
#include "verify.h"

namespace ldaptest {

// ---- log capture ----
inline std::mutex &logMutex()
{
    static std::mutex m;
    return m;
}
inline std::vector<std::string> &logStore()
{
    static std::vector<std::string> lines;
    return lines;
}
inline void appendLine(const char *tag, const char *fmt, va_list ap)
{
    char small[512];
    va_list copy;
    va_copy(copy, ap);
    const int n = std::vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    std::string line = tag;
    if (n >= 0 && static_cast<size_t>(n) < sizeof small) {
        line += small;
    } else if (n > 0) {
        std::string big(static_cast<size_t>(n), '\0');
        std::vsnprintf(big.data(), big.size() + 1, fmt, ap);
        line += big;
    }
    std::lock_guard<std::mutex> lock(logMutex());
    logStore().push_back(std::move(line));
}
#define LDAPTEST_LOGGER(name, tag)                                            \
    __attribute__((format(printf, 1, 2))) inline void name(const char *fmt, ...) \
    {                                                                         \
        va_list ap;                                                           \
        va_start(ap, fmt);                                                    \
        appendLine(tag, fmt, ap);                                             \
        va_end(ap);                                                           \
    }
LDAPTEST_LOGGER(logDebugLine, "D ")
LDAPTEST_LOGGER(logAccessLine, "A ")
LDAPTEST_LOGGER(logWarningLine, "W ")
LDAPTEST_LOGGER(logErrorLine, "E ")

inline AuthLog makeLog(int showPasswords = 0)
{
    return AuthLog{logDebugLine, logAccessLine, logWarningLine, logErrorLine, nullptr, showPasswords};
}
inline void clearLog()
{
    std::lock_guard<std::mutex> lock(logMutex());
    logStore().clear();
}
// Every captured line, each prefixed by its level ("D ", "E ", ...).
inline std::string logText()
{
    std::lock_guard<std::mutex> lock(logMutex());
    std::string all;
    for (const std::string &l : logStore()) all += l + "\n";
    return all;
}
inline bool logged(const std::string &line)
{
    std::lock_guard<std::mutex> lock(logMutex());
    for (const std::string &l : logStore())
        if (l.size() > 2 && l.compare(2, std::string::npos, line) == 0) return true;
    return false;
}
inline int loggedCount(const std::string &line)
{
    std::lock_guard<std::mutex> lock(logMutex());
    int n = 0;
    for (const std::string &l : logStore())
        if (l.size() > 2 && l.compare(2, std::string::npos, line) == 0) ++n;
    return n;
}

// ---- the module's functions, as the tests call them ----
struct Module {
    kivInitFn init = nullptr;
    kivTerminateFn terminate = nullptr;
    kivAuthenticateFn authenticate = nullptr;
    kivLdapGetGroupsFn getGroups = nullptr;
    kivContinueOnNoAuthFn continueOnNoAuth = nullptr;
    char *(*strclone)(const char *) = nullptr;
    int (*parseSecurity)(const char *, int *) = nullptr;
    LDAP *(*connectionInit)(LDAPConfig *, const char *, AuthLog *, char **) = nullptr;
    LDAP *(*sslConnectionInit)(LDAPConfig *, const char *, AuthLog *, char **) = nullptr;
    int (*bind)(LDAPConfig *, LDAP *, const char *, const char *, const char *, AuthLog *, char **) =
        nullptr;
    int (*queryEntryDN)(LDAPConfig *, const char *, int *, AuthLog *, char **) = nullptr;
    const char **buildVersion = nullptr;
    const char **expmsg = nullptr;
    char **programName = nullptr;
    // libldap, for inspecting the handles the module returns.
    int (*ldapGetOption)(LDAP *, int, void *) = nullptr;
    void (*ldapMemfree)(void *) = nullptr;
    int (*ldapUnbind)(LDAP *, LDAPControl **, LDAPControl **) = nullptr;
    std::string error;
};

inline Module &module()
{
    static Module m = [] {
        Module mod;
        mod.init = ldapInit;
        mod.terminate = ldapTerminate;
        mod.authenticate = ldapAuthenticate;
        mod.getGroups = ldapGetGroups;
        mod.continueOnNoAuth = ldapContinueOnNoAuth;
        mod.strclone = strclone;
        mod.parseSecurity = parseSecurity;
        mod.connectionInit = ldapConnectionInit;
        mod.sslConnectionInit = ldapSSLConnectionInit;
        mod.bind = ldapBind;
        mod.queryEntryDN = queryEntryDN;
        mod.buildVersion = &ldapBuildVersion;
        mod.expmsg = &EXPMSG;
        mod.programName = &programName;
        mod.ldapGetOption = ldap_get_option;
        mod.ldapMemfree = ldap_memfree;
        mod.ldapUnbind = ldap_unbind_ext_s;
        return mod;
    }();
    return m;
}

#define ASSERT_MODULE() ASSERT_TRUE(ldaptest::module().error.empty()) << ldaptest::module().error

// ---- configuration lists ----
class Config {
public:
    Config() { add("program", "kiv-services-daemon"); }
    Config &add(const std::string &key, const std::string &value)
    {
        kv_.emplace_back(key, value);
        return *this;
    }
    Config &program(const std::string &name)
    {
        kv_[0].second = name;
        return *this;
    }
    // Drops every entry with this key (exact spelling).
    Config &remove(const std::string &key)
    {
        std::erase_if(kv_, [&](const auto &p) { return p.first == key; });
        return *this;
    }
    // The list as the daemon hands it over; valid while this object lives and
    // is not changed.
    ConfigEntry *entries()
    {
        list_.clear();
        for (auto &[k, v] : kv_) list_.push_back({k.data(), v.data()});
        return list_.data();
    }
    int count() const { return static_cast<int>(kv_.size()); }

private:
    std::vector<std::pair<std::string, std::string>> kv_;
    std::vector<ConfigEntry> list_;
};

// An initialised module instance; terminated when it goes away.
struct Instance {
    Config config;   // must outlive the context: borrowed fields point into it
    AuthLog log = makeLog();
    LDAPConfig *context = nullptr;
    int status = 1;
    char *message = nullptr;

    explicit Instance(Config c, int showPasswords = 0) : config(std::move(c)), log(makeLog(showPasswords))
    {
        context = static_cast<LDAPConfig *>(
            module().init(config.entries(), config.count(), &status, &log, &message));
    }
    ~Instance()
    {
        if (context != nullptr) module().terminate(context, &log);
    }
    Instance(const Instance &) = delete;
    Instance &operator=(const Instance &) = delete;

    struct Outcome {
        int rc = 0;
        int uid = -1;
        int gid = -1;
        std::string message;
    };
    Outcome authenticate(const std::string &user, const std::string &password)
    {
        Outcome o;
        char *unixName = reinterpret_cast<char *>(1);
        char *msg = nullptr;
        o.rc = module().authenticate(context, user.c_str(), password.c_str(), &o.uid, &o.gid,
                                     &unixName, &log, &msg);
        EXPECT_EQ(unixName, nullptr);
        if (msg != nullptr) o.message = msg;
        return o;
    }
    struct Groups {
        int rc = 0;
        std::vector<int> gids;
        std::string message;
    };
    Groups groups(const std::string &user, const std::string &password, int gid)
    {
        Groups g;
        int *list = reinterpret_cast<int *>(1);
        int count = -1;
        char *msg = nullptr;
        g.rc = module().getGroups(context, user.c_str(), password.c_str(), gid, &list, &count, &log, 0,
                                  &msg);
        if (list != nullptr && count > 0) g.gids.assign(list, list + count);
        if (g.rc != 0) {
            EXPECT_EQ(list, nullptr);
            EXPECT_EQ(count, 0);
        }
        free(list);
        if (msg != nullptr) g.message = msg;
        return g;
    }
};

// ---- the test directory ----
inline constexpr const char *kSuffix = "dc=example,dc=com";
inline constexpr const char *kReaderDN = "cn=reader,dc=example,dc=com";
inline constexpr const char *kReaderPassword = "reader-secret-7Q";

inline long today() { return static_cast<long>(std::time(nullptr) / 86400); }

inline std::string person(const std::string &dn, const std::string &uid, const std::string &uidNumber,
                          const std::string &gidNumber, const std::string &password,
                          const std::string &shadow = "")
{
    std::string cn = uid;
    return "dn: " + dn + "\n"
           "objectClass: inetOrgPerson\nobjectClass: posixAccount\nobjectClass: shadowAccount\n"
           "cn: " + cn + "\nsn: " + uid + "\nuid: " + uid + "\n"
           "uidNumber: " + uidNumber + "\ngidNumber: " + gidNumber + "\n"
           "homeDirectory: /home/" + uid + "\nuserPassword: " + password + "\n" + shadow + "\n";
}

inline std::string ou(const std::string &dn, const std::string &name)
{
    return "dn: " + dn + "\nobjectClass: organizationalUnit\nou: " + name + "\n\n";
}

inline std::string posixGroup(const std::string &cn, const std::string &gid,
                              const std::vector<std::string> &memberDNs,
                              const std::vector<std::string> &memberUids)
{
    std::string g = "dn: cn=" + cn + ",ou=groups,dc=example,dc=com\n"
                    "objectClass: posixGroup\nobjectClass: extensibleObject\ncn: " + cn + "\n";
    if (!gid.empty()) g += "gidNumber: " + gid + "\n";
    for (const auto &m : memberDNs) g += "member: " + m + "\n";
    for (const auto &m : memberUids) g += "memberUid: " + m + "\n";
    return g + "\n";
}

inline constexpr const char *kAliceDN = "uid=alice,ou=people,dc=example,dc=com";
inline constexpr const char *kSmithDN = "cn=Smith\\, John,ou=people,dc=example,dc=com";

// Users: alice ({SSHA}), bob ({SHA}), jsmith (DN with an escaped comma), the
// ageing cases carol/dan/erin/fred, dave in three domain containers, sam in
// ou=sales, two entries named dup, and root under ou=admins.
inline std::string directoryLdif()
{
    using kivtest::slappasswdHash;
    const std::string t = std::to_string(today());
    std::string l =
        "dn: dc=example,dc=com\nobjectClass: dcObject\nobjectClass: organization\no: Example\ndc: example\n\n"
        "dn: cn=reader,dc=example,dc=com\nobjectClass: person\ncn: reader\nsn: reader\n"
        "userPassword: " + slappasswdHash("{SSHA}", kReaderPassword) + "\n\n";
    l += ou("ou=people,dc=example,dc=com", "people");
    l += ou("ou=admins,ou=people,dc=example,dc=com", "admins");
    l += ou("ou=groups,dc=example,dc=com", "groups");
    l += ou("ou=eng,dc=example,dc=com", "eng");
    l += ou("ou=people,ou=eng,dc=example,dc=com", "people");
    l += ou("ou=eng,ou=people,dc=example,dc=com", "eng");
    l += ou("ou=sales,dc=example,dc=com", "sales");
    l += person(kAliceDN, "alice", "2001", "3001", slappasswdHash("{SSHA}", "alice-pw"));
    l += person("uid=bob,ou=people,dc=example,dc=com", "bob", "2002", "3002",
                slappasswdHash("{SHA}", "bob-pw"));
    l += person("uid=carol,ou=people,dc=example,dc=com", "carol", "2003", "3003",
                slappasswdHash("{SSHA}", "carol-pw"), "shadowLastChange: 0\n");
    l += person("uid=dan,ou=people,dc=example,dc=com", "dan", "2004", "3004",
                slappasswdHash("{SSHA}", "dan-pw"),
                "shadowLastChange: " + std::to_string(today() - 100) + "\nshadowMax: 30\n");
    l += person("uid=erin,ou=people,dc=example,dc=com", "erin", "2005", "3005",
                slappasswdHash("{SSHA}", "erin-pw"), "shadowExpire: " + std::to_string(today() - 1) + "\n");
    l += person("uid=fred,ou=people,dc=example,dc=com", "fred", "2006", "3006",
                slappasswdHash("{SSHA}", "fred-pw"),
                "shadowLastChange: " + std::to_string(today() - 10) + "\nshadowMax: 30\nshadowExpire: " +
                    std::to_string(today() + 30) + "\n");
    // The cn carries a comma, so the DN does too (escaped).
    l += "dn: " + std::string(kSmithDN) + "\n"
         "objectClass: inetOrgPerson\nobjectClass: posixAccount\ncn: Smith, John\nsn: Smith\nuid: jsmith\n"
         "uidNumber: 2007\ngidNumber: 3007\nhomeDirectory: /home/jsmith\n"
         "userPassword: " + slappasswdHash("{SSHA}", "jsmith-pw") + "\n\n";
    l += person("uid=dup,ou=people,dc=example,dc=com", "dup", "2008", "3008", slappasswdHash("{SSHA}", "dup-pw"));
    l += person("uid=dup,ou=eng,dc=example,dc=com", "dup", "2009", "3009", slappasswdHash("{SSHA}", "dup-pw"));
    l += person("uid=root,ou=admins,ou=people,dc=example,dc=com", "root", "0", "0",
                slappasswdHash("{SSHA}", "admin-pw"));
    l += person("uid=dave,ou=eng,dc=example,dc=com", "dave", "2101", "3101", slappasswdHash("{SSHA}", "dave-pw"));
    l += person("uid=dave,ou=people,ou=eng,dc=example,dc=com", "dave", "2102", "3102",
                slappasswdHash("{SSHA}", "dave-pw"));
    l += person("uid=dave,ou=eng,ou=people,dc=example,dc=com", "dave", "2103", "3103",
                slappasswdHash("{SSHA}", "dave-pw"));
    l += person("uid=sam,ou=sales,dc=example,dc=com", "sam", "2201", "3201", slappasswdHash("{SSHA}", "sam-pw"));
    l += person("uid=ann@corp,ou=sales,dc=example,dc=com", "ann@corp", "2202", "3202",
                slappasswdHash("{SSHA}", "ann-pw"));
    l += person("uid=huge,ou=people,dc=example,dc=com", "huge", "4294967296", "3010",
                slappasswdHash("{SSHA}", "huge-pw"));
    // Text attributes that a wrong schema mapping would read as ids.
    l += person("uid=mallory,ou=people,dc=example,dc=com", "mallory", "2301", "3301",
                slappasswdHash("{SSHA}", "mallory-pw"),
                "employeeNumber: 12abc\ndepartmentNumber: 3301x\nemployeeType: abc\n");

    const std::string smith = kSmithDN;
    l += posixGroup("devs", "4001", {kAliceDN, smith}, {"alice", "jsmith"});
    l += posixGroup("ops", "4002", {smith}, {"jsmith"});
    l += posixGroup("devs-again", "4001", {kAliceDN}, {"alice"});
    l += posixGroup("alice-primary", "3001", {kAliceDN}, {"alice"});
    l += posixGroup("sales", "4003", {"uid=bob,ou=people,dc=example,dc=com"}, {"bob"});
    for (const char *g : {"malgood:4301", "malbad:43x"}) {
        const std::string text = g, cn = text.substr(0, text.find(':')), gid = text.substr(text.find(':') + 1);
        l += "dn: cn=" + cn + ",ou=groups,dc=example,dc=com\nobjectClass: groupOfNames\n"
             "objectClass: extensibleObject\ncn: " + cn + "\ndescription: " + gid +
             "\nmember: uid=mallory,ou=people,dc=example,dc=com\n\n";
    }
    l += "dn: cn=nogid,ou=groups,dc=example,dc=com\nobjectClass: groupOfNames\n"
         "objectClass: extensibleObject\ncn: nogid\nmember: " + std::string(kAliceDN) +
         "\nmemberUid: alice\n\n";
    return l;
}

// The configuration of an RFC 2307 directory on `server` ("host:port").
inline Config rfc2307(const std::string &server, const std::string &method)
{
    Config c;
    c.add("LDAP_HOST", server)
        .add("LDAP_AUTH_METHOD", method)
        .add("LDAP_HOST_DN", kReaderDN)
        .add("LDAP_HOST_PW", kReaderPassword)
        .add("LDAP_DN_SEARCH_ATTR", "uid")
        .add("LDAP_SEARCHBASE", kSuffix)
        .add("LDAP_USERBASE", "ou=people")
        .add("LDAP_SCHEMA", "RFC2307")
        .add("LDAP_RFC2307_USERNAME", "uid")
        .add("LDAP_RFC2307_UID", "uidNumber")
        .add("LDAP_RFC2307_GID", "gidNumber")
        .add("LDAP_RFC2307_PASSWD", "userPassword")
        .add("LDAP_RFC2307_LASTCHANGE", "shadowLastChange")
        .add("LDAP_RFC2307_MAXAGE", "shadowMax")
        .add("LDAP_RFC2307_ACCTEXPIRE", "shadowExpire")
        .add("LDAP_RFC2307_GROUPS", "groups")
        .add("LDAP_RFC2307_GROUP_GID", "gidNumber")
        .add("LDAP_RFC2307_GROUP_MEMBER", "member");
    return c;
}

// The one slapd of a test executable, started on first use.  The server also
// answers an unauthenticated bind (a DN without a password) with success, as
// RFC 4513 allows, so tests can show the module never relies on a server
// refusing one.
inline kivtest::Slapd *directory()
{
    static std::unique_ptr<kivtest::Slapd> server;
    static bool tried = false;
    if (!tried) {
        tried = true;
        kivtest::SlapdOptions opts;
        opts.ldif = directoryLdif();
        opts.globalConfig = "allow bind_anon_dn";
        server = std::make_unique<kivtest::Slapd>(opts);
        if (!server->start()) {
            ADD_FAILURE() << "slapd: " << server->error();
        }
    }
    return server.get();
}

#define ASSERT_DIRECTORY()                                                                  \
    ASSERT_MODULE();                                                                        \
    ASSERT_NE(ldaptest::directory(), nullptr);                                              \
    ASSERT_TRUE(ldaptest::directory()->running()) << ldaptest::directory()->error()

} // namespace ldaptest
