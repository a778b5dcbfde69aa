// Token requests through the daemon with the real GSS module, against a
// private KDC: real tokens, every refusal, the module's start-up failures and
// the credential step after a token request.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "gss_realm.h"
#include "kivclient.hpp"
#include "mapr_standin.h"

namespace {

using gsstest::accounts;
using gsstest::daemonOptions;
using gsstest::realm;
using gsstest::serviceKeys;
using gsstest::token;
using kivtest::Daemon;

// Five seconds of allowed clock difference keep the expired-ticket case short.
auto *const realmEnvironment = ::testing::AddGlobalTestEnvironment(new gsstest::RealmEnvironment(5));

bool has(const std::string &text, const std::string &needle) { return text.find(needle) != std::string::npos; }

int code(const kiv::Result &r) { return r.reply ? r.reply->code : -1; }

class GssDaemon : public ::testing::Test {
protected:
    void SetUp() override { accounts(); }
    std::string log(const Daemon &d, const char *name) { return kivtest::readFile(d.path(name)); }
};

TEST_F(GssDaemon, GoodTokenGivesTheMappedUsersUidAndGroups) {
    Daemon d(daemonOptions(serviceKeys()));
    ASSERT_TRUE(d.start()) << d.lastError();

    kiv::Result r = kiv::authenticateToken("alice", token("alice"));
    ASSERT_TRUE(r.ok()) << r.error << " code " << code(r) << "\n" << log(d, "debug.log");
    EXPECT_EQ(r.reply->uid, 1001);
    EXPECT_EQ(r.reply->name, "alice");
    ASSERT_FALSE(r.reply->groups.empty());
    EXPECT_EQ(r.reply->groups.front(), 1001);
    std::vector<int> rest(r.reply->groups.begin() + 1, r.reply->groups.end());
    std::sort(rest.begin(), rest.end());
    EXPECT_EQ(rest, (std::vector<int>{50, 60}));
    EXPECT_TRUE(has(log(d, "access.log"), "Authenticated user alice (gss)."));

    // The request may name the full principal; the reply keeps that name.
    r = kiv::authenticateToken("alice@KIVTEST.LOCAL", token("alice"));
    ASSERT_TRUE(r.ok()) << code(r);
    EXPECT_EQ(r.reply->uid, 1001);
    EXPECT_EQ(r.reply->name, "alice@KIVTEST.LOCAL");
    EXPECT_TRUE(has(log(d, "debug.log"), "Getting user's group memberships using UNIX username 'alice'"));

    // SPNEGO with an optimistic Kerberos token completes in one round.
    r = kiv::authenticateToken("alice", token("alice", {"--spnego"}));
    EXPECT_TRUE(r.ok()) << code(r);

    // The command-line client sends a token file as it is.
    std::string file = kivtest::makeTempDir("gss-cli") + "/bob.token";
    kivtest::writeFile(file, token("bob"), 0600);
    std::string out;
    EXPECT_EQ(kivtest::runProgram({kivtest::binPath("kiv-services-client"), "--token-file", file, "bob"}, 20000, &out),
              0)
        << out;
    EXPECT_TRUE(has(out, "1002")) << out;
    EXPECT_FALSE(kivtest::hasSanitizerReport(d.stderrText())) << d.stderrText();
}

TEST_F(GssDaemon, RefusedTokens) {
    Daemon d(daemonOptions(serviceKeys()));
    ASSERT_TRUE(d.start()) << d.lastError();

    // alice's token sent under bob's name must not make bob a "yes".
    kiv::Result r = kiv::authenticateToken("bob", token("alice"));
    EXPECT_EQ(code(r), AUTH_NOAUTH) << r.error;
    EXPECT_TRUE(has(log(d, "access.log"), "User bob did not authenticate. Reason: 'The GSS token belongs to another user.' (gss)"));

    // The same token twice: the replay cache refuses the second.
    std::string once = token("alice");
    EXPECT_TRUE(kiv::authenticateToken("alice", once).ok());
    r = kiv::authenticateToken("alice", once);
    EXPECT_EQ(code(r), AUTH_NOAUTH);
    EXPECT_TRUE(has(log(d, "access.log"), "replay")) << log(d, "access.log");

    // Bytes that are no token at all.
    EXPECT_EQ(code(kiv::authenticateToken("alice", std::string("\x60\x05garbage-bytes\x00\xff", 17))), AUTH_NOAUTH);
    EXPECT_EQ(code(kiv::authenticateToken("alice", std::string(700, 'A'))), AUTH_NOAUTH);

    // A principal of the realm without a local account.
    r = kiv::authenticateToken("carol", token("carol"));
    EXPECT_EQ(code(r), AUTH_UNKNOWN_USER);
    EXPECT_TRUE(has(log(d, "access.log"), "Principal carol@KIVTEST.LOCAL has no local account."));

    // A ticket for another service than the acceptor.
    EXPECT_EQ(code(kiv::authenticateToken("alice", token("alice", {}, "HTTP@server.kivtest.local"))), AUTH_NOAUTH);

    // A SPNEGO offer without an optimistic Kerberos token needs a second
    // round, which the protocol cannot carry.
    const unsigned char offer[] = {0x60, 0x1b, 0x06, 0x06, 0x2b, 0x06, 0x01, 0x05, 0x05, 0x02,
                                   0xa0, 0x11, 0x30, 0x0f, 0xa0, 0x0d, 0x30, 0x0b, 0x06, 0x09,
                                   0x2a, 0x86, 0x48, 0x86, 0xf7, 0x12, 0x01, 0x02, 0x02};
    r = kiv::authenticateToken("alice", std::string(reinterpret_cast<const char *>(offer), sizeof offer));
    EXPECT_EQ(code(r), AUTH_NOAUTH);
    EXPECT_TRUE(has(log(d, "access.log"), "GSS negotiation needs another round")) << log(d, "access.log");
    EXPECT_FALSE(kivtest::hasSanitizerReport(d.stderrText())) << d.stderrText();
}

TEST_F(GssDaemon, TokensAreNeverCached) {
    Daemon d(daemonOptions(serviceKeys() + "authCacheSeconds=300\n"));
    ASSERT_TRUE(d.start()) << d.lastError();
    std::string once = token("alice");
    EXPECT_TRUE(kiv::authenticateToken("alice", once).ok());
    // A replay stays a replay with the cache on, and fresh tokens all go to
    // the GSS method.
    EXPECT_EQ(code(kiv::authenticateToken("alice", once)), AUTH_NOAUTH);
    EXPECT_TRUE(kiv::authenticateToken("alice", token("alice")).ok());
    EXPECT_EQ(d.terminate(), 0);
    const std::string access = log(d, "access.log");
    EXPECT_FALSE(has(access, "cached")) << access;
    EXPECT_TRUE(has(access, "replay")) << access;
}

TEST_F(GssDaemon, ExpiredTicketIsRefused) {
    Daemon d(daemonOptions(serviceKeys()));
    ASSERT_TRUE(d.start()) << d.lastError();
    std::string cc = realm().ccache("short-alice");
    ASSERT_TRUE(realm().kdc->kinit("alice", cc, "1s")) << realm().kdc->error();
    std::string tokenOut = kivtest::makeTempDir("gss-expired") + "/t";
    std::string out;
    // A first token puts the service ticket into the cache while it is valid.
    std::vector<std::string> argv{kivtest::binPath("kivtest-gss-token"), "--ccache", cc, "--target",
                                  gsstest::kService, "--out", tokenOut};
    ASSERT_EQ(kivtest::runProgramEnv(argv, realm().kdc->environment(), 20000, &out), 0) << out;
    // Past the end time and the allowed clock difference.
    std::this_thread::sleep_for(std::chrono::seconds(8));
    argv.push_back("--stretch-endtime");
    ASSERT_EQ(kivtest::runProgramEnv(argv, realm().kdc->environment(), 20000, &out), 0) << out;
    kiv::Result r = kiv::authenticateToken("alice", kivtest::readFile(tokenOut));
    EXPECT_EQ(code(r), AUTH_NOAUTH);
    EXPECT_TRUE(has(log(d, "access.log"), "Ticket expired")) << log(d, "access.log");
}

TEST_F(GssDaemon, UnusableKeytabLeavesTheDaemonWithoutGss) {
    const std::string good = token("alice");
    struct Case {
        std::string keys, why, reason;
    } cases[] = {
        // The keytab holds HTTP/server only, not the acceptor's key.
        {"GSS_KEYTAB=" + realm().otherKeytab + "\nGSS_ACCEPTOR=" + gsstest::kService + "\n", "other keytab", "No key table entry found matching host/server"},
        {"GSS_KEYTAB=" + realm().kdc->dir() + "/missing.keytab\n", "missing keytab", "missing.keytab cannot be read."},
        {"GSS_KEYTAB=" + realm().kdc->dir() + "/open.keytab\n", "keytab readable by everyone", "nor readable by everyone"},
        {"GSS_KEYTAB=" + realm().kdc->dir() + "/shared/service.keytab\n", "directory writable by others", "shared may be changed by others."},
        {"GSS_KEYTAB=" + realm().kdc->dir() + "/planted.keytab\n", "link planted by another user", "is a link that root does not own."},
    };
    const std::string dir = realm().kdc->dir(), key = kivtest::readFile(realm().serviceKeytab);
    kivtest::writeFile(dir + "/open.keytab", key, 0644);
    ASSERT_EQ(mkdir((dir + "/shared").c_str(), 0777), 0);
    ASSERT_EQ(chmod((dir + "/shared").c_str(), 0777), 0);
    kivtest::writeFile(dir + "/shared/service.keytab", key, 0600);
    ASSERT_EQ(symlink(realm().serviceKeytab.c_str(), (dir + "/planted.keytab").c_str()), 0);
    ASSERT_EQ(lchown((dir + "/planted.keytab").c_str(), 1001, 1001), 0);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.why);
        Daemon d(daemonOptions(c.keys));
        ASSERT_TRUE(d.start()) << d.lastError();
        kiv::Result r = kiv::authenticateToken("alice", good);
        EXPECT_EQ(code(r), AUTH_ERROR);
        std::string debug = log(d, "debug.log");
        EXPECT_TRUE(has(debug, "GSS could not be loaded.")) << debug;
        EXPECT_TRUE(has(debug, "gssInit: ")) << debug;
        EXPECT_TRUE(has(debug, c.reason)) << debug;
        EXPECT_TRUE(has(log(d, "error.log"), "GSS is not available to process authenticate request."));
        // Password requests are served as before.
        EXPECT_EQ(code(kiv::authenticatePassword("nobody-here", "x")), AUTH_UNKNOWN_USER);
    }
}

TEST_F(GssDaemon, DefaultsAcceptAnyKeyOfTheLibrarysDefaultKeytab) {
    // The generated krb5.conf names <realm dir>/krb5.keytab as the default.
    kivtest::writeFile(realm().kdc->dir() + "/krb5.keytab", kivtest::readFile(realm().serviceKeytab), 0600);
    Daemon d(daemonOptions(""));
    ASSERT_TRUE(d.start()) << d.lastError();
    kiv::Result r = kiv::authenticateToken("bob", token("bob"));
    ASSERT_TRUE(r.ok()) << code(r) << "\n" << log(d, "debug.log");
    EXPECT_EQ(r.reply->uid, 1002);
    EXPECT_TRUE(has(log(d, "debug.log"), "gssInit: accepting any key with keytab FILE:" + realm().kdc->dir() + "/krb5.keytab"));
}

TEST_F(GssDaemon, DisableGssRefusesGoodTokens) {
    Daemon d(daemonOptions(serviceKeys() + "disableGSS=yes\n"));
    ASSERT_TRUE(d.start()) << d.lastError();
    EXPECT_EQ(code(kiv::authenticateToken("alice", token("alice"))), AUTH_ERROR);
    EXPECT_TRUE(has(log(d, "debug.log"), "GSSAPI disabled in kiv-services-daemon per user configuration."));
    EXPECT_FALSE(has(log(d, "debug.log"), "Loading method gss"));
}

TEST_F(GssDaemon, CredentialStepAfterATokenUsesTheDaemonsCcache) {
    std::string root = kivtest::makeTempDir("gss-mapr");
    ASSERT_EQ(chmod(root.c_str(), 0755), 0);
    std::string home = root + "/alice";
    ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
    ASSERT_EQ(chown(home.c_str(), 1001, 1001), 0);
    accounts(home);
    ASSERT_EQ(mkdir((root + "/mapr").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root + "/mapr/bin").c_str(), 0755), 0);
    ASSERT_EQ(symlink(maprtest::selfExe().c_str(), (root + "/mapr/bin/maprlogin").c_str()), 0);
    kivtest::writeFile(home + "/control", "exit=0\n", 0644);

    kivtest::DaemonOptions opts =
        daemonOptions(serviceKeys() + "mapr_generate_credentials=yes\nmapr_home=" + root + "/mapr\n");
    opts.env["KRB5CCNAME"] = "FILE:/tmp/krb5cc_daemon";
    Daemon d(opts);
    ASSERT_TRUE(d.start()) << d.lastError();
    kiv::Result r = kiv::authenticateToken("alice", token("alice"));
    ASSERT_TRUE(r.ok()) << code(r);

    maprtest::Record rec = maprtest::parseRecord(kivtest::readFile(home + "/record"));
    EXPECT_EQ(maprtest::all(rec, "arg"), (std::vector<std::string>{maprtest::kToolArgv0, "kerberos"}));
    EXPECT_EQ(maprtest::all(rec, "env"), (std::vector<std::string>{"KRB5CCNAME=FILE:/tmp/krb5cc_daemon"}));
    EXPECT_EQ(maprtest::one(rec, "stdin"), "\\n");
    EXPECT_EQ(maprtest::one(rec, "euid"), "1001");
    EXPECT_TRUE(has(log(d, "debug.log"), "maprlogin child exited with rc 0"));
}

} // namespace
