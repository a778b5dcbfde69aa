// The credential step through the daemon: configured with
// "mapr_generate_credentials" and "mapr_home", it runs the tool after each
// successful authentication, and the reply is a success whatever the tool does.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "kivclient.hpp"
#include "mapr_standin.h"
#include "sandbox.h"

using maprtest::all;
using maprtest::one;

namespace {

using kivtest::Daemon;
using kivtest::DaemonOptions;

bool has(const std::string &text, const std::string &needle) { return text.find(needle) != std::string::npos; }

// Zombie children of pid, from /proc.
std::vector<int> zombiesOf(pid_t pid) {
    std::vector<int> zombies;
    DIR *proc = opendir("/proc");
    if (proc == nullptr) return zombies;
    while (dirent *e = readdir(proc)) {
        int child = atoi(e->d_name);
        if (child <= 0) continue;
        std::string stat = kivtest::readFile("/proc/" + std::string(e->d_name) + "/stat");
        size_t close = stat.rfind(')');
        if (close == std::string::npos || close + 4 >= stat.size()) continue;
        char state = stat[close + 2];
        int parent = atoi(stat.c_str() + close + 4);
        if (parent == pid && state == 'Z') zombies.push_back(child);
    }
    closedir(proc);
    return zombies;
}

class MaprDaemon : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = kivtest::makeTempDir("mapr-daemon");
        ASSERT_FALSE(root_.empty());
        ASSERT_EQ(chmod(root_.c_str(), 0755), 0);
        home_ = root_ + "/alice";
        ASSERT_EQ(mkdir(home_.c_str(), 0755), 0);
        ASSERT_EQ(chown(home_.c_str(), 1001, 1001), 0);
        kivtest::writeAccountFiles(
            "root:x:0:0:root:/root:/bin/sh\n"
            "alice:x:1001:1001::" + home_ + ":/bin/sh\n",
            "root:*:19000:0:99999:7:::\n"
            "alice:" + kivtest::cryptHash("Al1ce-pw") + ":19000:0:99999:7:::\n",
            "root:x:0:\nalice:x:1001:\nstaff:x:50:alice\n");
    }

    // A MapR installation reached through a symbolic link, with or without the tool.
    std::string install(bool withTool) {
        std::string real = root_ + "/mapr-6";
        EXPECT_EQ(mkdir(real.c_str(), 0755), 0);
        EXPECT_EQ(mkdir((real + "/bin").c_str(), 0755), 0);
        if (withTool) {
            EXPECT_EQ(symlink(maprtest::toolTarget().c_str(), (real + "/bin/maprlogin").c_str()), 0);
        }
        EXPECT_EQ(symlink(real.c_str(), (root_ + "/mapr").c_str()), 0);
        return real;
    }

    DaemonOptions options() const {
        DaemonOptions opts;
        opts.modules = {{kivtest::testModule("pam", "kivmodpam.so"), "kivmodpam.so"}};
        opts.config = "daemon=no\n"
                      "debugLog=@DIR@/debug.log\n"
                      "accessLog=@DIR@/access.log\n"
                      "errorLog=@DIR@/error.log\n"
                      "methods=pw pam\n"
                      // Known only to the second method, not to the password database.
                      "pam_users=ldaponly:ok:7001:7001::L1dap-pw\n"
                      "mapr_generate_credentials=yes\n"
                      "mapr_home=" + root_ + "/mapr/\n";
        return opts;
    }

    int ask(const std::string &user, const std::string &password) {
        kiv::Result r = kiv::authenticatePassword(user, password);
        EXPECT_TRUE(r.reply.has_value()) << r.error;
        return r.reply ? r.reply->code : -1;
    }

    std::string root_, home_;
};

TEST_F(MaprDaemon, ToolRunsAfterEachSuccessAndNeverChangesTheReply) {
    std::string real = install(true);
    kivtest::writeFile(home_ + "/control", "out=ticket stored\nexit=5\n");
    Daemon d(options());
    ASSERT_TRUE(d.start()) << d.lastError();

    EXPECT_EQ(ask("alice", "Al1ce-pw"), AUTH_OK);
    EXPECT_EQ(ask("ldaponly", "L1dap-pw"), AUTH_OK);
    EXPECT_EQ(ask("alice", "wrong"), AUTH_NOAUTH);
    EXPECT_TRUE(zombiesOf(d.servingPid()).empty());
    EXPECT_EQ(d.terminate(), 0);
    EXPECT_FALSE(kivtest::hasSanitizerReport(d.stderrText())) << d.stderrText();

    maprtest::Record rec = maprtest::parseRecord(kivtest::readFile(home_ + "/record"));
    EXPECT_EQ(all(rec, "arg"),
              (std::vector<std::string>{maprtest::kToolArgv0, "password", "-user", "alice"}));
    EXPECT_EQ(one(rec, "stdin"), "Al1ce-pw");
    EXPECT_EQ(one(rec, "euid"), "1001");
    EXPECT_EQ(one(rec, "egid"), "1001");
    EXPECT_EQ(one(rec, "groups"), "50,1001");
    EXPECT_EQ(one(rec, "umask"), "0022");
    EXPECT_TRUE(all(rec, "fd").empty()) << testing::PrintToString(all(rec, "fd"));

    std::string debug = kivtest::readFile(d.path("debug.log"));
    std::string errors = kivtest::readFile(d.path("error.log"));
    EXPECT_TRUE(has(debug, "MapR credentials generation enabled"));
    EXPECT_TRUE(has(debug, "mapr_home was canonicalized to '" + real + "'"));
    EXPECT_TRUE(has(debug, "[child] execve-ing maprLogin at '" + real + "/bin/maprlogin'"));
    EXPECT_TRUE(has(debug, "ticket stored"));
    EXPECT_EQ(maprtest::countOf(debug, "maprlogin child exited with rc"), 1u);
    EXPECT_TRUE(has(debug, "maprlogin child exited with rc 1280"));  // exit 5
    EXPECT_TRUE(has(errors, "POSIX user 'ldaponly' was not found")) << errors;
    EXPECT_FALSE(has(debug, "Al1ce-pw")) << "password in the debug log";
    std::string access = kivtest::readFile(d.path("access.log"));
    EXPECT_TRUE(has(access, "Authenticated user alice (pw)."));
    EXPECT_TRUE(has(access, "Authenticated user ldaponly (pam)."));
}

TEST_F(MaprDaemon, MissingToolIsReportedAtStartUpAndAtEveryAuthentication) {
    std::string real = install(false);
    Daemon d(options());
    ASSERT_TRUE(d.start()) << d.lastError();
    EXPECT_EQ(ask("alice", "Al1ce-pw"), AUTH_OK);
    EXPECT_EQ(ask("alice", "Al1ce-pw"), AUTH_OK);
    EXPECT_TRUE(zombiesOf(d.servingPid()).empty());
    EXPECT_EQ(d.terminate(), 0);
    EXPECT_FALSE(kivtest::hasSanitizerReport(d.stderrText())) << d.stderrText();

    std::string errors = kivtest::readFile(d.path("error.log"));
    EXPECT_TRUE(has(errors, "maprlogin was not found at '" + real + "/bin/maprlogin'")) << errors;
    EXPECT_EQ(maprtest::countOf(errors, "[child] execve failed: 2 - No such file or directory"), 2u)
        << errors;
    std::string debug = kivtest::readFile(d.path("debug.log"));
    EXPECT_EQ(maprtest::countOf(debug, "maprlogin child exited with rc 26624"), 2u);  // 104 << 8
}

} // namespace
