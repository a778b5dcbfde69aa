// What the running daemon writes to its logs, and with which file modes.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include <regex>
#include <sstream>

#include "core_common.h"

using namespace coretest;

namespace {

DaemonOptions pamDaemon(const std::string &extra) {
    DaemonOptions opts;
    opts.modules = {module("pam", "kivmodpam.so")};
    opts.config = baseConfig("methods=pam\n" + extra);
    return opts;
}

} // namespace

TEST(Logs, LineFormatBannerAndSettingsDump) {
    standardAccounts();
    Daemon d(pamDaemon("LDAP_HOST_PW=s3cret-service\npam_users=alice:ok:1001:1001\n"));
    START_DAEMON(d);
    ASSERT_TRUE(kiv::authenticatePassword("alice", "pw").ok());
    EXPECT_EQ(d.terminate(), 0);

    std::string debug = dumpFile(d, "debug.log");
    std::istringstream lines(debug);
    std::string line;
    const std::regex prefix(R"(^\d{8}-\d\d:\d\d:\d\d \[\d+\] .*$)");
    int count = 0;
    while (std::getline(lines, line)) {
        ++count;
        EXPECT_TRUE(std::regex_match(line, prefix)) << line;
    }
    EXPECT_GT(count, 20);
    EXPECT_NE(debug.find("=====KIV Services Daemon======"), std::string::npos);
    EXPECT_NE(debug.find("kiv-services-daemon: Process:" + std::to_string(d.pid()) + "  Started by: "),
              std::string::npos);
    EXPECT_NE(debug.find("kiv-services-daemon: buildVersion=v100k1a"), std::string::npos);
    EXPECT_NE(debug.find("Not showing passwords in log."), std::string::npos);
    EXPECT_NE(debug.find("Config: program kiv-services-daemon"), std::string::npos);
    EXPECT_NE(debug.find("Config: LDAP_HOST_PW XXXX"), std::string::npos);
    EXPECT_EQ(debug.find("s3cret-service"), std::string::npos);
    EXPECT_NE(debug.find("pam: scripted-test-module-1"), std::string::npos) << "BuildVersion is logged";
    EXPECT_NE(debug.find("Using standard unixGetGroups for method pam"), std::string::npos);
    EXPECT_NE(debug.find("kiv-services-daemon shutting down."), std::string::npos);
    EXPECT_NE(debug.find("Closing logs."), std::string::npos);
    // The worker's thread id, not the process id, prefixes request lines.
    std::smatch m;
    std::string accessLine = debug.substr(debug.find("Authenticated user alice (pam).") - 40, 40);
    ASSERT_TRUE(std::regex_search(accessLine, m, std::regex(R"(\[(\d+)\] $)")));
    EXPECT_NE(m[1].str(), std::to_string(d.pid()));
    EXPECT_NE(dumpFile(d, "access.log").find("Authenticated user alice (pam)."), std::string::npos);
    EXPECT_CLEAN(d);
}

TEST(Logs, PasswordsShownOnlyWhenAsked) {
    for (const auto &[value, shown] : {std::pair{"no", true}, std::pair{"yes", false}}) {
        Daemon d(pamDaemon("LDAP_HOST_PW=s3cret-service\ndebugNoPasswords=" + std::string(value) + "\n"));
        START_DAEMON(d);
        EXPECT_EQ(d.terminate(), 0);
        std::string debug = dumpFile(d, "debug.log");
        EXPECT_EQ(debug.find("Show passwords in log.") != std::string::npos, shown) << value;
        EXPECT_EQ(debug.find("Config: LDAP_HOST_PW s3cret-service") != std::string::npos, shown) << value;
    }
}

TEST(Logs, FileModesAndPidExpansion) {
    DaemonOptions opts = pamDaemon("");
    opts.config = "daemon=no\nmethods=pam\ndebugLog=@DIR@/d.%d.log\naccessLog=@DIR@/a.log\nerrorLog=@DIR@/e.log\n";
    Daemon d(opts);
    START_DAEMON(d);
    std::string debugPath = d.path("d." + std::to_string(d.pid()) + ".log");
    struct stat st;
    ASSERT_EQ(stat(debugPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // Not writable by other local users, who could otherwise forge records.
    // Not readable by them either: user names tried, mistyped passwords among them.
    ASSERT_EQ(stat(d.path("a.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    ASSERT_EQ(stat(d.path("e.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(d.terminate(), 0);
}

TEST(Logs, SystemPathsAndBadNamesAreRefused) {
    DaemonOptions opts = pamDaemon("");
    opts.config = "daemon=no\nmethods=pam\nerrorLog=@DIR@/e.log\ndebugLog=/etc/kivsd-test.log\n"
                  "accessLog=@DIR@/a.%s.log\ndebugLog=@DIR@/d.log\n";
    Daemon d(opts);
    START_DAEMON(d);
    EXPECT_EQ(d.terminate(), 0);
    EXPECT_FALSE(kivtest::fileExists("/etc/kivsd-test.log"));
    std::string errors = dumpFile(d, "e.log");
    EXPECT_NE(errors.find("Cannot create log file /etc/kivsd-test.log in system directory"), std::string::npos)
        << errors;
    // A conversion other than %d is never handed to a formatter.
    EXPECT_NE(errors.find("a.%s.log"), std::string::npos) << errors;
    EXPECT_FALSE(kivtest::fileExists(d.path("a.%s.log")));
    // The refused debugLog entry does not stop a later one from opening.
    EXPECT_TRUE(kivtest::fileExists(d.path("d.log")));
}

TEST(Logs, ClientTextCannotStartANewLine) {
    standardAccounts();
    Daemon d(pamDaemon("pam_users=alice:ok:1001:1001\n"));
    START_DAEMON(d);
    kiv::Result r = kiv::authenticatePassword("mallory\n20990101-00:00:00 [1] Authenticated user root (pw).", "x");
    ASSERT_TRUE(r.reply.has_value()) << r.error;
    EXPECT_EQ(r.reply->code, AUTH_UNKNOWN_USER);
    EXPECT_EQ(d.terminate(), 0);
    std::string access = dumpFile(d, "access.log");
    EXPECT_EQ(access.find("\n20990101"), std::string::npos) << access;
    EXPECT_EQ(countOf(access, "\n"), 1) << access;
    EXPECT_NE(access.find("Unknown user mallory"), std::string::npos);
}

namespace {

// A file's contents; gzip-compressed rotations are read through zcat.
std::string rotatedText(const std::string &path) {
    if (path.size() < 3 || path.compare(path.size() - 3, 3, ".gz") != 0) return readFile(path);
    std::string text;
    FILE *p = popen(("zcat '" + path + "'").c_str(), "r");
    if (p == nullptr) return text;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) text.append(buf, n);
    pclose(p);
    return text;
}

} // namespace

TEST(Logs, LogrotateUnderLoadLosesNoLine) {
    // The shipped snippet, pointed at this daemon's logs: rename, then
    // SIGHUP through the pid file, while clients keep authenticating.
    standardAccounts();
    DaemonOptions opts = pamDaemon("");
    opts.config = "daemon=yes\nmethods=pam\npam_users=alice:ok:1001:1001\n"
                  "debugLog=@DIR@/logs/debug.log\naccessLog=@DIR@/logs/access.log\n"
                  "errorLog=@DIR@/logs/error.log\n";
    Daemon d(opts);
    ASSERT_EQ(mkdir(d.path("logs").c_str(), 0755), 0);
    std::string snippet = readFile(std::string(KIV_SOURCE_DIR) + "/config/logrotate.d/kiv-services-daemon");
    const std::string shipped = "/var/log/kiv-services-daemon/*.log";
    ASSERT_NE(snippet.find(shipped), std::string::npos);
    snippet.replace(snippet.find(shipped), shipped.size(), d.path("logs") + "/*.log");
    kivtest::writeFile(d.path("logrotate.conf"), snippet, 0644);
    START_DAEMON(d);

    std::atomic<bool> stop{false};
    std::atomic<int> ok{0}, failed{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 4; ++i)
        clients.emplace_back([&] {
            while (!stop) (kiv::authenticatePassword("alice", "pw").ok() ? ok : failed)++;
        });
    const std::string rotate = "timeout 30 logrotate -f -s '" + d.path("logrotate.state") + "' '" +
                               d.path("logrotate.conf") + "'";
    int rotations = 0;
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        if (std::system(rotate.c_str()) == 0) ++rotations;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    stop = true;
    for (std::thread &t : clients) t.join();
    EXPECT_EQ(rotations, 3);
    // SIGHUP neither ended the daemon nor removed its socket.
    EXPECT_TRUE(d.running());
    EXPECT_TRUE(kivtest::fileExists(kivtest::kSocketPath));
    EXPECT_EQ(failed, 0);
    ASSERT_GT(ok, 100);
    RecordProperty("requests", ok.load());
    EXPECT_EQ(d.terminate(), 0);

    struct stat st;
    ASSERT_EQ(stat(d.path("logs/access.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    for (const char *log : {"access", "debug"}) {
        std::string all;
        int files = 0;
        for (const char *suffix : {".log", ".log.1", ".log.2.gz", ".log.3.gz"}) {
            std::string path = d.path(std::string("logs/") + log + suffix);
            if (!kivtest::fileExists(path)) continue;
            ++files;
            std::string text = rotatedText(path);
            EXPECT_EQ(text.find('\0'), std::string::npos) << path;
            EXPECT_GT(countOf(text, "Authenticated user alice (pam)."), 0) << path;
            all += text;
        }
        EXPECT_EQ(files, 4) << log;
        EXPECT_EQ(countOf(all, "Authenticated user alice (pam)."), ok.load()) << log;
    }
    EXPECT_CLEAN(d);
}
