// Logs: path check, opening from the configuration, line format, sinks,
// escaping, modes and the syslog fallbacks.
#include <gtest/gtest.h>
#include <fcntl.h>
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
    // User names tried (and mistyped passwords) end up in these: 0640.
    EXPECT_EQ(statOf(path("debug.log")).st_mode & 07777, 0600u);
    EXPECT_EQ(statOf(path("access.log")).st_mode & 07777, 0640u);
    EXPECT_EQ(statOf(path("error.log")).st_mode & 07777, 0640u);
    EXPECT_EQ(statOf(path("access.log")).st_size, 0);
    EXPECT_EQ(statOf(path("debug.log")).st_uid, 1234u);
    EXPECT_EQ(statOf(path("debug.log")).st_gid, getegid());
    EXPECT_EQ(statOf(path("access.log")).st_uid, 0u);
    closeLogs();

    init({{"debugLog", path("debug.log")}, {"logOwner", "kiv"}});  // not a number: root
    EXPECT_EQ(statOf(path("debug.log")).st_uid, 0u);
}

TEST_F(Logs, PlantedLinksFifosAndDirectoriesAreRefused) {
    // Someone who can write the log directory plants names pointing at a
    // root file; with logOwner set it must not be truncated, chmod-ed or
    // chown-ed.
    const std::string victim = path("victim");
    std::ofstream(victim) << "root secret\n";
    ASSERT_EQ(chmod(victim.c_str(), 0600), 0);
    ASSERT_EQ(symlink(victim.c_str(), path("debug.log").c_str()), 0);
    ASSERT_EQ(link(victim.c_str(), path("access.log").c_str()), 0);
    ASSERT_EQ(mkfifo(path("fifo.log").c_str(), 0666), 0);
    ASSERT_EQ(mkdir(path("dir.log").c_str(), 0755), 0);
    init({{"errorLog", path("error.log")},
          {"debugLog", path("debug.log")},
          {"accessLog", path("access.log")},
          {"logOwner", "4242"}});
    EXPECT_EQ(debugLog, nullptr);
    EXPECT_EQ(accessLog, nullptr);
    closeLogs();
    init({{"errorLog", path("error2.log")}, {"debugLog", path("fifo.log")}, {"accessLog", path("dir.log")}});
    EXPECT_EQ(debugLog, nullptr);  // and the open did not wait for a reader
    EXPECT_EQ(accessLog, nullptr);

    struct stat st = statOf(victim);
    EXPECT_EQ(kivtest::readText(victim), "root secret\n");
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(logMessages(path("error.log")),
              (Lines{"Refusing log file " + path("debug.log") + ": it is a symbolic link",
                     "Could not open debug log file " + path("debug.log"),
                     "Refusing log file " + path("access.log") + ": it has 2 links",
                     "Could not open access log file " + path("access.log")}));
    Lines err2 = logMessages(path("error2.log"));
    ASSERT_EQ(err2.size(), 2u);
    EXPECT_EQ(err2[0], "Could not open debug log file " + path("fifo.log"));
    EXPECT_EQ(err2[1], "Could not open access log file " + path("dir.log"));
}

TEST_F(Logs, SystemDirectoryRuleAppliesToTheResolvedDirectory) {
    ASSERT_EQ(symlink("/etc", path("etc-link").c_str()), 0);
    auto cap = kivtest::captureSyslog([&] {
        // A private /etc: should the check fail, nothing lands in the host's.
        if (mount("none", "/etc", "tmpfs", 0, nullptr) != 0) _exit(4);
        init({{"errorLog", path("error.log")},
              {"debugLog", "//etc/kivsd.log"},
              {"accessLog", dir_.path() + "/../../etc/kivsd.log"},
              {"accessLog", path("etc-link/kivsd.log")},
              {"debugLog", path("ok.log")}});
        bool leaked = access("/etc/kivsd.log", F_OK) == 0;
        closeLogs();
        if (leaked) _exit(5);
    });
    ASSERT_TRUE(cap.ok) << cap.error;
    EXPECT_TRUE(cap.messages.empty());
    EXPECT_EQ(logMessages(path("error.log")),
              (Lines{"Cannot create log file //etc/kivsd.log in system directory",
                     "Cannot create log file " + dir_.path() + "/../../etc/kivsd.log in system directory",
                     "Cannot create log file " + path("etc-link/kivsd.log") + " in system directory"}));
    EXPECT_TRUE(kivtest::fileLines(path("ok.log")).size() == 1u);  // "Closing logs."
}

TEST_F(Logs, AppendModeCopyTruncateAndReopenAfterRename) {
    std::ofstream(path("access.log")) << "kept from before\n";
    std::ofstream(path("debug.log")) << "kept from before\n";
    Pairs config = {{"debugLog", path("debug.log")},
                    {"accessLog", path("access.log")},
                    {"errorLog", path("error.log")},
                    {"logOwner", "4242"},
                    {"appendLogs", "yes"}};
    init(config);
    EXPECT_EQ(logMessages(path("access.log")), Lines{"kept from before"});
    accessMessage("a long line that is there before the copy-and-truncate");
    // copytruncate: the next line must start the file again, not land at
    // the old offset behind a run of NUL bytes.
    ASSERT_EQ(truncate(path("access.log").c_str(), 0), 0);
    accessMessage("after truncate");
    std::string text = kivtest::readText(path("access.log"));
    EXPECT_EQ(text.find('\0'), std::string::npos);
    EXPECT_EQ(logMessages(path("access.log")), Lines{"after truncate"});

    // Rename and reopen, as logrotate does; a name planted meanwhile as a
    // link is refused and that log stays on its old file.
    for (const char *name : {"access.log", "debug.log", "error.log"})
        ASSERT_EQ(rename(path(name).c_str(), path(std::string(name) + ".1").c_str()), 0);
    ASSERT_EQ(symlink(path("victim").c_str(), path("error.log").c_str()), 0);
    reopenLogs();
    accessMessage("after reopen");
    errorMessage("error after reopen");
    EXPECT_EQ(logMessages(path("access.log")), Lines{"after reopen"});
    EXPECT_EQ(logMessages(path("access.log.1")), Lines{"after truncate"});
    EXPECT_EQ(logMessages(path("debug.log")),
              (Lines{"Refusing log file " + path("error.log") + ": it is a symbolic link",
                     "Could not reopen error log file " + path("error.log"), "after reopen",
                     "error after reopen"}));
    Lines err = logMessages(path("error.log.1"));
    EXPECT_EQ(err.back(), "error after reopen");
    EXPECT_NE(access(path("victim").c_str(), F_OK), 0);
    EXPECT_EQ(statOf(path("access.log")).st_mode & 07777, 0640u);
    EXPECT_EQ(statOf(path("debug.log")).st_mode & 07777, 0600u);
    EXPECT_EQ(statOf(path("debug.log")).st_uid, 4242u);
    closeLogs();

    // Without appendLogs (or with an unrecognised value) start-up truncates.
    config.back().second = "sometimes";
    ASSERT_EQ(unlink(path("error.log").c_str()), 0);
    init(config);
    accessMessage("fresh");
    EXPECT_EQ(logMessages(path("access.log")), Lines{"fresh"});
    EXPECT_EQ(logMessages(path("error.log")),
              Lines{"Invalid value for appendLogs: sometimes (yes or no); logs are truncated"});
}

TEST_F(Logs, AccessLinesReachSyslogOnlyWhenAsked) {
    auto cap = kivtest::captureSyslog([&] {
        init({{"accessLog", path("access.log")}, {"errorLog", path("error.log")}, {"accessSyslog", "YES"}});
        accessMessage("Authenticated user %s (pw).", "alice\nx");
        closeLogs();
        init({{"accessLog", path("access2.log")}, {"errorLog", path("error2.log")}, {"accessSyslog", "maybe"}});
        accessMessage("Unknown user bob");
        closeLogs();
        init({{"accessLog", path("access3.log")}});
        accessMessage("Unknown user carol");
    });
    ASSERT_TRUE(cap.ok) << cap.error;
    ASSERT_EQ(cap.messages.size(), 1u);
    const std::string &msg = cap.messages[0];
    EXPECT_EQ(msg.substr(0, 4), "<86>") << msg;  // LOG_AUTHPRIV | LOG_INFO
    EXPECT_TRUE(std::regex_search(msg, std::regex(R"( kiv-services-daemon\[\d+\]: )"))) << msg;
    EXPECT_EQ(kivtest::syslogText(msg), "Authenticated user alice\\nx (pw).");
    EXPECT_EQ(logMessages(path("access.log")), Lines{"Authenticated user alice\\nx (pw)."});
    EXPECT_EQ(logMessages(path("error2.log")),
              Lines{"Invalid value for accessSyslog: maybe (yes or no); access lines stay out of syslog"});
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
    // A literal backslash-n must not read like an escaped newline.
    accessMessage("%s", "alice\\nFAKE caf\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x94\x91 100%");
    // Raw C1 bytes, invalid, overlong, surrogate, cut-off and UTF-8 encoded C1.
    accessMessage("%s", "\x9b" "2J|\xff|\xc0\xaf|\xed\xa0\x80|\xe6\x97|\xc2\x9b|\xc2\xa0");
    debugMessage("a%cb", 0);  // a NUL cannot cut the line short either
    std::string big(10000, 'z');
    debugMessage("<%s>", big.c_str());
    Lines want = {"User mallory\\n20240101-00:00:00 [1] User root ok\\r\\t\\x01\\x1b[2J\\x7f failed",
                  "alice\\\\nFAKE caf\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x94\x91 100%",
                  "\\x9b2J|\\xff|\\xc0\\xaf|\\xed\\xa0\\x80|\\xe6\\x97|\\xc2\\x9b|\xc2\xa0"};
    EXPECT_EQ(logMessages(path("access.log")), want);
    want.push_back("a\\x00b");
    want.push_back("<" + big + ">");
    EXPECT_EQ(logMessages(path("debug.log")), want);
}

TEST_F(Logs, PasswordAndGssSwitches) {
    // Passwords show only for an explicit no; anything unrecognised hides
    // them and says so.
    struct Case {
        Pairs pairs;
        int showPasswords;
        int disableGss;
        bool warns;
    } cases[] = {
        {{}, 0, 0, false},
        {{{"debugNoPasswords", "TRUE"}}, 0, 0, false},
        {{{"debugNoPasswords", "yes"}}, 0, 0, false},
        {{{"debugNoPasswords", "On"}}, 0, 0, false},
        {{{"debugNoPasswords", "1"}}, 0, 0, false},
        {{{"debugNoPasswords", "false"}}, 1, 0, false},
        {{{"debugNoPasswords", "NO"}}, 1, 0, false},
        {{{"debugNoPasswords", "off"}}, 1, 0, false},
        {{{"debugNoPasswords", "0"}}, 1, 0, false},
        {{{"debugNoPasswords", " true"}}, 0, 0, true},
        {{{"debugNoPasswords", "nope"}}, 0, 0, true},
        {{{"debugNoPasswords", "false"}, {"DEBUGNOPASSWORDS", "true"}}, 0, 0, false},
        {{{"debugNoPasswords", "yes"}, {"debugNoPasswords", "no"}}, 1, 0, false},
        {{{"disableGSS", "yes"}}, 0, 1, false},
        {{{"disableGSS", "Y"}}, 0, 1, false},
        {{{"disablegss", "1"}, {"disableGSS", "no"}}, 0, 1, false},
        {{{"disableGSS", "true"}}, 0, 0, false},
    };
    for (const Case &c : cases) {
        AuthLog log{};
        disableGSS = 0;
        Pairs pairs = {{"errorLog", path("error.log")}};
        pairs.insert(pairs.end(), c.pairs.begin(), c.pairs.end());
        init(pairs, &log);
        closeLogs();
        std::string label = c.pairs.empty() ? "" : c.pairs[0].first + "=" + c.pairs[0].second;
        EXPECT_EQ(log.showPasswords, c.showPasswords) << label;
        EXPECT_EQ(disableGSS, c.disableGss) << label;
        Lines want;
        if (c.warns)
            want.push_back("Invalid value for debugNoPasswords: " + c.pairs[0].second +
                           " (yes or no); passwords are hidden");
        EXPECT_EQ(logMessages(path("error.log")), want) << label;
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
