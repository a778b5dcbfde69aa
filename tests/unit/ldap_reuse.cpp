// Connection reuse and server failover of the LDAP module: a worker keeps its
// connections between requests and survives a directory restart, no identity
// of one request serves another, idle connections close, and the configured
// servers are tried in turn with a back-off for those that were down.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "ldap_common.h"

using namespace ldaptest;

namespace {

// Established TCP connections of this host to `port` on the client side (the
// module's connections to a test server).
int connectionsTo(int port)
{
    int n = 0;
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            const size_t colon = remote.rfind(':');
            if (colon == std::string::npos || state != "01") continue;
            if (std::stoi(remote.substr(colon + 1), nullptr, 16) == port) ++n;
        }
    }
    return n;
}

bool waitFor(const std::function<bool()> &condition, int ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return condition();
}

std::string unusedServer() { return "127.0.0.1:" + std::to_string(kivtest::freeLoopbackPort()); }

} // namespace

TEST(LdapReuseConfig, KeysAreCheckedAtStartUp)
{
    ASSERT_MODULE();
    const std::string server = unusedServer();
    for (const char *bad : {"maybe", ""}) {
        Instance inst(rfc2307(server, "BIND").add("LDAP_CONNECTION_REUSE", bad));
        EXPECT_EQ(inst.context, nullptr) << bad;
        EXPECT_TRUE(logged("Unknown value for LDAP_CONNECTION_REUSE.")) << bad;
    }
    for (const char *bad : {"0", "-5", "10s", "86401"}) {
        Instance inst(rfc2307(server, "BIND").add("LDAP_IDLE_TIMEOUT", bad));
        EXPECT_EQ(inst.context, nullptr) << bad;
        EXPECT_TRUE(logged("Unknown value for LDAP_IDLE_TIMEOUT.")) << bad;
    }
    Instance off(rfc2307(server, "BIND"));
    ASSERT_NE(off.context, nullptr);
    EXPECT_EQ(off.context->connectionReuse, 0);
    EXPECT_EQ(off.context->idleTimeout, 60);
    Instance on(rfc2307(server, "BIND").add("LDAP_CONNECTION_REUSE", "Yes").add("LDAP_IDLE_TIMEOUT", "5"));
    ASSERT_NE(on.context, nullptr);
    EXPECT_EQ(on.context->connectionReuse, 1);
    EXPECT_EQ(on.context->idleTimeout, 5);
}

TEST(LdapReuse, TwoConnectionsServeManyRequestsAndSurviveARestart)
{
    ASSERT_MODULE();
    kivtest::SlapdOptions opts;
    opts.ldif = directoryLdif();
    kivtest::Slapd server(opts);
    ASSERT_TRUE(server.start()) << server.error();

    // QUERY uses both kept connections: the service account's for the DN
    // search, the user connection for the user's bind, entry and groups.
    Instance inst(rfc2307(server.hostPort(), "QUERY").add("LDAP_CONNECTION_REUSE", "yes"));
    ASSERT_EQ(inst.status, 0) << logText();
    for (int round = 0; round < 6; ++round) {
        const auto& [user, password, uid, groups] =
            round % 2 ? std::tuple{"bob", "bob-pw", 2002, std::vector<int>{3002, 4003}}
                      : std::tuple{"alice", "alice-pw", 2001, std::vector<int>{3001, 4001}};
        const auto r = inst.authenticate(user, password);
        ASSERT_EQ(r.rc, AUTH_OK) << round << logText();
        EXPECT_EQ(r.uid, uid);
        EXPECT_EQ(inst.groups(user, password, r.gid).gids, groups) << round;
    }
    EXPECT_EQ(connectionsTo(server.port()), 2);

    // The server goes away and comes back: the kept connections are dead,
    // and the next request retries once on new ones without failing.
    ASSERT_TRUE(server.restart()) << server.error();
    const auto r = inst.authenticate("alice", "alice-pw");
    EXPECT_EQ(r.rc, AUTH_OK) << logText();
    EXPECT_EQ(inst.groups("alice", "alice-pw", r.gid).gids, (std::vector<int>{3001, 4001}));
    EXPECT_EQ(inst.authenticate("bob", "wrong").rc, AUTH_NOAUTH);
    EXPECT_EQ(inst.authenticate("bob", "bob-pw").rc, AUTH_OK);

    // Down for good: requests fail, they do not hang or succeed.
    server.stop();
    EXPECT_EQ(inst.authenticate("alice", "alice-pw").rc, AUTH_ERROR);
    EXPECT_EQ(inst.groups("alice", "alice-pw", 3001).rc, -1);
}

TEST(LdapReuse, NoRequestUsesAnIdentityAnEarlierRequestBound)
{
    ASSERT_DIRECTORY();
    // BIND with the group search as the user: everything runs on the user
    // connection, which every request rebinds.
    Instance inst(rfc2307(directory()->hostPort(), "BIND").add("LDAP_CONNECTION_REUSE", "yes"));
    ASSERT_EQ(inst.status, 0) << logText();
    const std::vector<int> aliceGroups{3001, 4001};

    auto r = inst.authenticate("alice", "alice-pw");
    ASSERT_EQ(r.rc, AUTH_OK) << logText();
    EXPECT_EQ(inst.groups("alice", "alice-pw", r.gid).gids, aliceGroups);

    // A failed bind, then group lookups that would succeed if the connection
    // still carried alice's identity.
    EXPECT_EQ(inst.authenticate("alice", "wrong").rc, AUTH_NOAUTH);
    EXPECT_EQ(inst.groups("alice", "wrong", 3001).rc, -1);
    EXPECT_EQ(inst.authenticate("bob", "wrong").rc, AUTH_NOAUTH);
    EXPECT_EQ(inst.groups("bob", "wrong", 3002).rc, -1);

    // The group lookup only relies on the bind of the authentication just
    // before it, for the same name and password.
    r = inst.authenticate("alice", "alice-pw");
    ASSERT_EQ(r.rc, AUTH_OK);
    EXPECT_EQ(inst.groups("alice", "not-alices", r.gid).rc, -1);
    r = inst.authenticate("alice", "alice-pw");
    ASSERT_EQ(r.rc, AUTH_OK);
    EXPECT_EQ(inst.groups("bob", "alice-pw", 3002).rc, -1);
    EXPECT_EQ(inst.groups("alice", "alice-pw", r.gid).rc, 0);   // binds again: the password is right

    // A wrong password after a good one never reads the entry as the earlier
    // user either: the unknown-user answer would show a search was made.
    r = inst.authenticate("bob", "bob-pw");
    ASSERT_EQ(r.rc, AUTH_OK);
    clearLog();
    EXPECT_EQ(inst.authenticate("alice", "wrong").rc, AUTH_NOAUTH);
    EXPECT_FALSE(logged("LDAP: filter is '(uid=alice)'")) << logText();
}

TEST(LdapReuse, IdleConnectionsAreClosed)
{
    ASSERT_MODULE();
    kivtest::SlapdOptions opts;
    opts.ldif = directoryLdif();
    opts.tls = false;
    kivtest::Slapd server(opts);
    ASSERT_TRUE(server.start()) << server.error();
    Instance inst(rfc2307(server.hostPort(), "MATCH")
                      .add("LDAP_CONNECTION_REUSE", "yes")
                      .add("LDAP_IDLE_TIMEOUT", "1"));
    ASSERT_EQ(inst.status, 0) << logText();
    auto r = inst.authenticate("alice", "alice-pw");
    ASSERT_EQ(r.rc, AUTH_OK) << logText();
    ASSERT_EQ(inst.groups("alice", "alice-pw", r.gid).rc, 0);
    EXPECT_EQ(connectionsTo(server.port()), 2);
    EXPECT_TRUE(waitFor([&] { return connectionsTo(server.port()) == 0; }, 4000));
    // And the next request simply opens new ones.
    EXPECT_EQ(inst.authenticate("alice", "alice-pw").rc, AUTH_OK);
}

TEST(LdapFailover, FirstServerDownThenBackOff)
{
    ASSERT_DIRECTORY();
    const std::string down = unusedServer();
    for (const char *reuse : {"no", "yes"}) {
        Instance inst(rfc2307(down, "MATCH")
                          .add("LDAP_HOST_LIST", directory()->hostPort())
                          .add("LDAP_CONNECTION_REUSE", reuse));
        ASSERT_EQ(inst.status, 0) << logText();
        clearLog();
        auto r = inst.authenticate("alice", "alice-pw");
        EXPECT_EQ(r.rc, AUTH_OK) << reuse << logText();
        EXPECT_TRUE(logged("LDAP: Connecting to " + down)) << reuse;
        EXPECT_EQ(inst.groups("alice", "alice-pw", r.gid).gids, (std::vector<int>{3001, 4001}));

        // Within the back-off the server that was down is not tried.
        clearLog();
        EXPECT_EQ(inst.authenticate("bob", "bob-pw").rc, AUTH_OK) << reuse;
        EXPECT_EQ(inst.groups("bob", "bob-pw", 3002).gids, (std::vector<int>{3002, 4003}));
        EXPECT_FALSE(logged("LDAP: Connecting to " + down)) << reuse << logText();
    }
}

TEST(LdapFailover, ListEntriesInOrderAndAllTriedWhenAllAreDown)
{
    ASSERT_DIRECTORY();
    const std::string first = unusedServer(), second = unusedServer();
    // Commas and blanks separate entries; LDAP_HOST is not needed.
    Instance inst(rfc2307(first, "BIND")
                      .remove("LDAP_HOST")
                      .add("LDAP_HOST_LIST", first + ", " + second + "  " + directory()->hostPort()));
    ASSERT_EQ(inst.status, 0) << logText();
    clearLog();
    EXPECT_EQ(inst.authenticate("alice", "alice-pw").rc, AUTH_OK) << logText();
    const std::string log = logText();
    const size_t a = log.find("Connecting to " + first), b = log.find("Connecting to " + second),
                 c = log.find("Connecting to " + directory()->hostPort());
    ASSERT_NE(a, std::string::npos);
    ASSERT_NE(b, std::string::npos);
    ASSERT_NE(c, std::string::npos);
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);

    // Every server down, each already in back-off: all are tried again.
    Instance none(rfc2307(first, "BIND").add("LDAP_HOST_LIST", second));
    ASSERT_EQ(none.status, 0);
    EXPECT_EQ(none.authenticate("alice", "alice-pw").rc, AUTH_REQUEST_FAILED);
    clearLog();
    EXPECT_EQ(none.authenticate("alice", "alice-pw").rc, AUTH_REQUEST_FAILED);
    EXPECT_TRUE(logged("LDAP: Connecting to " + first)) << logText();
    EXPECT_TRUE(logged("LDAP: Connecting to " + second)) << logText();
}

TEST(LdapFailover, LdapsListUsesTheSslPort)
{
    ASSERT_DIRECTORY();
    const std::string down = "127.0.0.1:" + std::to_string(kivtest::freeLoopbackPort());
    Instance inst(rfc2307(down, "MATCH")
                      .add("LDAP_HOST_LIST", "127.0.0.1")
                      .add("LDAP_SSL_HOST_PORT", std::to_string(directory()->sslPort()))
                      .add("LDAP_BIND_SECURITY", "SSL")
                      .add("LDAP_SSL_CA_CERTIFICATE_NAME", directory()->caFile())
                      .add("LDAP_CONNECTION_REUSE", "yes"));
    ASSERT_EQ(inst.status, 0) << logText();
    EXPECT_EQ(inst.authenticate("alice", "alice-pw").rc, AUTH_OK) << logText();
    EXPECT_EQ(inst.authenticate("bob", "bob-pw").rc, AUTH_OK) << logText();
}
