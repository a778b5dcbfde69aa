// The password-file custom module (kivmodlib.so) end to end through the daemon.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "module_fixture.h"

namespace {

using kivtest::Daemon;
using modtest::allLogs;
using modtest::ask;
using modtest::has;

// Replaces the file as a deployment tool should: a new file renamed over it.
void replaceFile(const std::string &path, const std::string &text, int mode = 0600) {
    kivtest::writeFile(path + ".new", text, mode);
    ASSERT_EQ(chmod((path + ".new").c_str(), mode), 0);
    ASSERT_EQ(rename((path + ".new").c_str(), path.c_str()), 0);
}

class PasswdFileDaemon : public testing::Test {
protected:
    std::string file = kivtest::makeTempDir("passwdfile") + "/service.passwd";

    void SetUp() override {
        kivtest::writeAccountFiles("root:x:0:0:root:/root:/bin/sh\nalice:x:1001:1001::/h:/bin/sh\n",
                                   "root:*:19000:0:99999:7:::\nalice:" + kivtest::cryptHash("Al1ce-pw") +
                                       ":19000:0:99999:7:::\n",
                                   "root:x:0:\nsvcs:x:70:alice,batch\nops:x:71:batch\nnope:x:72:batchjob\n");
    }
    kivtest::DaemonOptions options() const {
        return modtest::options("kivmodlib.so", "custom pw", "PASSWDFILE_PATH=" + file + "\n");
    }
};

TEST_F(PasswdFileDaemon, AuthenticatesFromTheFile) {
    const std::string hash = kivtest::cryptHash("B4tch-pw", "$y$");
    replaceFile(file, "# service accounts\nbatch:" + hash + ":2001:2000\nreport:{CRYPT}" +
                          kivtest::cryptHash("R3port-pw", "$5$") + ":2002:2000\nnot a valid line\nbad:x:twelve:1\n"
                          "locked:!" + hash + ":2003:2000\nbatch:" + kivtest::cryptHash("other") + ":2999:2999\n");
    Daemon d(options());
    ASSERT_TRUE(d.start()) << d.lastError();
    kiv::Reply r = ask("batch", "B4tch-pw");
    ASSERT_EQ(r.code, AUTH_OK) << kiv::resultName(r.code);
    EXPECT_EQ(r.uid, 2001);
    // The entry's gid first, then the /etc/group groups naming the user exactly.
    ASSERT_FALSE(r.groups.empty());
    EXPECT_EQ(r.groups.front(), 2000);
    std::sort(r.groups.begin(), r.groups.end());
    EXPECT_EQ(r.groups, (std::vector<int>{70, 71, 2000}));

    EXPECT_EQ(ask("report", "R3port-pw").code, AUTH_OK);
    EXPECT_EQ(ask("batch", "other").code, AUTH_NOAUTH);   // the repeated line is ignored
    EXPECT_EQ(ask("batch", "").code, AUTH_NOAUTH);
    EXPECT_EQ(ask("locked", "B4tch-pw").code, AUTH_NOAUTH);
    EXPECT_EQ(ask("bad", "x").code, AUTH_UNKNOWN_USER);
    EXPECT_EQ(ask("alice", "Al1ce-pw").code, AUTH_OK);   // not in the file: the next method decides
    EXPECT_EQ(d.terminate(), 0);

    const std::string logs = allLogs(d);
    EXPECT_TRUE(has(logs, "line 4 is malformed; skipped.")) << logs;
    EXPECT_TRUE(has(logs, "line 5 is malformed; skipped."));
    EXPECT_TRUE(has(logs, "line 7 repeats user batch; skipped."));
    EXPECT_TRUE(has(logs, "User locked did not authenticate. Reason: 'Account is locked.' (custom)"));
    EXPECT_TRUE(has(logs, "Authenticated user alice (pw)."));
    EXPECT_FALSE(has(logs, "B4tch-pw"));
    EXPECT_FALSE(has(logs, hash.substr(8)));
}

TEST_F(PasswdFileDaemon, FollowsChangesOfTheFile) {
    replaceFile(file, "batch:" + kivtest::cryptHash("first") + ":2001:2000\n");
    Daemon d(options());
    ASSERT_TRUE(d.start()) << d.lastError();
    EXPECT_EQ(ask("batch", "first").code, AUTH_OK);
    replaceFile(file, "batch:" + kivtest::cryptHash("second") + ":2001:2000\n");
    EXPECT_EQ(ask("batch", "first").code, AUTH_NOAUTH);
    EXPECT_EQ(ask("batch", "second").code, AUTH_OK);
    // Edited in place, same size: still noticed.
    kivtest::writeFile(file, "xatch" + kivtest::readFile(file).substr(5), 0600);
    EXPECT_EQ(ask("xatch", "second").code, AUTH_OK);
    // Made writable by others: nobody from it is trusted until it is fixed.
    ASSERT_EQ(chmod(file.c_str(), 0666), 0);
    EXPECT_EQ(ask("xatch", "second").code, AUTH_ERROR);
    ASSERT_EQ(chmod(file.c_str(), 0600), 0);
    EXPECT_EQ(ask("xatch", "second").code, AUTH_OK);
    ASSERT_EQ(unlink(file.c_str()), 0);
    EXPECT_EQ(ask("xatch", "second").code, AUTH_ERROR);
    EXPECT_EQ(d.terminate(), 0);
    EXPECT_TRUE(has(allLogs(d), "The password file is writable by others. Refusing its users until it is fixed."));
    EXPECT_TRUE(has(allLogs(d), "The password file does not exist."));
}

TEST_F(PasswdFileDaemon, UnsafeOrMissingFileStopsStartUp) {
    struct Case {
        int mode, owner;
        const char *why;   // "" = accepted
    } cases[] = {{0602, 0, "is writable by others."}, {0620, 0, ""},   // group root may write
                 {0600, 65534, "is not owned by root."}, {-1, 0, "does not exist."}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.why);
        unlink(file.c_str());
        if (c.mode >= 0) {
            replaceFile(file, "batch:" + kivtest::cryptHash("pw") + ":2001:2000\n", c.mode);
            ASSERT_EQ(chown(file.c_str(), c.owner, 0), 0);
        }
        Daemon d(options());
        if (*c.why == '\0') {
            EXPECT_TRUE(d.start()) << d.lastError();
            continue;
        }
        EXPECT_EQ(d.runToExit(), 18);
        EXPECT_TRUE(has(allLogs(d), "initialize authentication method custom: " + file + ": The password file " + c.why))
            << allLogs(d);
    }
}

} // namespace
