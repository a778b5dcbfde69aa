// The LDAP module through the real daemon: "methods=ldap" with enableldap
// loads kivmodldapnss.so, clients authenticate directory users and get their
// groups, wrong passwords fall through to the next method where the strategy
// allows it, and every configuration error of the module stops start-up.
#include <gtest/gtest.h>

#include <algorithm>

#include "../unit/ldap_common.h"
#include "kivclient.h"
#include "sandbox.h"

using namespace ldaptest;

namespace {

// The directory users' settings as configuration lines.
std::string ldapLines(const std::string &server, const std::string &method, const std::string &extra = "")
{
    return "LDAP_HOST=" + server + "\n"
           "LDAP_AUTH_METHOD=" + method + "\n"
           "LDAP_HOST_DN=" + kReaderDN + "\n"
           "LDAP_HOST_PW=" + kReaderPassword + "\n"
           "LDAP_DN_SEARCH_ATTR=uid\n"
           "LDAP_SEARCHBASE=dc=example,dc=com\n"
           "LDAP_USERBASE=ou=people\n"
           "LDAP_SCHEMA=RFC2307\n"
           "LDAP_RFC2307_USERNAME=uid\n"
           "LDAP_RFC2307_UID=uidNumber\n"
           "LDAP_RFC2307_GID=gidNumber\n"
           "LDAP_RFC2307_PASSWD=userPassword\n"
           "LDAP_RFC2307_LASTCHANGE=shadowLastChange\n"
           "LDAP_RFC2307_MAXAGE=shadowMax\n"
           "LDAP_RFC2307_ACCTEXPIRE=shadowExpire\n"
           "LDAP_RFC2307_GROUPS=groups\n"
           "LDAP_RFC2307_GROUP_GID=gidNumber\n"
           "LDAP_RFC2307_GROUP_MEMBER=member\n" + extra;
}

kivtest::DaemonOptions daemonWith(const std::string &methods, const std::string &ldap)
{
    kivtest::DaemonOptions opts;
    opts.modules = {{kivtest::binPath("kivmodldapnss.so"), "kivmodldapnss.so"}};
    opts.config = "daemon=no\n"
                  "debugLog=@DIR@/debug.log\n"
                  "accessLog=@DIR@/access.log\n"
                  "errorLog=@DIR@/error.log\n"
                  "methods=" + methods + "\n"
                  "enableldap=true\n" + ldap;
    return opts;
}

// A local account named like a directory user, with another password.
void localAccounts()
{
    kivtest::writeAccountFiles("root:x:0:0:root:/root:/bin/sh\n"
                               "alice:x:1501:1501::/home/alice:/bin/sh\n",
                               "root:*:19000:0:99999:7:::\n"
                               "alice:" + kivtest::cryptHash("local-pw") + ":19000:0:99999:7:::\n",
                               "root:x:0:\nalice:x:1501:\nlocal:x:1600:alice\n");
}

kiv::Reply ask(const std::string &user, const std::string &password)
{
    const kiv::Result r = kiv::authenticatePassword(user, password);
    EXPECT_TRUE(r.reply.has_value()) << r.error;
    return r.reply.value_or(kiv::Reply{});
}

std::vector<int> sorted(std::vector<int> v)
{
    std::sort(v.begin(), v.end());
    return v;
}

#define START(d) ASSERT_TRUE((d).start()) << (d).lastError() << kivtest::readFile((d).path("error.log"))

} // namespace

TEST(LdapDaemon, EachStrategyAuthenticatesWithUidGidAndGroups)
{
    ASSERT_DIRECTORY();
    localAccounts();
    for (const char *method : {"BIND", "QUERY", "MATCH"}) {
        kivtest::Daemon d(daemonWith("ldap pw", ldapLines(directory()->hostPort(), method)));
        START(d);
        kiv::Reply r = ask("alice", "alice-pw");
        EXPECT_EQ(r.code, AUTH_OK) << method << kivtest::readFile(d.path("debug.log"));
        EXPECT_EQ(r.uid, 2001) << method;
        EXPECT_EQ(r.name, "alice") << method;
        ASSERT_FALSE(r.groups.empty()) << method;
        EXPECT_EQ(r.groups.front(), 3001) << method;
        EXPECT_EQ(sorted(r.groups), (std::vector<int>{3001, 4001})) << method;

        r = ask("bob", "bob-pw");
        EXPECT_EQ(r.code, AUTH_OK) << method;
        EXPECT_EQ(r.uid, 2002);
        EXPECT_EQ(sorted(r.groups), (std::vector<int>{3002, 4003})) << method;

        // A wrong password for the directory: BIND and QUERY go on to pw,
        // which knows alice with another password; MATCH stops.
        r = ask("alice", "local-pw");
        if (std::string(method) == "MATCH") {
            EXPECT_EQ(r.code, AUTH_NOAUTH) << method;
        } else {
            EXPECT_EQ(r.code, AUTH_OK) << method;
            EXPECT_EQ(r.uid, 1501) << method;
            EXPECT_EQ(sorted(r.groups), (std::vector<int>{1501, 1600})) << method;
        }
        EXPECT_EQ(ask("alice", "neither-pw").code, AUTH_NOAUTH) << method;
        // Empty passwords never pass through a bind.
        EXPECT_NE(ask("alice", "").code, AUTH_OK) << method;

        EXPECT_EQ(d.terminate(), 0);
        const std::string debug = kivtest::readFile(d.path("debug.log"));
        EXPECT_NE(debug.find("ldap: buildVersion=v100k1a"), std::string::npos) << method;
        EXPECT_NE(debug.find("Using Mozilla NSS for SSL."), std::string::npos) << method;
        const std::string access = kivtest::readFile(d.path("access.log"));
        EXPECT_NE(access.find("Authenticated user alice (ldap)."), std::string::npos) << access;
        // The service password is never written.
        for (const char *log : {"debug.log", "access.log", "error.log"})
            EXPECT_EQ(kivtest::readFile(d.path(log)).find(kReaderPassword), std::string::npos) << log;
        EXPECT_FALSE(kivtest::hasSanitizerReport(d.stderrText())) << d.stderrText();
    }
}

TEST(LdapDaemon, DomainsAndTls)
{
    ASSERT_DIRECTORY();
    localAccounts();
    const std::string closed = "127.0.0.1:" + std::to_string(kivtest::freeLoopbackPort());
    {
        kivtest::Daemon d(daemonWith("ldap", ldapLines(directory()->hostPort(), "QUERY",
                                                       "LDAP_DOMAIN=" + closed + "\nLDAP_DOMAIN=" +
                                                           directory()->hostPort() + "\n")));
        START(d);
        EXPECT_EQ(ask("alice", "alice-pw").uid, 2001);
        EXPECT_EQ(ask("dup", "dup-pw").code, AUTH_ERROR);
        EXPECT_EQ(d.terminate(), 0);
        EXPECT_NE(kivtest::readFile(d.path("error.log"))
                      .find("DN search for user 'dup' returned more than one entry. Username is not unique."),
                  std::string::npos);
    }
    for (const bool rightCa : {true, false}) {
        kivtest::Daemon d(daemonWith(
            "ldap pw", ldapLines(directory()->sslHostPort(), "BIND",
                              "LDAP_BIND_SECURITY=SSL\nLDAP_SSL_CA_CERTIFICATE_NAME=" +
                                  (rightCa ? directory()->caFile() : directory()->foreignCaFile()) + "\n")));
        START(d);
        const kiv::Reply r = ask("alice", "alice-pw");
        if (rightCa) {
            EXPECT_EQ(r.code, AUTH_OK);
            EXPECT_EQ(sorted(r.groups), (std::vector<int>{3001, 4001}));
        } else {
            // Refused by the directory's certificate check, then by pw.
            EXPECT_EQ(r.code, AUTH_NOAUTH);
        }
        EXPECT_EQ(d.terminate(), 0);
        const std::string debug = kivtest::readFile(d.path("debug.log"));
        const bool refused = debug.find("Could not bind as user via SSL: ") != std::string::npos;
        EXPECT_EQ(refused, !rightCa) << debug;
    }
}

TEST(LdapDaemon, ConfigurationErrorsStopStartUp)
{
    ASSERT_MODULE();
    const std::string server = "127.0.0.1:1";
    const std::string good = ldapLines(server, "MATCH");
    auto without = [&](const std::string &key) {
        std::string out;
        size_t pos = 0;
        while (pos < good.size()) {
            const size_t end = good.find('\n', pos);
            const std::string line = good.substr(pos, end - pos + 1);
            if (line.rfind(key + "=", 0) != 0) out += line;
            pos = end + 1;
        }
        return out;
    };
    std::string domains;
    for (int i = 0; i <= 100; ++i) domains += "LDAP_DOMAIN=host" + std::to_string(i) + "\n";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {without("LDAP_SCHEMA"), "LDAP_SCHEMA not specified."},
        {without("LDAP_HOST"), "Either LDAP_HOST or LDAP_HOST_LIST must be specified for LDAP."},
        {without("LDAP_HOST_DN"), "Required setting LDAP_HOST_DN not found in configuration."},
        {without("LDAP_HOST_PW"), "Required setting LDAP_HOST_PW not found in configuration."},
        {without("LDAP_DN_SEARCH_ATTR") + "LDAP_AUTH_METHOD=QUERY\n",
         "Required setting LDAP_DN_SEARCH_ATTR not found in configuration."},
        {without("LDAP_SEARCHBASE"), "Required setting LDAP_SEARCHBASE not found in configuration."},
        {without("LDAP_RFC2307_GROUP_GID"), "Required setting LDAP_RFC2307_GROUP_GID not found in configuration."},
        {without("LDAP_HOST") + "LDAP_HOST_LIST=a b\nLDAP_BIND_SECURITY=SSL\n",
         "LDAP_HOST must be set to use SSL on Linux."},
        {good + "LDAP_AUTH_METHOD=SASL\n", "Unknown value for LDAP_AUTH_METHOD."},
        {good + "LDAP_BIND_SECURITY=TLS\n", "Unknown value for LDAP_BIND_SECURITY."},
        {good + "LDAP_GROUP_METHOD=ANY\n", "Unknown value for LDAP_GROUP_METHOD."},
        {good + "LDAP_PROTOCOL_VERSION=1\n", "Unknown value for LDAP_VERSION."},
        {good + "LDAP_DOMAIN_FORMAT=X\n", "Unknown value for LDAP_DOMAIN_FORMAT."},
        {good + "LDAP_TIMEOUT=-5\n", "Unknown value for LDAP_TIMEOUT."},
        {good + domains, "Too many LDAP_DOMAINs specified. Max is 100."},
    };
    for (const auto &[lines, message] : cases) {
        kivtest::Daemon d(daemonWith("ldap", lines));
        EXPECT_EQ(d.runToExit(), 18) << message << "\n" << d.lastError();
        const std::string errors = kivtest::readFile(d.path("error.log"));
        EXPECT_NE(errors.find(message), std::string::npos) << message << "\n" << errors;
        EXPECT_FALSE(kivtest::hasSanitizerReport(d.stderrText())) << d.stderrText();
    }
    // The same lines without a mistake start.
    kivtest::Daemon ok(daemonWith("ldap", good));
    START(ok);
    EXPECT_EQ(ok.terminate(), 0);
}

TEST(LdapDaemon, KeptConnectionsFailoverAndARestartedDirectory)
{
    ASSERT_MODULE();
    localAccounts();
    kivtest::SlapdOptions opts;
    opts.ldif = directoryLdif();
    opts.tls = false;
    kivtest::Slapd server(opts);
    ASSERT_TRUE(server.start()) << server.error();
    // The first server never answers; the directory is the backup.
    const std::string down = "127.0.0.1:" + std::to_string(kivtest::freeLoopbackPort());
    kivtest::Daemon d(daemonWith("ldap pw", ldapLines(down, "QUERY",
                                                      "LDAP_HOST_LIST=" + server.hostPort() + "\n"
                                                      "LDAP_CONNECTION_REUSE=yes\n")));
    START(d);
    for (int i = 0; i < 4; ++i) {
        const kiv::Reply r = ask(i % 2 ? "bob" : "alice", i % 2 ? "bob-pw" : "alice-pw");
        EXPECT_EQ(r.code, AUTH_OK) << i << kivtest::readFile(d.path("debug.log"));
    }
    ASSERT_TRUE(server.restart()) << server.error();
    kiv::Reply r = ask("alice", "alice-pw");
    EXPECT_EQ(r.code, AUTH_OK) << kivtest::readFile(d.path("debug.log"));
    EXPECT_EQ(sorted(r.groups), (std::vector<int>{3001, 4001}));
    // A directory user with a wrong password falls through to pw, which
    // knows alice with another one; a kept connection adds nothing.
    r = ask("alice", "local-pw");
    EXPECT_EQ(r.code, AUTH_OK);
    EXPECT_EQ(r.uid, 1501);
    EXPECT_NE(ask("bob", "alice-pw").code, AUTH_OK);
    EXPECT_EQ(d.terminate(), 0);
    EXPECT_FALSE(kivtest::hasSanitizerReport(d.stderrText())) << d.stderrText();
}

TEST(LdapDaemon, LockOutHoldsForEverySpellingTheDirectoryAccepts)
{
    ASSERT_DIRECTORY();
    localAccounts();
    kivtest::Daemon d(daemonWith("ldap", ldapLines(directory()->hostPort(), "MATCH",
                                                   "maxtries=3\nmaxtriesPeriod=60\nmaxtriesWait=300\n")));
    START(d);
    // The directory takes these for alice; so must the lock-out.
    EXPECT_EQ(ask("ALICE", "alice-pw").code, AUTH_OK);
    for (const char *guess : {"alice", "Alice", "alice "}) EXPECT_EQ(ask(guess, "wrong").code, AUTH_NOAUTH);
    for (const char *spelling : {"alice", "ALICE", "aLiCe", " alice", "alice  "})
        EXPECT_EQ(ask(spelling, "alice-pw").code, AUTH_NOAUTH) << "'" << spelling << "'";
    EXPECT_EQ(d.terminate(), 0);
    const std::string access = kivtest::readFile(d.path("access.log"));
    EXPECT_NE(access.find("User aLiCe exceeded maxtries (#/max):6/3"), std::string::npos) << access;
    EXPECT_FALSE(kivtest::hasSanitizerReport(d.stderrText())) << d.stderrText();
}
