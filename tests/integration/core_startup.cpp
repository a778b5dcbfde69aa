// Start-up of the real daemon binary: exit statuses, modes, pid file.
#include <sys/stat.h>
#include <unistd.h>

#include "core_common.h"

using namespace coretest;

namespace {

int exitStatusFor(const std::string &config, DaemonOptions opts = {}) {
    opts.config = config;
    Daemon d(opts);
    int status = d.runToExit(15000);
    EXPECT_CLEAN(d);
    return status;
}

} // namespace

TEST(Startup, ConfigurationFailuresHaveTheirExitStatus) {
    DaemonOptions noSlash;
    noSlash.argv0 = "kiv-services-daemon";
    EXPECT_EQ(exitStatusFor("daemon=no\nmethods=pam\n", noSlash), 16);

    // A missing configuration file.
    {
        Daemon d(DaemonOptions{});
        unlink(d.path("kiv-services-daemon.conf").c_str());
        EXPECT_EQ(d.runToExit(), 101);
    }
    EXPECT_EQ(exitStatusFor("daemon=no\njust a word\n"), 102);
}

TEST(Startup, MethodFailuresExit18) {
    // No "methods" key at all; an empty file behaves the same.
    EXPECT_EQ(exitStatusFor(baseConfig("")), 18);
    // An empty file detaches (the default); the detached process fails, and
    // the parent reports its status instead of success.
    {
        Daemon d(DaemonOptions{});
        EXPECT_EQ(d.runToExit(), 18);
        EXPECT_FALSE(kivtest::fileExists(kivtest::kPidPath));
    }
    // Only unknown or unsupported names.
    EXPECT_EQ(exitStatusFor(baseConfig("methods=gss ldap nosuch\n")), 18);
    // Module file missing.
    EXPECT_EQ(exitStatusFor(baseConfig("methods=pam\n")), 18);

    DaemonOptions opts;
    opts.modules = {module("custom_nogroups", "kivmodlib.so")};
    EXPECT_EQ(exitStatusFor(baseConfig("methods=custom\n"), opts), 18);
    opts.modules = {module("pam_noauth_symbol", "kivmodpam.so")};
    EXPECT_EQ(exitStatusFor(baseConfig("methods=pam\n"), opts), 18);
}

TEST(Startup, InitFailureUnloadsWithoutTerminate) {
    DaemonOptions opts;
    opts.config = baseConfig("methods=pam\n");
    opts.modules = {module("pam_initfail", "kivmodpam.so")};
    Daemon d(opts);
    EXPECT_EQ(d.runToExit(), 18);
    std::string errors = dumpFile(d, "error.log");
    EXPECT_NE(errors.find("Could not initialize authentication method pam: refused by test"), std::string::npos)
        << errors;
    std::string debug = dumpFile(d, "debug.log");
    EXPECT_NE(debug.find("testmod pam Init"), std::string::npos);
    EXPECT_EQ(debug.find("testmod pam Terminate"), std::string::npos) << debug;
}

TEST(Startup, LaterFailuresTerminateMethodsAndExitWithTheirStatus) {
    DaemonOptions opts;
    opts.modules = {module("pam", "kivmodpam.so")};
    EXPECT_EQ(exitStatusFor(baseConfig("methods=pam\nmaxtries=5\n"), opts), 19);
    EXPECT_EQ(exitStatusFor(baseConfig("methods=pam\nmaxtriesPeriod=0\n"), opts), 19);
    for (const char *bad : {"0", "-3", "abc"})
        EXPECT_EQ(exitStatusFor(baseConfig("methods=pam\nnumThreads=" + std::string(bad) + "\n"), opts), 30) << bad;
    // Only the first numThreads entry counts.
    EXPECT_EQ(exitStatusFor(baseConfig("methods=pam\nnumThreads=0\nnumThreads=4\n"), opts), 30);
    EXPECT_EQ(exitStatusFor(baseConfig("methods=pam\nnumThreads=33\n"), opts), 31);
    for (const char *bad : {"0", "-1", "soon", "5s"})
        EXPECT_EQ(exitStatusFor(baseConfig("methods=pam\nclientTimeout=" + std::string(bad) + "\n"), opts), 32)
            << bad;

    Daemon d([&] {
        DaemonOptions o = opts;
        o.config = baseConfig("methods=pam\nmaxtries=5\n");
        return o;
    }());
    EXPECT_EQ(d.runToExit(), 19);
    std::string errors = dumpFile(d, "error.log");
    EXPECT_NE(errors.find("maxtriesPeriod and maxtriesWait settings are required when using maxtries."),
              std::string::npos);
    EXPECT_NE(dumpFile(d, "debug.log").find("testmod pam Terminate"), std::string::npos);
}

TEST(Startup, BindFailureExitsWithErrno) {
    // A non-empty directory where the socket goes cannot be removed, so bind
    // fails with EADDRINUSE.
    mkdir(kivtest::kSocketPath, 0755);
    kivtest::writeFile(std::string(kivtest::kSocketPath) + "/keep", "x");
    DaemonOptions opts;
    opts.modules = {module("pam", "kivmodpam.so")};
    opts.keepRunFiles = true;
    opts.config = baseConfig("methods=pam\n");
    Daemon d(opts);
    EXPECT_EQ(d.runToExit(), EADDRINUSE);
    EXPECT_NE(dumpFile(d, "error.log").find("kiv-services-daemon bind failed."), std::string::npos);
    unlink((std::string(kivtest::kSocketPath) + "/keep").c_str());
    rmdir(kivtest::kSocketPath);
}

TEST(Startup, StaleSocketFileIsReplaced) {
    kivtest::writeFile(kivtest::kSocketPath, "stale");
    DaemonOptions opts;
    opts.modules = {module("pam", "kivmodpam.so")};
    opts.keepRunFiles = true;
    opts.config = baseConfig("methods=pam\npam_users=alice:ok:1001:1001\n");
    standardAccounts();
    Daemon d(opts);
    START_DAEMON(d);
    EXPECT_TRUE(kiv::authenticatePassword("alice", "pw").ok());
    EXPECT_EQ(d.terminate(), 0);
}

TEST(Startup, ForegroundModeWritesNoPidFile) {
    standardAccounts();
    DaemonOptions opts;
    opts.modules = {module("pam", "kivmodpam.so")};
    // The first "daemon" entry with an unknown word is skipped.
    opts.config = "daemon=maybe\ndaemon=no\ndebugLog=@DIR@/debug.log\nmethods=pam\npam_users=alice:ok:1001:1001\n";
    Daemon d(opts);
    START_DAEMON(d);
    EXPECT_EQ(d.servingPid(), d.pid());
    EXPECT_FALSE(kivtest::fileExists(kivtest::kPidPath));
    EXPECT_TRUE(kiv::authenticatePassword("alice", "x").ok());
    EXPECT_EQ(d.terminate(), 0);
    EXPECT_FALSE(kivtest::fileExists(kivtest::kSocketPath));
    EXPECT_CLEAN(d);
}

TEST(Startup, DetachedModeWritesPidFileAndDetachesFromDescriptors) {
    standardAccounts();
    DaemonOptions opts;
    opts.modules = {module("pam", "kivmodpam.so")};
    opts.config = "debugLog=@DIR@/debug.%d.log\nmethods=pam\npam_users=alice:ok:1001:1001\n";
    Daemon d(opts);
    START_DAEMON(d);
    std::string pidText = readFile(kivtest::kPidPath);
    ASSERT_FALSE(pidText.empty());
    EXPECT_EQ(pidText.find('\n'), std::string::npos) << "pid file must hold the pid without a newline";
    pid_t child = static_cast<pid_t>(std::stoi(pidText));
    EXPECT_NE(child, d.pid());
    EXPECT_EQ(d.servingPid(), child);
    EXPECT_EQ(d.waitExit(5000), 0) << "the parent exits 0 after writing the pid file";

    struct stat st;
    ASSERT_EQ(stat(kivtest::kPidPath, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    // %d in a log name is the detached daemon's own pid.
    EXPECT_TRUE(kivtest::fileExists(d.path("debug." + std::to_string(child) + ".log")));
    // Descriptors 0 and 1 point at /dev/null, never at a client.
    for (int fd : {0, 1}) {
        char target[256] = {};
        std::string link = "/proc/" + std::to_string(child) + "/fd/" + std::to_string(fd);
        ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0) << link;
        EXPECT_STREQ(target, "/dev/null");
    }
    // A new session.
    EXPECT_EQ(getsid(child), child);
    EXPECT_TRUE(kiv::authenticatePassword("alice", "x").ok());
    EXPECT_EQ(d.terminate(), 0);
}

TEST(Startup, SocketIsReachableByEveryone) {
    DaemonOptions opts;
    opts.modules = {module("pam", "kivmodpam.so")};
    opts.config = baseConfig("methods=pam\n");
    Daemon d(opts);
    START_DAEMON(d);
    struct stat st;
    ASSERT_EQ(stat(kivtest::kSocketPath, &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0777u);
    EXPECT_EQ(d.terminate(), 0);
}
