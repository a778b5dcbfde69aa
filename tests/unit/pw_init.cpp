// pw method set-up: keys and their log lines, refusal without root, the group
// search lock, and the empty-password rule that needs no account files.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "groups.h"
#include "pw.h"
#include "log_files.h"
#include "verify_logcapture.h"

namespace {

using Config = kivtest::ConfigList;

struct Init {
    PwContext *ctx = nullptr;
    int status = 99;
    char *message = nullptr;
};

Init init(Config &config, AuthLog *log) {
    Init r;
    r.ctx = static_cast<PwContext *>(pwInit(config.data(), config.size(), &r.status, log, &r.message));
    return r;
}

TEST(PwInit, DefaultsWithoutKeys) {
    AuthLog log = kivcap::makeLog(0);
    Config config({{"methods", "pw"}, {"numThreads", "4"}});
    kivcap::clear();
    Init r = init(config, &log);
    ASSERT_NE(r.ctx, nullptr);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.message, nullptr);
    EXPECT_EQ(r.ctx->loginCheck, 1);
    EXPECT_EQ(r.ctx->reportResults, 0);
    EXPECT_EQ(r.ctx->useAuthenticate, 0);
    EXPECT_EQ(r.ctx->useLoginRestrictions, 0);
    EXPECT_EQ(r.ctx->authMode, 1);
    EXPECT_STREQ(r.ctx->authTty, "KIV");
    EXPECT_EQ(r.ctx->skipPwExpCheck, 0);
    EXPECT_EQ(r.ctx->skipAccExpCheck, 0);
    EXPECT_EQ(r.ctx->skipAdminLockCheck, 0);
    EXPECT_EQ(r.ctx->skipChangeCheck, 0);
    EXPECT_EQ(r.ctx->denyEmptyPasswords, 0);
    EXPECT_TRUE(kivcap::lines().empty()) << kivcap::text();
    EXPECT_EQ(grpSearchLockInit, 1);
    pwTerminate(r.ctx, &log);
    EXPECT_EQ(grpSearchLockInit, 0);
}

TEST(PwInit, EveryKeyAndItsLogLine) {
    AuthLog log = kivcap::makeLog(0);
    Config config({
        {"aix_login_check", "no"},
        {"AIX_REPORT_RESULT", "TRUE"},
        {"AIX_USE_AUTHENTICATE", "Yes"},
        {"AIX_USE_LOGINRESTRICTIONS", "true"},
        {"AIX_LOGIN_AUTHMODE", "local"},
        {"AIX_AUTH_TTY", "tty7"},
        {"SKIP_PW_EXP_CHECK", "yes"},
        {"skip_acc_exp_check", "true"},
        {"SKIP_ADMIN_LOCK_CHECK", "YES"},
        {"SKIP_CHANGE_CHECK", "tRuE"},
        {"DENY_EMPTY_PASSWORDS", "yEs"},
    });
    kivcap::clear();
    Init r = init(config, &log);
    ASSERT_NE(r.ctx, nullptr);
    EXPECT_EQ(r.ctx->loginCheck, 0);
    EXPECT_EQ(r.ctx->reportResults, 1);
    EXPECT_EQ(r.ctx->useAuthenticate, 1);
    EXPECT_EQ(r.ctx->useLoginRestrictions, 1);
    EXPECT_EQ(r.ctx->authMode, 0);
    EXPECT_STREQ(r.ctx->authTty, "tty7");
    // The tty is not copied: it points into the configuration.
    EXPECT_EQ(r.ctx->authTty, config.data()[6].value);
    EXPECT_EQ(r.ctx->skipPwExpCheck, 1);
    EXPECT_EQ(r.ctx->skipAccExpCheck, 1);
    EXPECT_EQ(r.ctx->skipAdminLockCheck, 1);
    EXPECT_EQ(r.ctx->skipChangeCheck, 1);
    EXPECT_EQ(r.ctx->denyEmptyPasswords, 1);
    const std::vector<std::string> expected = {
        "PW: Reporting authentication results to AIX.",
        "PW: AIX authenticate() enabled.",
        "PW: 'Skip expired password check' enabled.",
        "PW: 'Skip expired account check' enabled.",
        "PW: 'Skip admin lock check' enabled.",
        "PW: 'Skip password change check' enabled.",
        "PW: Deny empty passwords enabled.",
    };
    EXPECT_EQ(kivcap::lines(), expected);
    pwTerminate(r.ctx, &log);
}

TEST(PwInit, FlagValuesAndRepeatedKeys) {
    AuthLog log = kivcap::makeLog(0);
    // Only "true"/"yes" count; "1", "on", "y" and the empty text are false.
    for (const char *value : {"1", "on", "y", "", "truex", "yes "}) {
        SCOPED_TRACE(value);
        Config config({{"DENY_EMPTY_PASSWORDS", value}, {"AIX_LOGIN_CHECK", value}});
        Init r = init(config, &log);
        ASSERT_NE(r.ctx, nullptr);
        EXPECT_EQ(r.ctx->denyEmptyPasswords, 0);
        EXPECT_EQ(r.ctx->loginCheck, 0);
        pwTerminate(r.ctx, &log);
    }
    // The last occurrence wins, in both directions.
    Config config({{"SKIP_CHANGE_CHECK", "yes"}, {"SKIP_CHANGE_CHECK", "no"},
                   {"SKIP_PW_EXP_CHECK", "no"}, {"SKIP_PW_EXP_CHECK", "true"},
                   {"AIX_LOGIN_AUTHMODE", "LOCAL"}, {"AIX_LOGIN_AUTHMODE", "remote"}});
    kivcap::clear();
    Init r = init(config, &log);
    ASSERT_NE(r.ctx, nullptr);
    EXPECT_EQ(r.ctx->skipChangeCheck, 0);
    EXPECT_EQ(r.ctx->skipPwExpCheck, 1);
    EXPECT_EQ(r.ctx->authMode, 1);
    EXPECT_TRUE(kivcap::hasLine("PW: 'Skip password change check' enabled."));
    pwTerminate(r.ctx, &log);
}

TEST(PwInit, BuildVersion) { EXPECT_STREQ(pwBuildVersion, "buildVersion=v100k1a"); }

// Runs pwInit in a child whose every uid is `uid`; returns what the child saw
// as "status|message".
std::string initAsUser(uid_t uid, const std::string &program) {
    int fds[2];
    if (pipe(fds) != 0) return "pipe failed";
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        std::string out = "setresuid failed";
        if (setresgid(uid, uid, uid) == 0 && setresuid(uid, uid, uid) == 0) {
            Config config(Config::Pairs{{"methods", "pw"}});
            config.setProgram(program);
            int status = 99;
            char *message = nullptr;
            void *ctx = pwInit(config.data(), config.size(), &status, nullptr, &message);
            out = std::to_string(status) + "|" + (message ? message : "(null)") +
                  (ctx ? "|context" : "|no context");
        }
        ssize_t w = write(fds[1], out.data(), out.size());
        _exit(w == static_cast<ssize_t>(out.size()) ? 0 : 1);
    }
    close(fds[1]);
    std::string result;
    char buf[256];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) result.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    return result;
}

TEST(PwInit, RefusesWithoutRoot) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to drop privileges";
    EXPECT_EQ(initAsUser(65534, "kiv-services-daemon"),
              "-1|kiv-services-daemon is not setuid root.|no context");
    // The message buffer holds 64 bytes: a long program name is cut, not overrun.
    std::string longName(200, 'p');
    std::string expected = "-1|" + longName.substr(0, 63) + "|no context";
    EXPECT_EQ(initAsUser(65534, longName), expected);
}

TEST(PwInit, ReinitialisesGroupLock) {
    AuthLog log = kivcap::makeLog(0);
    Config config(Config::Pairs{});
    Init r = init(config, &log);
    ASSERT_NE(r.ctx, nullptr);
    ASSERT_EQ(grpSearchLockInit, 1);
    // The lock works after pwInit.
    EXPECT_EQ(pthread_mutex_trylock(&grpSearchLock), 0);
    EXPECT_EQ(pthread_mutex_unlock(&grpSearchLock), 0);
    pwTerminate(r.ctx, &log);
    EXPECT_EQ(grpSearchLockInit, 0);
    // A second terminate (no context) does not destroy it twice.
    pwTerminate(nullptr, &log);
    EXPECT_EQ(grpSearchLockInit, 0);
    // Leave the mutex usable for anything else in this process.
    pthread_mutex_init(&grpSearchLock, nullptr);
}

TEST(PwAuthenticate, DenyEmptyPasswordsBeforeAnyLookup) {
    AuthLog log = kivcap::makeLog(0);
    for (const char *value : {"yes", "YES", "Yes", "true", "TRUE", "tRUE"}) {
        SCOPED_TRACE(value);
        Config config(Config::Pairs{{"DENY_EMPTY_PASSWORDS", value}});
        Init r = init(config, &log);
        ASSERT_NE(r.ctx, nullptr);
        kivcap::clear();
        char *message = nullptr;
        int uid = -7, gid = -7;
        // Unknown user: the rule answers before the database could say so.
        int rc = pwAuthenticate(r.ctx, "no-such-user-kiv", "", &uid, &gid, nullptr, &log, &message);
        EXPECT_EQ(rc, AUTH_NOAUTH);
        ASSERT_NE(message, nullptr);
        EXPECT_STREQ(message, "Empty password rejected.");
        EXPECT_EQ(uid, -7);
        EXPECT_FALSE(kivcap::hasLine("User not in /etc/passwd."));
        const std::vector<std::string> expected = {
            "pwAuthenticate [ENTER]: username:<no-such-user-kiv>",
            "Authenticating user no-such-user-kiv via password database",
            "pwAuthenticate [EXIT]: username:<no-such-user-kiv> rc:<0x5>",
        };
        EXPECT_EQ(kivcap::lines(), expected);
        pwTerminate(r.ctx, &log);
    }
}

} // namespace
