// Logs: path check, opening from the configuration, line format, sinks,
// escaping, modes and the syslog fallbacks.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "log.h"
#include "log_files.h"
#include "methods.h"
#include "syslog_capture.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;
using Lines = std::vector<std::string>;
using kivtest::logMessages;

struct stat statOf(const std::string &path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st;
}

class Logs : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.ok());
        oldUmask_ = umask(0);  // as the daemon runs
    }
    void TearDown() override {
        closeLogs();
        umask(oldUmask_);
    }
    std::string path(const std::string &name) const { return dir_ / name; }
    void init(const Pairs &pairs, AuthLog *log = nullptr) {
        kivtest::ConfigList list(pairs);
        AuthLog local{};
        initLogs(list.data(), list.size(), log ? log : &local);
    }

    kivtest::TempDir dir_;
    mode_t oldUmask_ = 0;
};

TEST(LogPath, SystemDirectoriesAreRefused) {
    int n = 0;
    for (; pathPrefixList[n].length != 0; ++n)
        EXPECT_EQ(static_cast<size_t>(pathPrefixList[n].length), strlen(pathPrefixList[n].prefix)) << n;
    EXPECT_EQ(n, 33);

    const std::pair<const char *, int> cases[] = {
        {"/bin/x", 1},          {"/etc/kivsd.log", 3}, {"/proc/x", 6},       {"/sbin.log", 7},
        {"/sbinx/y", 7},        {"/usr/lib/x.log", 16}, {"/usr/xpg4/x", 33}, {"/usr/include/a", 14},
        {"/etc/", 0},           {"/sbin", 0},          {"//etc/x", 0},       {"etc/x", 0},
        {"/usr/libexec/x", 0},  {"/tmp/../etc/x", 0},  {"/ETC/x", 0},        {"", 0},
    };
    for (const auto &[p, index] : cases) EXPECT_EQ(validateLogPath(p), index) << p;
}

TEST_F(Logs, LineFormatPidExpansionAndThreadId) {
    init({{"debugLog", path("debug.%d.log")}});
    std::string file = path("debug." + std::to_string(getpid()) + ".log");
    debugMessage("hello %s %d", "world", 42);
    pid_t other = 0;
    std::thread([&] {
        other = gettid();
        debugMessage("from thread");
    }).join();
    // Flushed at once: complete before the log is closed.
    Lines got = kivtest::fileLines(file);
    ASSERT_EQ(got.size(), 2u);
    std::regex shape(R"(\d{8}-\d{2}:\d{2}:\d{2} \[(\d+)\] (.*))");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(got[0], m, shape)) << got[0];
    EXPECT_EQ(std::stoi(m[1]), gettid());
    EXPECT_EQ(m[2], "hello world 42");
    ASSERT_TRUE(std::regex_match(got[1], m, shape)) << got[1];
    EXPECT_EQ(std::stoi(m[1]), other);
}

TEST_F(Logs, AForkedChildLogsItsOwnThreadId) {
    // Detaching forks after the first lines are written; the child's lines
    // must carry the child's id, not the one its parent remembered.
    init({{"debugLog", path("debug.log")}});
    debugMessage("parent");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        debugMessage("child");
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    Lines got = kivtest::fileLines(path("debug.log"));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_NE(got[0].find("[" + std::to_string(gettid()) + "] parent"), std::string::npos) << got[0];
    EXPECT_NE(got[1].find("[" + std::to_string(child) + "] child"), std::string::npos) << got[1];
}

TEST_F(Logs, LogNamesWithOtherConversionsOrTooLongAreRefused) {
    std::string tooLong = "/tmp/" + std::string(1020, 'x') + "%d";  // over 1023 with the pid
    init({{"errorLog", path("error.log")},
          {"debugLog", path("a%s.log")},
          {"debugLog", path("b%d%d.log")},
          {"debugLog", path("c%5d.log")},
          {"debugLog", path("d%n.log")},
          {"debugLog", path("e%")},
          {"debugLog", tooLong},
          {"accessLog", path("%%lit%%d.log")}});
    EXPECT_EQ(debugLog, nullptr);
    ASSERT_NE(accessLog, nullptr);
    EXPECT_EQ(statOf(path("%lit%d.log")).st_size, 0);
    Lines want;
    for (const char *name : {"a%s.log", "b%d%d.log", "c%5d.log", "d%n.log", "e%"})
        want.push_back("Invalid log file name " + path(name) + ": only one %d is allowed");
    want.push_back("Invalid log file name " + tooLong + ": longer than 1023 characters");
    EXPECT_EQ(logMessages(path("error.log")), want);
}

TEST_F(Logs, SystemDirectoryOpenFailureAndDuplicates) {
    init({{"errorLog", path("error.log")},
          {"debugLog", "/proc/kivsd.log"},
          {"debugLog", path("missing-dir/debug.log")},
          {"DEBUGLOG", path("debug.log")},
          {"debuglog", path("second.log")},
          {"errorLog", path("error2.log")}});
    ASSERT_NE(debugLog, nullptr);
    EXPECT_NE(access(path("second.log").c_str(), F_OK), 0);
    Lines err = logMessages(path("error.log"));
    EXPECT_EQ(err, (Lines{"Cannot create log file /proc/kivsd.log in system directory",
                          "Could not open debug log file " + path("missing-dir/debug.log"),
                          "Multiple debugLog lines found in config file. Ignored: " + path("second.log"),
                          "Multiple errorLog lines found in config file. Ignored: " + path("error2.log")}));
    // The debug log saw only what came after it opened.
    EXPECT_EQ(logMessages(path("debug.log")), Lines(err.begin() + 2, err.end()));
}

TEST_F(Logs, ModesOwnerAndTruncation) {
    // A leftover world-writable log is truncated and loses its write bits.
    for (const char *name : {"access.log", "debug.log"}) {
        std::ofstream(path(name)) << "old contents\n";
        ASSERT_EQ(chmod(path(name).c_str(), 0666), 0);
    }
    init({{"debugLog", path("debug.log")},
          {"accessLog", path("access.log")},
          {"errorLog", path("error.log")},
          {"logOwner", "77"},
          {"logOwner", "1234"}});
    EXPECT_EQ(statOf(path("debug.log")).st_mode & 07777, 0600u);
    EXPECT_EQ(statOf(path("access.log")).st_mode & 07777, 0644u);
    EXPECT_EQ(statOf(path("error.log")).st_mode & 07777, 0644u);
    EXPECT_EQ(statOf(path("access.log")).st_size, 0);
    EXPECT_EQ(statOf(path("debug.log")).st_uid, 1234u);
    EXPECT_EQ(statOf(path("debug.log")).st_gid, getegid());
    EXPECT_EQ(statOf(path("access.log")).st_uid, 0u);
    closeLogs();

    init({{"debugLog", path("debug.log")}, {"logOwner", "kiv"}});  // not a number: root
    EXPECT_EQ(statOf(path("debug.log")).st_uid, 0u);
}

TEST_F(Logs, SinksOfEachMessageFunction) {
    init({{"debugLog", path("debug.log")}});
    accessMessage("access with only a debug log");
    closeLogs();
    EXPECT_EQ(logMessages(path("debug.log")), (Lines{"access with only a debug log", "Closing logs."}));
    debugMessage("after close");  // dropped

    init({{"debugLog", path("debug.log")}, {"accessLog", path("access.log")}, {"errorLog", path("error.log")}});
    debugMessage("d %d", 1);
    accessMessage("a %d", 2);
    warningMessage("w %d", 3);
    errorMessage("e %d", 4);
    EXPECT_EQ(logMessages(path("debug.log")), (Lines{"d 1", "a 2", "w 3", "e 4"}));
    EXPECT_EQ(logMessages(path("access.log")), Lines{"a 2"});
    EXPECT_EQ(logMessages(path("error.log")), (Lines{"w 3", "e 4"}));
    closeLogs();
    EXPECT_TRUE(debugLog == nullptr && accessLog == nullptr && errorLog == nullptr);
}

TEST_F(Logs, ControlCharactersAreEscapedAndLongTextKept) {
    init({{"debugLog", path("debug.log")}, {"accessLog", path("access.log")}});
    accessMessage("User %s failed", "mallory\n20240101-00:00:00 [1] User root ok\r\t\x01\x1b[2J\x7f");
    accessMessage("%s", "back\\slash caf\xc3\xa9 100%");
    debugMessage("a%cb", 0);  // a NUL cannot cut the line short either
    std::string big(10000, 'z');
    debugMessage("<%s>", big.c_str());
    Lines want = {"User mallory\\n20240101-00:00:00 [1] User root ok\\r\\t\\x01\\x1b[2J\\x7f failed",
                  "back\\slash caf\xc3\xa9 100%"};
    EXPECT_EQ(logMessages(path("access.log")), want);
    want.push_back("a\\x00b");
    want.push_back("<" + big + ">");
    EXPECT_EQ(logMessages(path("debug.log")), want);
}

TEST_F(Logs, PasswordAndGssSwitches) {
    struct Case {
        Pairs pairs;
        int showPasswords;
        int disableGss;
    } cases[] = {
        {{}, 0, 0},
        {{{"debugNoPasswords", "TRUE"}}, 0, 0},
        {{{"debugNoPasswords", "false"}}, 1, 0},
        {{{"debugNoPasswords", "0"}}, 1, 0},
        {{{"debugNoPasswords", " true"}}, 1, 0},
        {{{"debugNoPasswords", "false"}, {"DEBUGNOPASSWORDS", "true"}}, 0, 0},
        {{{"disableGSS", "yes"}}, 0, 1},
        {{{"disableGSS", "Y"}}, 0, 1},
        {{{"disablegss", "1"}, {"disableGSS", "no"}}, 0, 1},
        {{{"disableGSS", "true"}}, 0, 0},
    };
    for (const Case &c : cases) {
        AuthLog log{};
        disableGSS = 0;
        init(c.pairs, &log);
        std::string label = c.pairs.empty() ? "" : c.pairs[0].first + "=" + c.pairs[0].second;
        EXPECT_EQ(log.showPasswords, c.showPasswords) << label;
        EXPECT_EQ(disableGSS, c.disableGss) << label;
    }
    disableGSS = 0;
}

TEST_F(Logs, LinesOfConcurrentWritersNeverMix) {
    init({{"debugLog", path("debug.log")}});
    constexpr int kThreads = 8, kLines = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) debugMessage("writer %d line %d %s", t, i, "payload-payload");
        });
    for (std::thread &t : threads) t.join();
    Lines got = kivtest::fileLines(path("debug.log"));
    ASSERT_EQ(got.size(), static_cast<size_t>(kThreads * kLines));
    std::regex shape(R"(\d{8}-\d{2}:\d{2}:\d{2} \[\d+\] writer \d line \d+ payload-payload)");
    for (const std::string &l : got) ASSERT_TRUE(std::regex_match(l, shape)) << l;
}

TEST(LogSyslog, FallbacksWhenNoErrorLogIsOpen) {
    kivtest::TempDir dir;
    ASSERT_TRUE(dir.ok());
    auto cap = kivtest::captureSyslog([&] {
        errorMessage("disk %s is on fire\nforged line", "sda");
        warningMessage("careful %d", 7);
        errorMessage("%s", std::string(5000, 'e').c_str());
        // Problems before the errorLog entry reach syslog, later ones the
        // file.  Should the check fail, nothing may land in the host's /etc.
        if (mount("none", "/etc", "tmpfs", 0, nullptr) != 0) _exit(4);
        kivtest::ConfigList list({{"debugLog", "/etc/kivsd.log"},
                                  {"errorLog", dir / "error.log"},
                                  {"accessLog", "/sbin-no-such-dir/a.log"}});
        AuthLog log{};
        initLogs(list.data(), list.size(), &log);
        closeLogs();
    });
    ASSERT_TRUE(cap.ok) << cap.error;
    ASSERT_EQ(cap.messages.size(), 4u);

    const std::string &err = cap.messages[0];
    EXPECT_EQ(err.substr(0, 4), "<11>") << err;  // LOG_USER | LOG_ERR
    EXPECT_TRUE(std::regex_search(err, std::regex(R"( kiv-services-daemon\[\d+\]: )"))) << err;
    EXPECT_EQ(kivtest::syslogText(err), "disk sda is on fire\\nforged line");
    // Warnings keep the process's own identity: errorMessage closed its own.
    const std::string &warn = cap.messages[1];
    EXPECT_EQ(warn.substr(0, 4), "<12>") << warn;  // LOG_USER | LOG_WARNING
    EXPECT_EQ(warn.find("kiv-services-daemon["), std::string::npos) << warn;
    EXPECT_EQ(kivtest::syslogText(warn), "[kiv-services-daemon] careful 7");
    EXPECT_EQ(kivtest::syslogText(cap.messages[2]), std::string(2047, 'e'));

    EXPECT_EQ(kivtest::syslogText(cap.messages[3]), "Cannot create log file /etc/kivsd.log in system directory");
    EXPECT_EQ(logMessages(dir / "error.log"),
              Lines{"Cannot create log file /sbin-no-such-dir/a.log in system directory"});
}

} // namespace
