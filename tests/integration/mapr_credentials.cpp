// The credential step run in-process against fixture accounts, with the
// maprlogin stand-in of mapr_standin.h in place of the real tool.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "log.h"
#include "mapr.h"
#include "mapr_standin.h"
#include "sandbox.h"

using maprtest::all;
using maprtest::one;

namespace {

constexpr int kUid = 4321;
constexpr int kGid = 4321;

class CredentialStep : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = kivtest::makeTempDir("mapr");
        ASSERT_FALSE(root_.empty());
        ASSERT_EQ(chmod(root_.c_str(), 0755), 0);
        home_ = root_ + "/home";
        ASSERT_EQ(mkdir(home_.c_str(), 0755), 0);
        ASSERT_EQ(chown(home_.c_str(), kUid, kGid), 0);
        ASSERT_EQ(mkdir((root_ + "/mapr").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((root_ + "/mapr/bin").c_str(), 0755), 0);
        tool_ = root_ + "/mapr/bin/maprlogin";
        ASSERT_EQ(symlink(maprtest::toolTarget().c_str(), tool_.c_str()), 0);
        writeUsers(home_);

        debugPath_ = root_ + "/debug.log";
        errorPath_ = root_ + "/error.log";
        debugLog = fopen(debugPath_.c_str(), "w");
        errorLog = fopen(errorPath_.c_str(), "w");
        ASSERT_NE(debugLog, nullptr);
        ASSERT_NE(errorLog, nullptr);
        savedUmask_ = umask(0);  // the daemon runs with umask 0
        maprTimeoutSeconds = 30;
        unsetenv("KRB5CCNAME");
    }

    void TearDown() override {
        if (debugLog) fclose(debugLog);
        if (errorLog) fclose(errorLog);
        debugLog = errorLog = nullptr;
        umask(savedUmask_);
        maprTimeoutSeconds = 60;
        unsetenv("KRB5CCNAME");
    }

    void writeUsers(const std::string &home) {
        kivtest::writeAccountFiles(
            "root:x:0:0:root:/root:/bin/sh\n"
            "nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin\n"
            "mapruser:x:4321:4321:MapR user:" + home + ":/bin/sh\n",
            "root:*:19000:0:99999:7:::\nmapruser:*:19000:0:99999:7:::\n",
            "root:x:0:\nnogroup:x:65534:\nmapruser:x:4321:\n"
            "maprdev:x:4400:mapruser\nmaprops:x:4401:mapruser\n");
    }

    int run(const char *password, std::vector<int> groups = {kGid, 4400, 4401},
            const char *user = "mapruser") {
        return runWith(tool_.c_str(), password, groups, user);
    }
    int runWith(const char *path, const char *password, std::vector<int> groups,
                const char *user = "mapruser") {
        return generateMapRCredentials(path, user, groups.empty() ? nullptr : groups.data(),
                                       static_cast<int>(groups.size()), password, &log_);
    }

    void control(const std::string &text) { kivtest::writeFile(home_ + "/control", text); }
    maprtest::Record record() { return maprtest::parseRecord(kivtest::readFile(home_ + "/record")); }
    bool ran() { return kivtest::fileExists(home_ + "/record"); }
    std::string debugText() { return kivtest::readFile(debugPath_); }
    std::string errorText() { return kivtest::readFile(errorPath_); }

    AuthLog log_{debugMessage, accessMessage, warningMessage, errorMessage, nullptr, 0};
    std::string root_, home_, tool_, debugPath_, errorPath_;
    mode_t savedUmask_ = 022;
};

TEST_F(CredentialStep, PasswordModeRunsToolAsTheUserWithThePasswordOnStdin) {
    control("exit=0\n");
    // A descriptor the daemon holds (a client connection, say) must not reach the tool.
    int sentinel = open((root_ + "/sentinel").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(sentinel, 0);

    EXPECT_EQ(run("s3cret pass"), 0);
    close(sentinel);

    maprtest::Record rec = record();
    EXPECT_EQ(all(rec, "arg"),
              (std::vector<std::string>{maprtest::kToolArgv0, "password", "-user", "mapruser"}));
    EXPECT_TRUE(all(rec, "env").empty()) << "environment should be empty";
    EXPECT_EQ(one(rec, "stdin"), "s3cret pass") << "no newline, no terminator";
    EXPECT_EQ(one(rec, "ruid"), "4321");
    EXPECT_EQ(one(rec, "euid"), "4321");
    EXPECT_EQ(one(rec, "rgid"), "4321");
    EXPECT_EQ(one(rec, "egid"), "4321");
    EXPECT_EQ(one(rec, "groups"), "4321,4400,4401");
    EXPECT_EQ(one(rec, "cwd"), home_);
    EXPECT_EQ(one(rec, "umask"), "0022");
    EXPECT_TRUE(all(rec, "fd").empty()) << "inherited: " << testing::PrintToString(all(rec, "fd"));

    struct stat st;
    ASSERT_EQ(stat((home_ + "/record").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u) << "file created by the tool must not be world-writable";

    std::string debug = debugText();
    EXPECT_NE(debug.find("POSIX user 'mapruser' is UID 4321"), std::string::npos);
    for (const char *line :
         {"[child] successfully dropped privileges", "[child] building maprlogin arglist",
          "[child] building args for password auth", "[child] done building args for password auth",
          "[child] building env for password auth", "[child] done building env for password auth"})
        EXPECT_NE(debug.find(line), std::string::npos) << line;
    EXPECT_NE(debug.find("[child] execve-ing maprLogin at '" + tool_ + "'"), std::string::npos);
    EXPECT_NE(debug.find("maprlogin child exited with rc 0"), std::string::npos);
    EXPECT_EQ(debug.find("s3cret"), std::string::npos) << "password leaked into the debug log";
    EXPECT_EQ(errorText(), "");

    // The child's own lines carry the usual prefix, with the child's id.
    std::regex childLine(R"(^\d{8}-\d\d:\d\d:\d\d \[(\d+)\] \[child\] successfully dropped privileges$)");
    std::vector<std::string> lines = maprtest::linesWith(debug, "successfully dropped privileges");
    ASSERT_EQ(lines.size(), 1u);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, childLine)) << lines[0];
    EXPECT_NE(std::stoi(m[1]), static_cast<int>(getpid()));
}

TEST_F(CredentialStep, ChildTakesFirstListedGroupAsGidAndReportsItsExitStatus) {
    control("exit=3\n");
    EXPECT_EQ(run("pw", {4400, kGid}), 0);
    maprtest::Record rec = record();
    EXPECT_EQ(one(rec, "rgid"), "4400");
    EXPECT_EQ(one(rec, "egid"), "4400");
    EXPECT_EQ(one(rec, "groups"), "4321,4400");
    // The status word exactly as waitpid reports it.
    EXPECT_NE(debugText().find("maprlogin child exited with rc 768"), std::string::npos);
}

TEST_F(CredentialStep, EmptyGroupListFallsBackToThePasswordDatabaseGid) {
    control("exit=0\n");
    EXPECT_EQ(run("pw", {}), 0);
    maprtest::Record rec = record();
    EXPECT_EQ(one(rec, "rgid"), "4321");
    EXPECT_EQ(one(rec, "egid"), "4321");
    EXPECT_EQ(one(rec, "groups"), "4321") << "root's groups must not survive";
}

TEST_F(CredentialStep, KerberosModePassesTheDaemonsCcacheAndANewline) {
    control("exit=0\n");
    setenv("KRB5CCNAME", "FILE:/tmp/krb5cc_4321", 1);
    EXPECT_EQ(run(nullptr), 0);
    maprtest::Record rec = record();
    EXPECT_EQ(all(rec, "arg"), (std::vector<std::string>{maprtest::kToolArgv0, "kerberos"}));
    EXPECT_EQ(all(rec, "env"), (std::vector<std::string>{"KRB5CCNAME=FILE:/tmp/krb5cc_4321"}));
    EXPECT_EQ(one(rec, "stdin"), "\\n");
    EXPECT_EQ(one(rec, "euid"), "4321");
    std::string debug = debugText();
    for (const char *line :
         {"[child] building args for kerberized auth", "[child] building env for kerberized auth",
          "[child] done building env for kerberized auth"})
        EXPECT_NE(debug.find(line), std::string::npos) << line;
    EXPECT_EQ(debug.find("password auth"), std::string::npos);
}

TEST_F(CredentialStep, NothingRunsWithoutPasswordOrCcacheOrKnownUser) {
    control("exit=0\n");
    EXPECT_EQ(run(nullptr), 0);
    EXPECT_NE(errorText().find("Password not provided and we don't have a krb5 ccache - cannot set "
                               "maprlogin credentials."),
              std::string::npos);

    // A user known only to another method (a directory, say).
    EXPECT_EQ(run("pw", {kGid}, "ldaponly"), 0);
    EXPECT_NE(errorText().find("POSIX user 'ldaponly' was not found"), std::string::npos);

    EXPECT_EQ(run("pw", {kGid}, nullptr), 0);
    EXPECT_NE(errorText().find("POSIX username was not set"), std::string::npos);

    EXPECT_FALSE(ran());
    EXPECT_EQ(debugText().find("maprlogin child exited"), std::string::npos);
}

TEST_F(CredentialStep, OutputIsCopiedIntoTheDebugLogInBlocks) {
    control("out=token obtained\nerr=warning on stderr\n");
    EXPECT_EQ(run("pw"), 0);
    std::string debug = debugText();
    EXPECT_NE(debug.find("----------[start maprlogin output len="), std::string::npos);
    EXPECT_NE(debug.find("token obtained"), std::string::npos);
    EXPECT_NE(debug.find("warning on stderr"), std::string::npos) << "stderr joins stdout";
    EXPECT_EQ(maprtest::countOf(debug, "----------[start maprlogin output len="),
              maprtest::countOf(debug, "----------[end maprlogin output]----------"));
}

TEST_F(CredentialStep, LoneNewlineLeavesNoTrace) {
    control("newline=1\n");
    EXPECT_EQ(run("pw"), 0);
    std::string debug = debugText();
    EXPECT_NE(debug.find("maprlogin child exited with rc 0"), std::string::npos);
    EXPECT_EQ(debug.find("maprlogin output"), std::string::npos);
}

TEST_F(CredentialStep, LongOutputIsSplitIntoBlocksOfAtMost4095Bytes) {
    control("long=10000\n");
    EXPECT_EQ(run("pw"), 0);
    std::string debug = debugText();
    std::regex start(R"(\[start maprlogin output len=(\d+)\])");
    int blocks = 0, total = 0;
    for (auto it = std::sregex_iterator(debug.begin(), debug.end(), start); it != std::sregex_iterator();
         ++it) {
        int len = std::stoi((*it)[1]);
        EXPECT_LE(len, 4095);
        total += len;
        ++blocks;
    }
    EXPECT_GE(blocks, 3);
    EXPECT_EQ(total, 10000);
    // Every byte arrives, each block's text on its own line.
    std::regex body(R"(\] (x+)\n)");
    size_t bytes = 0;
    for (auto it = std::sregex_iterator(debug.begin(), debug.end(), body); it != std::sregex_iterator();
         ++it)
        bytes += (*it)[1].length();
    EXPECT_EQ(bytes, 10000u);
}

TEST_F(CredentialStep, MissingToolIsReportedByTheChildAtEveryRun) {
    std::string missing = root_ + "/mapr/bin/absent";
    EXPECT_EQ(runWith(missing.c_str(), "pw", {kGid}), 0);
    EXPECT_EQ(runWith(missing.c_str(), "pw", {kGid}), 0);
    std::string failure = "[child] execve failed: 2 - No such file or directory";
    EXPECT_EQ(maprtest::countOf(errorText(), failure), 2u);
    std::string debug = debugText();
    EXPECT_EQ(maprtest::countOf(debug, failure), 2u) << "errors reach the debug log too";
    EXPECT_EQ(maprtest::countOf(debug, "[child] execve-ing maprLogin at '" + missing + "'"), 2u);
    EXPECT_EQ(maprtest::countOf(debug, "maprlogin child exited with rc 26624"), 2u);  // 104 << 8
}

TEST_F(CredentialStep, WithoutAPathTheDefaultToolLocationIsUsed) {
    EXPECT_EQ(runWith(nullptr, "pw", {kGid}), 0);
    EXPECT_NE(debugText().find("[child] execve-ing maprLogin at '/opt/mapr/bin/maprlogin'"),
              std::string::npos);
}

TEST_F(CredentialStep, MissingHomeDirectoryEndsTheChild) {
    writeUsers(root_ + "/no-such-home");
    EXPECT_EQ(run("pw"), 0);
    EXPECT_NE(errorText().find("[child] couldn't chdir to '" + root_ +
                               "/no-such-home': 2 - No such file or directory"),
              std::string::npos);
    EXPECT_NE(debugText().find("maprlogin child exited with rc 27392"), std::string::npos);  // 107
    EXPECT_FALSE(ran());
}

TEST_F(CredentialStep, GidMinusOneNeverLeavesTheChildWithRootsGroup) {
    EXPECT_EQ(run("pw", {-1, kGid}), 0);
    EXPECT_NE(errorText().find("[child] couldn't set rgid/egid to '-1'"), std::string::npos);
    EXPECT_NE(debugText().find("maprlogin child exited with rc 26624"), std::string::npos);  // 104
    EXPECT_FALSE(ran());
}

TEST_F(CredentialStep, StuckToolIsKilledWithItsHelpersAfterTheTimeLimit) {
    maprTimeoutSeconds = 2;
    control("grandchild=1\nsleepms=60000\n");
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(run("pw"), 0);
    auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_GE(took, std::chrono::milliseconds(1900));
    EXPECT_LT(took, std::chrono::seconds(15));

    EXPECT_NE(errorText().find("maprlogin child did not finish within 2 seconds; killing it"),
              std::string::npos);
    EXPECT_NE(debugText().find("maprlogin child exited with rc 9"), std::string::npos);  // SIGKILL

    // The helper shared the tool's process group and died with it.  This test
    // process is a subreaper, so the orphaned helper comes back to us.
    maprtest::Record rec = record();
    pid_t helper = static_cast<pid_t>(std::atoi(one(rec, "grandchild").c_str()));
    ASSERT_GT(helper, 0);
    int status = 0;
    bool gone = kivtest::waitFor([&] { return waitpid(helper, &status, WNOHANG) == helper; }, 5000);
    EXPECT_TRUE(gone);
    if (gone) {
        EXPECT_TRUE(WIFSIGNALED(status));
    } else {
        kill(helper, SIGKILL);
        waitpid(helper, &status, 0);
    }
}

TEST_F(CredentialStep, ToolThatClosesStdinDoesNotKillTheDaemonWithSigpipe) {
    // The daemon does not ignore SIGPIPE; a write into a pipe nobody reads
    // must not end it.  A password bigger than the pipe keeps the write going
    // after the tool has closed its end.
    struct sigaction dfl {}, old {};
    dfl.sa_handler = SIG_DFL;
    ASSERT_EQ(sigaction(SIGPIPE, &dfl, &old), 0);
    control("closestdin=1\nout=closed\n");
    std::string huge(200000, 'p');
    EXPECT_EQ(run(huge.c_str()), 0);
    sigset_t pending;
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0) << "a SIGPIPE stayed pending";
    sigaction(SIGPIPE, &old, nullptr);
    EXPECT_NE(debugText().find("maprlogin child exited with rc 0"), std::string::npos);
    EXPECT_NE(debugText().find("closed"), std::string::npos);
}

} // namespace
