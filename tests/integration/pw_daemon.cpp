// The pw method end to end: the daemon with "methods=pw", fixture accounts,
// requests through the socket with the client library.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <string>
#include <vector>

#include "kivclient.hpp"
#include "sandbox.h"

namespace {

using kivtest::Daemon;
using kivtest::DaemonOptions;

std::string config(const std::string &extra) {
    return "daemon=no\n"
           "debugLog=@DIR@/debug.log\n"
           "accessLog=@DIR@/access.log\n"
           "errorLog=@DIR@/error.log\n" +
           extra;
}

long today() { return static_cast<long>(std::time(nullptr) / 86400); }

struct Accounts {
    std::string aliceHash = kivtest::cryptHash("Al1ce-pw", "$6$");
    std::string bobHash = kivtest::cryptHash("B0b-pw", "$5$");
    std::string oldHash = kivtest::cryptHash("0ld-pw", "$y$");
    std::string carlHash = kivtest::cryptHash("C4rl-pw", "$1$");

    void write() const {
        const std::string yesterday = std::to_string(today() - 1);
        kivtest::writeAccountFiles(
            "root:x:0:0:root:/root:/bin/sh\n"
            "alice:x:1001:1001::/home/alice:/bin/sh\n"
            "bob:" + bobHash + ":1002:1002::/home/bob:/bin/sh\n"
            "ghost:x:1003:1003::/home/ghost:/bin/sh\n"
            "old:x:1004:1004::/home/old:/bin/sh\n"
            "carl:X:1005:1005::/home/carl:/bin/sh\n",
            "root:*:19000:0:99999:7:::\n"
            "alice:" + aliceHash + ":" + yesterday + ":0:99999:7:::\n"
            "old:" + oldHash + ":" + yesterday + ":0:99999:7::" + yesterday + ":\n"
            "carl:" + carlHash + ":0:0:99999:7:::\n",
            "root:x:0:\n"
            "alice:x:1001:\n"
            "bob:x:1002:\n"
            "staff:x:50:alice,bob\n"
            "devs:x:60:alice\n");
    }
};

kiv::Reply ask(const std::string &user, const std::string &password) {
    kiv::Result r = kiv::authenticatePassword(user, password);
    EXPECT_TRUE(r.reply.has_value()) << r.error;
    return r.reply.value_or(kiv::Reply{});
}

bool has(const std::string &text, const std::string &needle) { return text.find(needle) != std::string::npos; }

std::string allLogs(const Daemon &d) {
    return kivtest::readFile(d.path("debug.log")) + kivtest::readFile(d.path("access.log")) +
           kivtest::readFile(d.path("error.log")) + d.stderrText();
}

TEST(PwDaemon, AuthenticatesLocalAccounts) {
    Accounts acc;
    acc.write();
    DaemonOptions opts;
    // A scripted second method shows where pw's "unknown user" leads.
    opts.modules = {{kivtest::testModule("pam", "kivmodpam.so"), "kivmodpam.so"}};
    opts.config = config("methods=pw pam\npam_users=ghost:ok:1003:1003::Gh0st-pw\n");
    Daemon d(opts);
    ASSERT_TRUE(d.start()) << d.lastError();

    kiv::Reply r = ask("alice", "Al1ce-pw");
    ASSERT_EQ(r.code, AUTH_OK) << kiv::resultName(r.code);
    EXPECT_EQ(r.uid, 1001);
    EXPECT_EQ(r.name, "alice");
    ASSERT_FALSE(r.groups.empty());
    EXPECT_EQ(r.groups.front(), 1001);
    std::vector<int> groups = r.groups;
    std::sort(groups.begin(), groups.end());
    EXPECT_EQ(groups, (std::vector<int>{50, 60, 1001}));

    // Hash straight from the passwd entry.
    r = ask("bob", "B0b-pw");
    ASSERT_EQ(r.code, AUTH_OK) << kiv::resultName(r.code);
    EXPECT_EQ(r.uid, 1002);
    EXPECT_EQ(r.groups.front(), 1002);
    EXPECT_EQ(r.groups.size(), 2u);

    EXPECT_EQ(ask("alice", "al1ce-pw").code, AUTH_NOAUTH);
    EXPECT_EQ(ask("bob", "").code, AUTH_NOAUTH);
    // "x" in passwd but no shadow entry: unknown to pw, the next method decides.
    r = ask("ghost", "Gh0st-pw");
    EXPECT_EQ(r.code, AUTH_OK) << kiv::resultName(r.code);
    EXPECT_EQ(r.uid, 1003);
    EXPECT_EQ(ask("old", "0ld-pw").code, AUTH_EXPIRED);
    EXPECT_EQ(ask("carl", "C4rl-pw").code, AUTH_EXPIRED);
    EXPECT_EQ(ask("nosuchuser", "whatever").code, AUTH_UNKNOWN_USER);
    EXPECT_EQ(d.terminate(), 0);

    const std::string access = kivtest::readFile(d.path("access.log"));
    EXPECT_TRUE(has(access, "Authenticated user alice (pw).")) << access;
    EXPECT_TRUE(has(access, "Authenticated user bob (pw).")) << access;
    EXPECT_TRUE(has(access, "User alice did not authenticate. Reason: 'Password mismatch.' (pw)")) << access;
    EXPECT_TRUE(has(access, "Authenticated user ghost (pam).")) << access;
    EXPECT_TRUE(has(access, "User old password or account expired. 'The user's password has expired' (pw)"))
        << access;
    EXPECT_TRUE(has(access, "User carl password or account expired. 'Password change required.' (pw)")) << access;
    EXPECT_TRUE(has(access, "Unknown user nosuchuser.")) << access;

    const std::string debug = kivtest::readFile(d.path("debug.log"));
    EXPECT_TRUE(has(debug, "pw: buildVersion=v100k1a")) << debug;
    EXPECT_TRUE(has(debug, "pwAuthenticate [ENTER]: username:<alice>"));
    EXPECT_TRUE(has(debug, "User not in /etc/shadow."));
    EXPECT_TRUE(has(debug, "Not showing passwords in log."));

    // Passwords hidden by default: no password or hash in any log.  (The
    // scripted module's secret is part of the configuration dump, so it is
    // not among them.)
    const std::string logs = allLogs(d);
    for (const std::string &secret : {std::string("Al1ce-pw"), std::string("al1ce-pw"), std::string("B0b-pw"),
                                      std::string("0ld-pw"), std::string("C4rl-pw"),
                                      acc.aliceHash.substr(3), acc.bobHash.substr(3), acc.oldHash.substr(4),
                                      acc.carlHash.substr(3)})
        EXPECT_FALSE(has(logs, secret)) << secret;
    EXPECT_FALSE(kivtest::hasSanitizerReport(d.stderrText())) << d.stderrText();
}

TEST(PwDaemon, ShownPasswordsReachDebugLog) {
    Accounts acc;
    acc.write();
    for (const char *value : {"false", "no"}) {
        SCOPED_TRACE(value);
        DaemonOptions opts;
        opts.config = config(std::string("methods=pw\ndebugNoPasswords=") + value + "\n");
        Daemon d(opts);
        ASSERT_TRUE(d.start()) << d.lastError();
        EXPECT_EQ(ask("alice", "Al1ce-pw").code, AUTH_OK);
        EXPECT_EQ(d.terminate(), 0);
        const std::string debug = kivtest::readFile(d.path("debug.log"));
        EXPECT_TRUE(has(debug, "Show passwords in log.")) << debug;
        EXPECT_TRUE(has(debug, "Matching user password " + acc.aliceHash + " to database password " +
                                   acc.aliceHash))
            << debug;
    }
    // "true" keeps them hidden.
    DaemonOptions opts;
    opts.config = config("methods=pw\ndebugNoPasswords=true\n");
    Daemon d(opts);
    ASSERT_TRUE(d.start()) << d.lastError();
    EXPECT_EQ(ask("alice", "Al1ce-pw").code, AUTH_OK);
    EXPECT_EQ(d.terminate(), 0);
    EXPECT_FALSE(has(allLogs(d), acc.aliceHash.substr(3)));
}

TEST(PwDaemon, KeysReachTheMethod) {
    Accounts acc;
    acc.write();
    DaemonOptions opts;
    opts.config = config("methods=pw\nDENY_EMPTY_PASSWORDS=Yes\nskip_acc_exp_check=TRUE\n");
    Daemon d(opts);
    ASSERT_TRUE(d.start()) << d.lastError();
    EXPECT_EQ(ask("alice", "").code, AUTH_NOAUTH);
    EXPECT_EQ(ask("old", "0ld-pw").code, AUTH_OK);   // expiry skipped
    EXPECT_EQ(ask("carl", "C4rl-pw").code, AUTH_EXPIRED);  // change check still on
    EXPECT_EQ(d.terminate(), 0);
    const std::string access = kivtest::readFile(d.path("access.log"));
    EXPECT_TRUE(has(access, "User alice did not authenticate. Reason: 'Empty password rejected.' (pw)")) << access;
    const std::string debug = kivtest::readFile(d.path("debug.log"));
    EXPECT_TRUE(has(debug, "PW: Deny empty passwords enabled."));
    EXPECT_TRUE(has(debug, "PW: 'Skip expired account check' enabled."));
}

TEST(PwDaemon, RefusesWithoutRoot) {
    Accounts acc;
    acc.write();
    DaemonOptions opts;
    opts.config = config("methods=pw\n");
    // Not root in any uid: nothing to regain.
    opts.euid = 65534;
    opts.ruid = 65534;
    Daemon d(opts);
    int status = d.runToExit();
    EXPECT_EQ(status, 18) << d.lastError();
    const std::string logs = allLogs(d);
    EXPECT_TRUE(has(logs, "Could not initialize authentication method pw: kiv-services-daemon is not setuid root."))
        << logs;
}

TEST(PwDaemon, RegainsRootFromRealUid) {
    // Effective uid dropped but real uid 0 (a setuid-root start seen the other
    // way round): pw makes both root again and the daemon serves.
    Accounts acc;
    acc.write();
    DaemonOptions opts;
    opts.config = config("methods=pw\n");
    opts.euid = 65534;
    Daemon d(opts);
    ASSERT_TRUE(d.start()) << d.lastError();
    kiv::Reply r = ask("alice", "Al1ce-pw");
    EXPECT_EQ(r.code, AUTH_OK) << kiv::resultName(r.code);
    EXPECT_EQ(d.terminate(), 0);
}

} // namespace
