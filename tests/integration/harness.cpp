// The integration-test harness itself: what every other integration test
// relies on (fixtures in place, daemons found, followed, killed and reaped).
#include <crypt.h>
#include <fcntl.h>
#include <pwd.h>
#include <grp.h>
#include <shadow.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "kivclient.hpp"
#include "sandbox.h"

namespace {

using kivtest::Daemon;
using kivtest::DaemonOptions;

DaemonOptions pamDaemon(const std::string &mode) {
    DaemonOptions opts;
    opts.modules = {{kivtest::testModule("pam", "kivmodpam.so"), "kivmodpam.so"}};
    opts.config = mode + "debugLog=@DIR@/debug.log\nmethods=pam\npam_users=alice:ok:1001:1001\n";
    return opts;
}

bool processGone(pid_t pid) { return kill(pid, 0) != 0 && errno == ESRCH; }

TEST(Harness, RefusesToRunOutsideAPrivateNamespace) {
    // A child of this process shares its namespace: it must not mount anything.
    pid_t pid = fork();
    if (pid == 0) {
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 2);
        execl("/proc/self/exe", "it_harness", "--gtest_filter=-*", static_cast<char *>(nullptr));
        _exit(127);
    }
    int st = 0;
    ASSERT_TRUE(kivtest::waitFor([&] { return waitpid(pid, &st, WNOHANG) == pid; }, 10000));
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(2, WEXITSTATUS(st));
}

TEST(Harness, AccountFixturesAreLiveAndWrittenInPlace) {
    struct stat before, after;
    ASSERT_EQ(0, stat("/etc/passwd", &before));
    std::string hash = kivtest::cryptHash("pw");
    kivtest::writeAccountFiles("carl:x:1500:1500::/home/carl:/bin/sh\n",
                               "carl:" + hash + ":19000:0:99999:7:::\n",
                               "carl:x:1500:\nstaff:x:50:carl\n");
    ASSERT_EQ(0, stat("/etc/passwd", &after));
    EXPECT_EQ(before.st_ino, after.st_ino);
    passwd *p = getpwnam("carl");
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(1500u, p->pw_uid);
    spwd *s = getspnam("carl");
    ASSERT_NE(nullptr, s);
    EXPECT_EQ(hash, s->sp_pwdp);
    group *g = getgrnam("staff");
    ASSERT_NE(nullptr, g);
    ASSERT_NE(nullptr, g->gr_mem[0]);
    EXPECT_STREQ("carl", g->gr_mem[0]);
    struct stat run;
    ASSERT_EQ(0, stat("/run", &run));
    EXPECT_EQ(01777u, run.st_mode & 07777);
}

TEST(Harness, CryptHashPrefixes) {
    for (std::string prefix : {"$6$", "$5$", "$1$", "$y$", ""}) {
        std::string h = kivtest::cryptHash("secret", prefix);
        ASSERT_FALSE(h.empty()) << prefix;
        EXPECT_EQ(0u, h.find(prefix));
        crypt_data cd{};
        EXPECT_EQ(h, crypt_r("secret", h.c_str(), &cd)) << prefix;
        EXPECT_NE(h, crypt_r("Secret", h.c_str(), &cd)) << prefix;
        if (prefix.empty()) {
            EXPECT_EQ(13u, h.size()) << "two-character DES salt";
        }
    }
    EXPECT_NE(kivtest::cryptHash("secret"), kivtest::cryptHash("secret")) << "fresh salt each time";
}

TEST(Harness, DestructorKillsAndReapsADetachedDaemon) {
    pid_t parent, child;
    {
        Daemon d(pamDaemon(""));
        ASSERT_TRUE(d.start()) << d.lastError();
        parent = d.pid();
        child = d.servingPid();
        EXPECT_NE(parent, child);
        EXPECT_TRUE(d.running());
    }
    EXPECT_TRUE(processGone(child)) << "the detached daemon survived (or was not reaped)";
    EXPECT_TRUE(processGone(parent));
    EXPECT_FALSE(kiv::authenticatePassword("alice", "x", {kivtest::kSocketPath, 500}).reply);
}

// Run only as the helper of the next test: leaks a running daemon and exits.
TEST(Harness, LeakedDaemonHelper) {
    const char *fd = getenv("KIVTEST_HELPER_FD");
    if (!fd) GTEST_SKIP() << "helper of ExitTakesLeakedDaemonsDown";
    auto *d = new Daemon(pamDaemon(""));
    ASSERT_TRUE(d->start()) << d->lastError();
    std::string pid = std::to_string(d->servingPid());
    ASSERT_EQ(static_cast<ssize_t>(pid.size()), write(atoi(fd), pid.data(), pid.size()));
    std::exit(0);
}

TEST(Harness, ExitTakesLeakedDaemonsDown) {
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    int p[2];
    ASSERT_EQ(0, pipe(p));
    pid_t pid = fork();
    if (pid == 0) {
        close(p[0]);
        setenv("KIVTEST_HELPER_FD", std::to_string(p[1]).c_str(), 1);
        execl("/usr/bin/unshare", "unshare", "--mount", "--propagation", "private", self,
              "--gtest_filter=Harness.LeakedDaemonHelper", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(p[1]);
    int st = 0;
    bool done = kivtest::waitFor([&] { return waitpid(pid, &st, WNOHANG) == pid; }, 20000);
    if (!done) {
        kill(pid, SIGKILL);
        waitpid(pid, &st, 0);
    }
    char buf[32] = {};
    ssize_t n = read(p[0], buf, sizeof buf - 1);
    close(p[0]);
    ASSERT_TRUE(done) << "helper hung";
    ASSERT_GT(n, 0) << "helper did not start a daemon";
    pid_t daemonPid = static_cast<pid_t>(atoi(buf));
    ASSERT_GT(daemonPid, 1);
    bool gone = kivtest::waitFor([&] { return processGone(daemonPid); }, 5000);
    if (!gone) kill(daemonPid, SIGKILL);
    EXPECT_TRUE(gone) << "a leaked daemon outlived its test process";
}

TEST(Harness, StartReportsAnEarlyExit) {
    DaemonOptions opts = pamDaemon("daemon=no\n");
    opts.config += "numThreads=0\n";
    Daemon d(opts);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(d.start(20000));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10)) << "waited for the timeout";
    EXPECT_EQ(30, d.exitStatus());
    EXPECT_NE(std::string::npos, d.lastError().find("status 30")) << d.lastError();
}

TEST(Harness, OneDaemonAtATimeAndStaleFiles) {
    Daemon first(pamDaemon("daemon=no\n"));
    ASSERT_TRUE(first.start()) << first.lastError();
    Daemon second(pamDaemon("daemon=no\n"));
    EXPECT_FALSE(second.start(2000));
    EXPECT_NE(std::string::npos, second.lastError().find("already listens")) << second.lastError();
    EXPECT_FALSE(second.running());
    EXPECT_EQ(0, first.terminate());

    // A leftover socket file does not count as a daemon that listens.
    unlink(kivtest::kSocketPath);
    kivtest::writeFile(kivtest::kSocketPath, "stale");
    DaemonOptions opts = pamDaemon("daemon=no\n");
    opts.keepRunFiles = true;
    Daemon third(opts);
    ASSERT_TRUE(third.start()) << third.lastError();
    EXPECT_TRUE(kiv::authenticatePassword("alice", "x").ok());
    EXPECT_EQ(0, third.terminate());
}

} // namespace
