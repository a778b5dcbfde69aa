// The password-file custom module (kivmodlib.so) end to end through the daemon.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "kivclient.h"
#include "sandbox.h"
#include "verify.h"

namespace {

using kivtest::Daemon;
using kivtest::DaemonOptions;

std::string base64(const std::string &in) {
    static const char *abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < in.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(in[i]) << 16;
        if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
        if (i + 2 < in.size()) v |= static_cast<unsigned char>(in[i + 2]);
        out += abc[(v >> 18) & 63];
        out += abc[(v >> 12) & 63];
        out += i + 1 < in.size() ? abc[(v >> 6) & 63] : '=';
        out += i + 2 < in.size() ? abc[v & 63] : '=';
    }
    return out;
}

// "{SSHA}" directory value: base64(SHA-1(password + salt) + salt).
std::string sshaValue(const std::string &password, const std::string &salt) {
    std::string input = password + salt;
    unsigned char digest[21];
    sha1Crypt(reinterpret_cast<const unsigned char *>(input.data()), static_cast<int>(input.size()), digest);
    return "{SSHA}" + base64(std::string(reinterpret_cast<char *>(digest), 20) + salt);
}

// Replaces the file the way an editor or a deployment tool should: a new
// file renamed over the old one, so the daemon never reads half of it.
void replaceFile(const std::string &path, const std::string &text, int mode = 0600) {
    kivtest::writeFile(path + ".new", text, mode);
    ASSERT_EQ(chmod((path + ".new").c_str(), mode), 0);
    ASSERT_EQ(rename((path + ".new").c_str(), path.c_str()), 0);
}

kiv::Reply ask(const std::string &user, const std::string &password) {
    kiv::Result r = kiv::authenticatePassword(user, password);
    EXPECT_TRUE(r.reply.has_value()) << r.error;
    return r.reply.value_or(kiv::Reply{});
}

bool has(const std::string &text, const std::string &needle) { return text.find(needle) != std::string::npos; }

std::string allLogs(const Daemon &d) {
    return kivtest::readFile(d.path("debug.log")) + kivtest::readFile(d.path("access.log")) +
           kivtest::readFile(d.path("error.log")) + d.stderrText();
}

class PasswdFileDaemon : public testing::Test {
protected:
    std::string dir = kivtest::makeTempDir("passwdfile");
    std::string file = dir + "/service.passwd";

    void SetUp() override {
        kivtest::writeAccountFiles("root:x:0:0:root:/root:/bin/sh\nalice:x:1001:1001::/home/alice:/bin/sh\n",
                                   "root:*:19000:0:99999:7:::\nalice:" + kivtest::cryptHash("Al1ce-pw") +
                                       ":19000:0:99999:7:::\n",
                                   "root:x:0:\nsvcs:x:70:alice,batch\nops:x:71:batch\nnope:x:72:batchjob\n");
    }

    DaemonOptions options(const std::string &extra = "") const {
        DaemonOptions opts;
        opts.modules = {{kivtest::binPath("kivmodlib.so"), "kivmodlib.so"}};
        opts.config = "daemon=no\ndebugLog=@DIR@/debug.log\naccessLog=@DIR@/access.log\nerrorLog=@DIR@/error.log\n"
                      "methods=custom pw\nPASSWDFILE_PATH=" + file + "\n" + extra;
        return opts;
    }
};

TEST_F(PasswdFileDaemon, AuthenticatesFromTheFile) {
    const std::string batchHash = kivtest::cryptHash("B4tch-pw", "$y$");
    replaceFile(file, "# service accounts\n"
                      "batch:" + batchHash + ":2001:2000\n"
                      "report:" + sshaValue("R3port-pw", "salt1234") + ":2002:2000\n"
                      "not a valid line\n"
                      "bad:x:twelve:1\n"
                      "locked:!" + batchHash + ":2003:2000\n"
                      "batch:" + kivtest::cryptHash("other") + ":2999:2999\n");
    Daemon d(options());
    ASSERT_TRUE(d.start()) << d.lastError();

    kiv::Reply r = ask("batch", "B4tch-pw");
    ASSERT_EQ(r.code, AUTH_OK) << kiv::resultName(r.code);
    EXPECT_EQ(r.uid, 2001);
    // The entry's gid first, then the /etc/group groups naming the user exactly.
    ASSERT_FALSE(r.groups.empty());
    EXPECT_EQ(r.groups.front(), 2000);
    std::vector<int> groups = r.groups;
    std::sort(groups.begin(), groups.end());
    EXPECT_EQ(groups, (std::vector<int>{70, 71, 2000}));

    EXPECT_EQ(ask("report", "R3port-pw").code, AUTH_OK);
    EXPECT_EQ(ask("batch", "other").code, AUTH_NOAUTH);   // the repeated line is ignored
    EXPECT_EQ(ask("batch", "").code, AUTH_NOAUTH);
    EXPECT_EQ(ask("locked", "B4tch-pw").code, AUTH_NOAUTH);
    EXPECT_EQ(ask("bad", "x").code, AUTH_UNKNOWN_USER);
    // Users the file does not know go on to the next method.
    EXPECT_EQ(ask("alice", "Al1ce-pw").code, AUTH_OK);
    EXPECT_EQ(d.terminate(), 0);

    const std::string logs = allLogs(d);
    EXPECT_TRUE(has(logs, "line 4 is malformed; skipped.")) << logs;
    EXPECT_TRUE(has(logs, "line 5 is malformed; skipped.")) << logs;
    EXPECT_TRUE(has(logs, "line 7 repeats user batch; skipped.")) << logs;
    EXPECT_TRUE(has(logs, "Authenticated user batch (custom).")) << logs;
    EXPECT_TRUE(has(logs, "User locked did not authenticate. Reason: 'Account is locked.' (custom)")) << logs;
    EXPECT_TRUE(has(logs, "Authenticated user alice (pw).")) << logs;
    EXPECT_FALSE(has(logs, "B4tch-pw"));
    EXPECT_FALSE(has(logs, batchHash.substr(8)));
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
    std::string text = kivtest::readFile(file);
    kivtest::writeFile(file, "xatch" + text.substr(5), 0600);
    EXPECT_EQ(ask("xatch", "second").code, AUTH_OK);

    // Made writable by others: nobody from it is trusted until it is fixed.
    ASSERT_EQ(chmod(file.c_str(), 0666), 0);
    EXPECT_EQ(ask("xatch", "second").code, AUTH_ERROR);
    ASSERT_EQ(chmod(file.c_str(), 0600), 0);
    EXPECT_EQ(ask("xatch", "second").code, AUTH_OK);

    ASSERT_EQ(unlink(file.c_str()), 0);
    EXPECT_EQ(ask("xatch", "second").code, AUTH_ERROR);
    EXPECT_EQ(d.terminate(), 0);
    const std::string logs = allLogs(d);
    EXPECT_TRUE(has(logs, "The password file is writable by others. Refusing its users until it is fixed.")) << logs;
    EXPECT_TRUE(has(logs, "The password file does not exist.")) << logs;
}

TEST_F(PasswdFileDaemon, UnsafeOrMissingFileStopsStartUp) {
    struct Case {
        int mode, owner;
        bool present;
        const char *why;
    } cases[] = {{0602, 0, true, "is writable by others."},
                 {0620, 0, true, ""},   // group root may write
                 {0600, 65534, true, "is not owned by root."},
                 {0600, 0, false, "does not exist."}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.why);
        unlink(file.c_str());
        if (c.present) {
            replaceFile(file, "batch:" + kivtest::cryptHash("pw") + ":2001:2000\n", c.mode);
            ASSERT_EQ(chown(file.c_str(), c.owner, 0), 0);
        }
        Daemon d(options());
        if (*c.why == '\0') {
            EXPECT_TRUE(d.start()) << d.lastError();
            continue;
        }
        EXPECT_EQ(d.runToExit(), 18);
        EXPECT_TRUE(has(allLogs(d), "Could not initialize authentication method custom: " + file + ": The password file " +
                                        c.why))
            << allLogs(d);
    }
}

} // namespace
