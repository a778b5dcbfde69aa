// The PAM method end to end: the daemon with kivmodpam.so and real libpam
// (pam_unix, pam_deny, pam_permit) on a private /etc/pam.d.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <string>
#include <vector>

#include "kivclient.h"
#include "pam_fixture.h"
#include "sandbox.h"

namespace {

using kivtest::Daemon;
using kivtest::DaemonOptions;

long today() { return static_cast<long>(std::time(nullptr) / 86400); }

// alice: good; old: account expired yesterday; carl: must change password.
void writeAccounts() {
    const std::string yesterday = std::to_string(today() - 1);
    kivtest::writeAccountFiles(
        "root:x:0:0:root:/root:/bin/sh\n"
        "alice:x:1001:1001::/home/alice:/bin/sh\n"
        "old:x:1004:1004::/home/old:/bin/sh\n"
        "carl:x:1005:1005::/home/carl:/bin/sh\n",
        "root:*:19000:0:99999:7:::\n"
        "alice:" + kivtest::cryptHash("Al1ce-pw") + ":" + yesterday + ":0:99999:7:::\n"
        "old:" + kivtest::cryptHash("0ld-pw") + ":" + yesterday + ":0:99999:7::" + yesterday + ":\n"
        "carl:" + kivtest::cryptHash("C4rl-pw") + ":0:0:99999:7:::\n",
        "root:x:0:\nalice:x:1001:\nstaff:x:50:alice\n");
}

class PamDaemon : public testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(pamtest::mountPrivatePamDir(&error)) << error;
        writeAccounts();
    }

    // A daemon running methods (default "pam") with the given extra keys.
    static DaemonOptions options(const std::string &extra, const std::string &methods = "pam") {
        DaemonOptions opts;
        opts.modules = {{kivtest::binPath("kivmodpam.so"), "kivmodpam.so"}};
        opts.config = "daemon=no\ndebugLog=@DIR@/debug.log\naccessLog=@DIR@/access.log\n"
                      "errorLog=@DIR@/error.log\nmethods=" + methods + "\n" + extra;
        return opts;
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

TEST_F(PamDaemon, ShippedServiceAuthenticatesLocalAccounts) {
    Daemon d(options(""));
    ASSERT_TRUE(d.start()) << d.lastError();
    kiv::Reply r = ask("alice", "Al1ce-pw");
    ASSERT_EQ(r.code, AUTH_OK) << kiv::resultName(r.code);
    EXPECT_EQ(r.uid, 1001);
    EXPECT_EQ(r.name, "alice");
    ASSERT_FALSE(r.groups.empty());
    EXPECT_EQ(r.groups.front(), 1001);
    std::vector<int> groups = r.groups;
    std::sort(groups.begin(), groups.end());
    EXPECT_EQ(groups, (std::vector<int>{50, 1001}));

    EXPECT_EQ(ask("alice", "wrong-pw").code, AUTH_NOAUTH);
    EXPECT_EQ(ask("alice", "").code, AUTH_NOAUTH);
    // Debian's common-account turns pam_unix's "account expired" into a
    // plain failure (default=ignore, then pam_deny); its text still says why.
    EXPECT_EQ(ask("old", "0ld-pw").code, AUTH_NOAUTH);
    EXPECT_EQ(ask("carl", "C4rl-pw").code, AUTH_EXPIRED);
    // The Debian stack ends in pam_deny: an unknown user is just refused.
    EXPECT_EQ(ask("nosuchuser", "whatever").code, AUTH_NOAUTH);
    EXPECT_EQ(d.terminate(), 0);

    const std::string access = kivtest::readFile(d.path("access.log"));
    EXPECT_TRUE(has(access, "Authenticated user alice (pam).")) << access;
    EXPECT_TRUE(has(access, "User alice did not authenticate. Reason: 'Authentication failure' (pam)")) << access;
    EXPECT_TRUE(has(access, "User old did not authenticate. Reason: 'Your account has expired;")) << access;
    EXPECT_TRUE(has(access, "User carl password or account expired. 'You are required to change your password"))
        << access;
    const std::string logs = allLogs(d);
    EXPECT_TRUE(has(logs, "pam: buildVersion=kivmodpam-1.0")) << logs;
    EXPECT_TRUE(has(logs, "Using standard unixGetGroups for method pam")) << logs;
    for (const char *secret : {"Al1ce-pw", "wrong-pw", "0ld-pw", "C4rl-pw"}) EXPECT_FALSE(has(logs, secret)) << secret;
    EXPECT_FALSE(kivtest::hasSanitizerReport(d.stderrText())) << d.stderrText();
}

TEST_F(PamDaemon, StackResultsMapToResultCodes) {
    struct Case {
        const char *service, *user, *password;
        int code;
        const char *accessText;   // expected in the access log, "" for none
    } cases[] = {
        {"kiv-unix", "nosuchuser", "x", AUTH_UNKNOWN_USER, "Unknown user nosuchuser."},
        {"kiv-unix", "alice", "bad", AUTH_NOAUTH, "Reason: 'Authentication failure' (pam)"},
        {"kiv-unix", "old", "0ld-pw", AUTH_EXPIRED, "User old password or account expired. 'Your account has expired;"},
        {"kiv-unix", "carl", "C4rl-pw", AUTH_EXPIRED, "'You are required to change your password immediately"},
        {"kiv-deny", "alice", "Al1ce-pw", AUTH_NOAUTH, "User alice did not authenticate."},
        {"kiv-permit", "alice", "anything", AUTH_OK, "Authenticated user alice (pam)."},
        // PAM says yes, but there is no uid to answer with.
        {"kiv-permit", "nopasswdentry", "anything", AUTH_ERROR, ""},
        {"kiv-broken", "alice", "Al1ce-pw", AUTH_ERROR, ""},
        // No service file: libpam falls back to "other" (pam_deny here).
        {"kiv-missing", "alice", "Al1ce-pw", AUTH_NOAUTH, "User alice did not authenticate."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.service) + " " + c.user);
        Daemon d(options(std::string("PAM_SERVICE=") + c.service + "\n"));
        ASSERT_TRUE(d.start()) << d.lastError();
        EXPECT_EQ(ask(c.user, c.password).code, c.code);
        EXPECT_EQ(d.terminate(), 0);
        EXPECT_TRUE(has(kivtest::readFile(d.path("access.log")), c.accessText));
        const std::string logs = allLogs(d);
        if (c.code == AUTH_ERROR) {
            EXPECT_TRUE(has(logs, std::string(c.service) == "kiv-broken" ? "PAM authentication failed: "
                                                                          : "has no passwd entry"))
                << logs;
        }
        if (std::string(c.service) == "kiv-missing") {
            EXPECT_TRUE(has(logs, "/etc/pam.d/kiv-missing does not exist; libpam will use the 'other' stack."))
                << logs;
        }
    }
}

TEST_F(PamDaemon, AccountCheckAndContinueKeys) {
    {
        Daemon d(options("PAM_ACCOUNT_CHECK=no\n"));
        ASSERT_TRUE(d.start()) << d.lastError();
        EXPECT_EQ(ask("old", "0ld-pw").code, AUTH_OK);   // password right, account stage skipped
        EXPECT_EQ(ask("old", "bad").code, AUTH_NOAUTH);
    }
    {
        // PAM refuses everyone; pw decides only when PAM may be passed over.
        Daemon d(options("PAM_SERVICE=kiv-deny\nPAM_CONTINUE_ON_NOAUTH=yes\n", "pam pw"));
        ASSERT_TRUE(d.start()) << d.lastError();
        EXPECT_EQ(ask("alice", "Al1ce-pw").code, AUTH_OK);
        EXPECT_EQ(d.terminate(), 0);
        EXPECT_TRUE(has(kivtest::readFile(d.path("access.log")), "Authenticated user alice (pw)."));
    }
    {
        Daemon d(options("PAM_SERVICE=kiv-deny\nPAM_CONTINUE_ON_NOAUTH=no\n", "pam pw"));
        ASSERT_TRUE(d.start()) << d.lastError();
        EXPECT_EQ(ask("alice", "Al1ce-pw").code, AUTH_NOAUTH);
    }
    for (const char *bad : {"PAM_CONTINUE_ON_NOAUTH=maybe\n", "PAM_SERVICE=../shadow\n", "PAM_SERVICE=\n"}) {
        SCOPED_TRACE(bad);
        Daemon d(options(bad));
        EXPECT_EQ(d.runToExit(), 18);
        EXPECT_TRUE(has(allLogs(d), "Could not initialize authentication method pam: PAM_")) << allLogs(d);
    }
}

TEST_F(PamDaemon, FailDelayDoesNotHoldTheWorker) {
    // One worker: if pam_unix's ~2 s delay were slept, the right password
    // behind the wrong one would wait for it.
    Daemon d(options("numThreads=1\nPAM_SERVICE=kiv-unix\n"));
    ASSERT_TRUE(d.start()) << d.lastError();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ask("alice", "bad").code, AUTH_NOAUTH);
    EXPECT_EQ(ask("alice", "Al1ce-pw").code, AUTH_OK);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(ms, 1000);
    EXPECT_EQ(d.terminate(), 0);
    EXPECT_TRUE(has(kivtest::readFile(d.path("debug.log")), "delay after the failure; not sleeping."));
}

TEST_F(PamDaemon, UseGssEnvironmentRunsPamThenPw) {
    DaemonOptions opts = options("", "custom");
    opts.env["KIVSD_USE_GSS"] = "1";
    Daemon d(opts);
    ASSERT_TRUE(d.start()) << d.lastError();
    kiv::Reply r = ask("alice", "Al1ce-pw");
    EXPECT_EQ(r.code, AUTH_OK) << kiv::resultName(r.code);
    EXPECT_EQ(r.uid, 1001);
    EXPECT_EQ(d.terminate(), 0);
    const std::string logs = allLogs(d);
    EXPECT_TRUE(has(logs, "KIVSD_USE_GSS: Overriding methods and forcing PAM.")) << logs;
    EXPECT_TRUE(has(logs, "Initialized 2 methods.")) << logs;
    EXPECT_TRUE(has(logs, "Authenticated user alice (pam).")) << logs;
}

} // namespace
