// The PAM method end to end: the daemon with kivmodpam.so and real libpam
// (pam_unix, pam_deny, pam_permit) on a private /etc/pam.d.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <string>
#include <vector>

#include "module_fixture.h"

namespace {

using kivtest::Daemon;
using modtest::allLogs;
using modtest::ask;
using modtest::has;

kivtest::DaemonOptions pam(const std::string &extra, const std::string &methods = "pam") {
    return modtest::options("kivmodpam.so", methods, extra);
}

class PamDaemon : public testing::Test {
protected:
    // alice: good; old: account expired yesterday; carl: must change
    // password; blank: no password at all (common-auth says nullok).
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(modtest::mountPrivatePamDir(&error)) << error;
        const std::string yesterday = std::to_string(std::time(nullptr) / 86400 - 1);
        kivtest::writeAccountFiles(
            "root:x:0:0:root:/root:/bin/sh\nalice:x:1001:1001::/h:/bin/sh\nold:x:1004:1004::/h:/bin/sh\n"
            "carl:x:1005:1005::/h:/bin/sh\nblank:x:1006:1006::/h:/bin/sh\n",
            "root:*:19000:0:99999:7:::\nalice:" + kivtest::cryptHash("Al1ce-pw") + ":" + yesterday +
                ":0:99999:7:::\nold:" + kivtest::cryptHash("0ld-pw") + ":" + yesterday + ":0:99999:7::" + yesterday +
                ":\ncarl:" + kivtest::cryptHash("C4rl-pw") + ":0:0:99999:7:::\nblank::19000:0:99999:7:::\n",
            "root:x:0:\nalice:x:1001:\nstaff:x:50:alice\n");
    }
};

TEST_F(PamDaemon, ShippedServiceAuthenticatesLocalAccounts) {
    Daemon d(pam(""));
    ASSERT_TRUE(d.start()) << d.lastError();
    kiv::Reply r = ask("alice", "Al1ce-pw");
    ASSERT_EQ(r.code, AUTH_OK) << kiv::resultName(r.code);
    EXPECT_EQ(r.uid, 1001);
    ASSERT_FALSE(r.groups.empty());
    EXPECT_EQ(r.groups.front(), 1001);
    std::sort(r.groups.begin(), r.groups.end());
    EXPECT_EQ(r.groups, (std::vector<int>{50, 1001}));
    EXPECT_EQ(ask("alice", "wrong-pw").code, AUTH_NOAUTH);
    EXPECT_EQ(ask("alice", "").code, AUTH_NOAUTH);
    EXPECT_EQ(ask("blank", "").code, AUTH_NOAUTH);   // an empty password never passes
    // Debian's common-account turns pam_unix's "account expired" into a
    // plain failure (default=ignore, then pam_deny); its text still says why.
    EXPECT_EQ(ask("old", "0ld-pw").code, AUTH_NOAUTH);
    EXPECT_EQ(ask("carl", "C4rl-pw").code, AUTH_EXPIRED);
    EXPECT_EQ(ask("nosuchuser", "whatever").code, AUTH_NOAUTH);   // common-auth ends in pam_deny
    EXPECT_EQ(d.terminate(), 0);

    const std::string logs = allLogs(d);
    EXPECT_TRUE(has(logs, "Authenticated user alice (pam).")) << logs;
    EXPECT_TRUE(has(logs, "User alice did not authenticate. Reason: 'Authentication failure' (pam)"));
    EXPECT_TRUE(has(logs, "User old did not authenticate. Reason: 'Your account has expired;"));
    EXPECT_TRUE(has(logs, "User carl password or account expired. 'You are required to change your password"));
    EXPECT_TRUE(has(logs, "pam: buildVersion=kivmodpam-1.0"));
    for (const char *secret : {"Al1ce-pw", "wrong-pw", "0ld-pw", "C4rl-pw"}) EXPECT_FALSE(has(logs, secret)) << secret;
    EXPECT_FALSE(kivtest::hasSanitizerReport(d.stderrText())) << d.stderrText();
}

TEST_F(PamDaemon, StackResultsMapToResultCodes) {
    struct Case {
        const char *service, *user, *password;
        int code;
        const char *logText;
    } cases[] = {
        {"kiv-unix", "nosuchuser", "x", AUTH_UNKNOWN_USER, "Unknown user nosuchuser."},
        {"kiv-unix", "old", "0ld-pw", AUTH_EXPIRED, "User old password or account expired. 'Your account has expired;"},
        {"kiv-unix", "carl", "C4rl-pw", AUTH_EXPIRED, "'You are required to change your password immediately"},
        {"kiv-deny", "alice", "Al1ce-pw", AUTH_NOAUTH, "User alice did not authenticate."},
        {"kiv-permit", "alice", "anything", AUTH_OK, "Authenticated user alice (pam)."},
        // PAM says yes, but there is no uid to answer with.
        {"kiv-permit", "nopasswdentry", "x", AUTH_ERROR, "has no passwd entry"},
        {"kiv-broken", "alice", "Al1ce-pw", AUTH_ERROR, "Request failed: 'PAM authentication failed: "},
        // No service file: libpam falls back to "other" (pam_deny here).
        {"kiv-missing", "alice", "Al1ce-pw", AUTH_NOAUTH, "/etc/pam.d/kiv-missing does not exist; libpam will use"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.service) + " " + c.user);
        Daemon d(pam(std::string("PAM_SERVICE=") + c.service + "\n"));
        ASSERT_TRUE(d.start()) << d.lastError();
        EXPECT_EQ(ask(c.user, c.password).code, c.code);
        EXPECT_EQ(d.terminate(), 0);
        EXPECT_TRUE(has(allLogs(d), c.logText)) << allLogs(d);
    }
}

TEST_F(PamDaemon, AccountCheckAndContinueKeys) {
    {
        Daemon d(pam("PAM_ACCOUNT_CHECK=no\n"));
        ASSERT_TRUE(d.start()) << d.lastError();
        EXPECT_EQ(ask("old", "0ld-pw").code, AUTH_OK);   // account stage skipped
    }
    // PAM refuses everyone; pw decides only when PAM may be passed over.
    for (const char *cont : {"yes", "no"}) {
        Daemon d(pam(std::string("PAM_SERVICE=kiv-deny\nPAM_CONTINUE_ON_NOAUTH=") + cont + "\n", "pam pw"));
        ASSERT_TRUE(d.start()) << d.lastError();
        EXPECT_EQ(ask("alice", "Al1ce-pw").code, *cont == 'y' ? AUTH_OK : AUTH_NOAUTH) << cont;
    }
    for (const char *bad : {"PAM_CONTINUE_ON_NOAUTH=maybe\n", "PAM_SERVICE=../shadow\n", "PAM_SERVICE=\n"}) {
        Daemon d(pam(bad));
        EXPECT_EQ(d.runToExit(), 18) << bad;
        EXPECT_TRUE(has(allLogs(d), "Could not initialize authentication method pam: PAM_")) << allLogs(d);
    }
}

TEST_F(PamDaemon, FailDelayDoesNotHoldTheWorker) {
    // One worker: if pam_unix's ~2 s delay were slept, the right password
    // behind the wrong one would wait for it.
    Daemon d(pam("numThreads=1\nPAM_SERVICE=kiv-unix\n"));
    ASSERT_TRUE(d.start()) << d.lastError();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ask("alice", "bad").code, AUTH_NOAUTH);
    EXPECT_EQ(ask("alice", "Al1ce-pw").code, AUTH_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_EQ(d.terminate(), 0);
    EXPECT_TRUE(has(allLogs(d), "delay after the failure; not sleeping."));
}

TEST_F(PamDaemon, UseGssEnvironmentRunsPamThenPw) {
    kivtest::DaemonOptions opts = pam("", "custom");
    opts.env["KIVSD_USE_GSS"] = "1";
    Daemon d(opts);
    ASSERT_TRUE(d.start()) << d.lastError();
    EXPECT_EQ(ask("alice", "Al1ce-pw").uid, 1001);
    EXPECT_EQ(d.terminate(), 0);
    const std::string logs = allLogs(d);
    EXPECT_TRUE(has(logs, "Initialized 2 methods.")) << logs;
    EXPECT_TRUE(has(logs, "Authenticated user alice (pam).")) << logs;
}

} // namespace
