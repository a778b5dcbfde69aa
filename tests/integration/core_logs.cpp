// What the running daemon writes to its logs, and with which file modes.
#include <sys/stat.h>

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
    Daemon d(pamDaemon("LDAP_HOST_PW=s3cret-service\ndebugNoPasswords=no\n"));
    START_DAEMON(d);
    EXPECT_EQ(d.terminate(), 0);
    std::string debug = dumpFile(d, "debug.log");
    EXPECT_NE(debug.find("Show passwords in log."), std::string::npos);
    EXPECT_NE(debug.find("Config: LDAP_HOST_PW s3cret-service"), std::string::npos);
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
    ASSERT_EQ(stat(d.path("a.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    ASSERT_EQ(stat(d.path("e.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
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
