// Logs: path check, opening from the configuration, line format, sinks,
// escaping, modes and the syslog fallbacks.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "log.h"
#include "methods.h"
#include "syslog_capture.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

// An owned configuration list built from pairs; entry 0 is "program".
class ConfigList {
public:
    explicit ConfigList(const Pairs &pairs) {
        entries_.push_back({strdup("program"), strdup("kiv-services-daemon")});
        for (const auto &[k, v] : pairs) entries_.push_back({strdup(k.c_str()), strdup(v.c_str())});
    }
    ~ConfigList() {
        for (ConfigEntry &e : entries_) {
            free(e.key);
            free(e.value);
        }
    }
    ConfigEntry *data() { return entries_.data(); }
    int size() const { return static_cast<int>(entries_.size()); }

private:
    std::vector<ConfigEntry> entries_;
};

std::string readText(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

// The message part of a log line (after "<time> [<tid>] ").
std::string body(const std::string &line) {
    size_t pos = line.find("] ");
    return pos == std::string::npos ? line : line.substr(pos + 2);
}

std::vector<std::string> bodies(const std::string &path) {
    std::vector<std::string> out;
    for (const std::string &l : lines(readText(path))) out.push_back(body(l));
    return out;
}

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

mode_t modeOf(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

class Logs : public testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kivlogXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        oldUmask_ = umask(0);  // as the daemon runs
    }
    void TearDown() override {
        closeLogs();
        umask(oldUmask_);
        std::string cmd = "rm -rf '" + dir_ + "'";
        [[maybe_unused]] int rc = system(cmd.c_str());
    }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    void init(const Pairs &pairs, AuthLog *log = nullptr) {
        ConfigList list(pairs);
        AuthLog local{};
        initLogs(list.data(), list.size(), log ? log : &local);
    }

    std::string dir_;
    mode_t oldUmask_ = 0;
};

TEST(LogPath, PrefixTable) {
    int n = 0;
    for (; pathPrefixList[n].length != 0; ++n)
        EXPECT_EQ(static_cast<size_t>(pathPrefixList[n].length), strlen(pathPrefixList[n].prefix)) << n;
    EXPECT_EQ(n, 33);
    EXPECT_STREQ(pathPrefixList[6].prefix, "/sbin");
    EXPECT_STREQ(pathPrefixList[32].prefix, "/usr/xpg4/");
}

TEST(LogPath, SystemDirectoriesAreRefused) {
    struct Case {
        const char *path;
        int index;
    } cases[] = {
        {"/bin/x", 1},          {"/etc/kivsd.log", 3},  {"/proc/x", 6},
        {"/sbin.log", 7},       {"/sbin/x", 7},         {"/sbinx/y", 7},
        {"/usr/lib/x.log", 16}, {"/usr/xpg4/x", 33},    {"/usr/include/a", 14},
        {"/etc/", 0},           {"/etc", 0},            {"/sbin", 0},
        {"//etc/x", 0},         {"etc/x", 0},           {"/var/log/kivsd.log", 0},
        {"/usr/libexec/x", 0},  {"/usr/local/x", 0},    {"/tmp/../etc/x", 0},
        {"/ETC/x", 0},          {"", 0},
    };
    for (const Case &c : cases) EXPECT_EQ(validateLogPath(c.path), c.index) << c.path;
}

TEST_F(Logs, LineFormatAndPidExpansion) {
    init({{"debugLog", path("debug.%d.log")}});
    std::string file = path("debug." + std::to_string(getpid()) + ".log");
    ASSERT_NE(debugLog, nullptr);
    debugMessage("hello %s %d", "world", 42);
    // Flushed at once: visible before the log is closed.
    std::vector<std::string> got = lines(readText(file));
    ASSERT_EQ(got.size(), 1u);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(got[0], m, std::regex(R"(\d{8}-\d{2}:\d{2}:\d{2} \[(\d+)\] hello world 42)")))
        << got[0];
    EXPECT_EQ(std::stol(m[1]), static_cast<long>(gettid()));

    // Another thread's line carries that thread's id.
    pid_t other = 0;
    std::thread t([&] {
        other = gettid();
        debugMessage("from thread");
    });
    t.join();
    got = lines(readText(file));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_NE(got[1].find("[" + std::to_string(other) + "] from thread"), std::string::npos) << got[1];
}

TEST_F(Logs, PercentSignsAndRefusedConversions) {
    init({{"errorLog", path("error.log")},
          {"debugLog", path("a%s.log")},
          {"debugLog", path("b%d%d.log")},
          {"debugLog", path("c%5d.log")},
          {"debugLog", path("d%n.log")},
          {"debugLog", path("e%")},
          {"accessLog", path("%%lit%%d.log")}});
    EXPECT_EQ(debugLog, nullptr);
    ASSERT_NE(accessLog, nullptr);
    EXPECT_TRUE(exists(path("%lit%d.log")));
    std::vector<std::string> err = bodies(path("error.log"));
    ASSERT_EQ(err.size(), 5u);
    const char *names[] = {"a%s.log", "b%d%d.log", "c%5d.log", "d%n.log", "e%"};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(err[i], "Invalid log file name " + path(names[i]) + ": only one %d is allowed");
}

TEST_F(Logs, OverlongExpansionIsRefused) {
    std::string longDir = std::string(1020, 'x');  // 1025 and more with the pid
    init({{"errorLog", path("error.log")}, {"debugLog", "/tmp/" + longDir + "%d"}});
    EXPECT_EQ(debugLog, nullptr);
    std::vector<std::string> err = bodies(path("error.log"));
    ASSERT_EQ(err.size(), 1u);
    EXPECT_EQ(err[0].rfind("Invalid log file name /tmp/xxx", 0), 0u) << err[0];
}

TEST_F(Logs, SystemDirectoryOpenFailureAndDuplicates) {
    init({{"errorLog", path("error.log")},
          {"debugLog", "/proc/kivsd.log"},
          {"debugLog", path("missing-dir/debug.log")},
          {"DEBUGLOG", path("debug.log")},
          {"debuglog", path("second.log")},
          {"accessLog", path("access.log")},
          {"errorLog", path("error2.log")}});
    ASSERT_NE(debugLog, nullptr);
    EXPECT_FALSE(exists(path("second.log")));
    std::vector<std::string> err = bodies(path("error.log"));
    ASSERT_EQ(err.size(), 4u);
    EXPECT_EQ(err[0], "Cannot create log file /proc/kivsd.log in system directory");
    EXPECT_EQ(err[1], "Could not open debug log file " + path("missing-dir/debug.log"));
    EXPECT_EQ(err[2], "Multiple debugLog lines found in config file. Ignored: " + path("second.log"));
    EXPECT_EQ(err[3], "Multiple errorLog lines found in config file. Ignored: " + path("error2.log"));
    // The debug log opened after the first two problems; it saw the rest.
    std::vector<std::string> dbg = bodies(path("debug.log"));
    ASSERT_EQ(dbg.size(), 2u);
    EXPECT_EQ(dbg[0], err[2]);
}

TEST_F(Logs, ModesAndTruncation) {
    // A leftover world-writable log is truncated and loses its write bits.
    std::ofstream(path("access.log")) << "old contents\n";
    chmod(path("access.log").c_str(), 0666);
    std::ofstream(path("debug.log")) << "old debug\n";
    chmod(path("debug.log").c_str(), 0666);
    init({{"debugLog", path("debug.log")}, {"accessLog", path("access.log")}, {"errorLog", path("error.log")}});
    EXPECT_EQ(modeOf(path("debug.log")), 0600u);
    EXPECT_EQ(modeOf(path("access.log")), 0644u);
    EXPECT_EQ(modeOf(path("error.log")), 0644u);
    EXPECT_EQ(readText(path("access.log")), "");
    EXPECT_EQ(readText(path("debug.log")), "");
}

TEST_F(Logs, DebugLogOwner) {
    init({{"debugLog", path("d1.log")}, {"logOwner", "77"}, {"logOwner", "1234"}});
    struct stat st;
    ASSERT_EQ(stat(path("d1.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, getegid());
    closeLogs();

    ASSERT_EQ(chown(path("d1.log").c_str(), 55, -1), 0);
    std::ofstream(path("d2.log")) << "";
    ASSERT_EQ(chown(path("d2.log").c_str(), 55, -1), 0);
    init({{"debugLog", path("d2.log")}, {"logOwner", "kiv"}});
    ASSERT_EQ(stat(path("d2.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
}

TEST_F(Logs, SinksOfEachMessageFunction) {
    init({{"debugLog", path("debug.log")}});
    accessMessage("access only debug");
    EXPECT_EQ(bodies(path("debug.log")), (std::vector<std::string>{"access only debug"}));
    closeLogs();

    init({{"debugLog", path("debug.log")}, {"accessLog", path("access.log")}, {"errorLog", path("error.log")}});
    debugMessage("d %d", 1);
    accessMessage("a %d", 2);
    warningMessage("w %d", 3);
    errorMessage("e %d", 4);
    EXPECT_EQ(bodies(path("debug.log")), (std::vector<std::string>{"d 1", "a 2", "w 3", "e 4"}));
    EXPECT_EQ(bodies(path("access.log")), (std::vector<std::string>{"a 2"}));
    EXPECT_EQ(bodies(path("error.log")), (std::vector<std::string>{"w 3", "e 4"}));

    closeLogs();
    EXPECT_EQ(debugLog, nullptr);
    EXPECT_EQ(accessLog, nullptr);
    EXPECT_EQ(errorLog, nullptr);
    EXPECT_EQ(bodies(path("debug.log")).back(), "Closing logs.");
    debugMessage("after close");  // dropped, no crash
    EXPECT_EQ(bodies(path("debug.log")).back(), "Closing logs.");
}

TEST_F(Logs, ControlCharactersCannotStartALine) {
    init({{"debugLog", path("debug.log")}, {"accessLog", path("access.log")}});
    std::string forged = "mallory\n20240101-00:00:00 [1] User root authenticated\r\t\x01\x1b[2J\x7f";
    accessMessage("User %s failed", forged.c_str());
    accessMessage("%s", "back\\slash caf\xc3\xa9 100%");
    std::vector<std::string> got = bodies(path("access.log"));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0],
              "User mallory\\n20240101-00:00:00 [1] User root authenticated\\r\\t\\x01\\x1b[2J\\x7f failed");
    EXPECT_EQ(got[1], "back\\slash caf\xc3\xa9 100%");
    EXPECT_EQ(bodies(path("debug.log")), got);

    // A NUL produced by the format cannot cut the line short either.
    debugMessage("a%cb", 0);
    EXPECT_EQ(bodies(path("debug.log")).back(), "a\\x00b");
}

TEST_F(Logs, LongMessagesAreWrittenWhole) {
    init({{"debugLog", path("debug.log")}});
    std::string big(10000, 'z');
    debugMessage("<%s>", big.c_str());
    EXPECT_EQ(bodies(path("debug.log")), (std::vector<std::string>{"<" + big + ">"}));
}

TEST_F(Logs, Switches) {
    struct Case {
        Pairs pairs;
        int showPasswords;
        int disableGss;
    } cases[] = {
        {{}, 0, 0},
        {{{"debugNoPasswords", "true"}}, 0, 0},
        {{{"debugNoPasswords", "TRUE"}}, 0, 0},
        {{{"debugNoPasswords", "false"}}, 1, 0},
        {{{"debugNoPasswords", "no"}}, 1, 0},
        {{{"debugNoPasswords", "0"}}, 1, 0},
        {{{"debugNoPasswords", " true"}}, 1, 0},
        {{{"debugNoPasswords", "false"}, {"DEBUGNOPASSWORDS", "true"}}, 0, 0},
        {{{"disableGSS", "yes"}}, 0, 1},
        {{{"disableGSS", "Y"}}, 0, 1},
        {{{"disablegss", "1"}}, 0, 1},
        {{{"disableGSS", "true"}}, 0, 0},
        {{{"disableGSS", "1"}, {"disableGSS", "no"}}, 0, 1},
    };
    for (const Case &c : cases) {
        AuthLog log{};
        disableGSS = 0;
        init(c.pairs, &log);
        EXPECT_EQ(log.showPasswords, c.showPasswords) << (c.pairs.empty() ? "" : c.pairs[0].second);
        EXPECT_EQ(disableGSS, c.disableGss) << (c.pairs.empty() ? "" : c.pairs[0].second);
    }
    disableGSS = 0;
}

TEST_F(Logs, LinesOfConcurrentWritersNeverMix) {
    init({{"debugLog", path("debug.log")}});
    constexpr int kThreads = 8, kLines = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) debugMessage("writer %d line %d %s", t, i, "payload-payload-payload");
        });
    for (std::thread &t : threads) t.join();
    std::vector<std::string> got = lines(readText(path("debug.log")));
    ASSERT_EQ(got.size(), static_cast<size_t>(kThreads * kLines));
    std::regex shape(R"(\d{8}-\d{2}:\d{2}:\d{2} \[\d+\] writer \d line \d+ payload-payload-payload)");
    for (const std::string &l : got) ASSERT_TRUE(std::regex_match(l, shape)) << l;
}

TEST(LogSyslog, FallbacksWhenNoErrorLogIsOpen) {
    auto cap = kivtest::captureSyslog([] {
        errorMessage("disk %s is on fire\nforged line", "sda");
        warningMessage("careful %d", 7);
        errorMessage("%s", std::string(5000, 'e').c_str());
    });
    ASSERT_TRUE(cap.ok) << cap.error;
    ASSERT_EQ(cap.messages.size(), 3u);

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
}

TEST(LogSyslog, ReportsBeforeTheErrorLogGoToSyslog) {
    char tmpl[] = "/tmp/kivlogXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    auto cap = kivtest::captureSyslog([&] {
        // Should the check fail, nothing may land in the host's /etc or /.
        if (mount("none", "/etc", "tmpfs", 0, nullptr) != 0) _exit(4);
        ConfigList list({{"debugLog", "/etc/kivsd.log"}, {"errorLog", dir + "/error.log"},
                         {"accessLog", "/sbin-no-such-dir/a.log"}});
        AuthLog log{};
        initLogs(list.data(), list.size(), &log);
        closeLogs();
    });
    ASSERT_TRUE(cap.ok) << cap.error;
    ASSERT_EQ(cap.messages.size(), 1u);
    EXPECT_EQ(kivtest::syslogText(cap.messages[0]), "Cannot create log file /etc/kivsd.log in system directory");
    EXPECT_EQ(bodies(dir + "/error.log"),
              (std::vector<std::string>{"Cannot create log file /sbin-no-such-dir/a.log in system directory"}));
    std::string cmd = "rm -rf '" + dir + "'";
    [[maybe_unused]] int rc = system(cmd.c_str());
}

} // namespace
