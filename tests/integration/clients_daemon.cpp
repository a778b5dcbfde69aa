// The three clients against the real daemon: libkivclient's C API (in
// process, and a C program built with pkg-config against a staged install),
// pam_kiv.so driven by pamtester, and the Python client.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <kivclient.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "sandbox.h"

namespace {

using Clock = std::chrono::steady_clock;
using kivtest::Daemon;
using kivtest::DaemonOptions;

const std::string kAlicePw = "Al1ce-pw";
const std::string kLong255(255, 'n');
const std::string kLong256(256, 'n');

long msSince(Clock::time_point t) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

bool has(const std::string &text, const std::string &needle) { return text.find(needle) != std::string::npos; }

void writeAccounts() {
    long today = static_cast<long>(std::time(nullptr) / 86400);
    std::string alice = kivtest::cryptHash(kAlicePw), carl = kivtest::cryptHash("C4rl-pw"),
                longPw = kivtest::cryptHash("L0ng-pw");
    kivtest::writeAccountFiles("root:x:0:0:root:/root:/bin/sh\n"
                               "alice:x:1001:1001::/home/alice:/bin/sh\n"
                               "carl:x:1005:1005::/home/carl:/bin/sh\n" +
                                   kLong255 + ":x:1006:1006::/home/long:/bin/sh\n",
                               "root:*:19000:0:99999:7:::\n"
                               "alice:" + alice + ":" + std::to_string(today - 1) + ":0:99999:7:::\n"
                               "carl:" + carl + ":0:0:99999:7:::\n" +   // must change the password
                                   kLong255 + ":" + longPw + ":" + std::to_string(today - 1) + ":0:99999:7:::\n",
                               "root:x:0:\nalice:x:1001:\nstaff:x:50:alice\n");
}

DaemonOptions pwDaemon() {
    DaemonOptions o;
    o.config = "daemon=no\ndebugLog=@DIR@/debug.log\naccessLog=@DIR@/access.log\nerrorLog=@DIR@/error.log\n"
               "methods=pw\n";
    return o;
}

using ProcRun = kivtest::Captured;

// Runs argv[0] (searched in PATH) with `input` on stdin and extra environment;
// killed by pid after timeoutMs.
ProcRun run(const std::vector<std::string> &args, const std::string &input = "",
            const std::map<std::string, std::string> &env = {}, int timeoutMs = 30000) {
    ProcRun r = kivtest::runCaptured(args, input, env, timeoutMs);
    if (!r.error.empty()) ADD_FAILURE() << r.error;
    return r;
}

struct CAnswer {
    int rc = 0;
    kiv_result *r = nullptr;
    ~CAnswer() { kiv_result_free(r); }
};

void askC(CAnswer &a, const std::string &user, const std::string &pw, const char *sock = nullptr,
          int timeoutMs = 5000) {
    a.rc = kiv_authenticate(sock, user.c_str(), pw.data(), pw.size(), 0, timeoutMs, &a.r);
}

// A listener served by a child process (so that it is not this process), which
// answers the handshake, reads the request and sends `reply`, or nothing.
class ChildServer {
public:
    explicit ChildServer(const std::string &reply, bool silent = false) {
        path_ = kivtest::makeTempDir("kivclient-fake") + "/sock";
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path_.c_str(), sizeof a.sun_path - 1);
        EXPECT_EQ(0, bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a));
        int ready[2];
        EXPECT_EQ(0, pipe(ready));
        pid_ = fork();
        if (pid_ == 0) {
            alarm(20);
            listen(fd, 2);   // the listener's credentials are the child's
            (void)!write(ready[1], "r", 1);
            int c = accept(fd, nullptr, nullptr);
            char buf[512];
            int32_t hello[2] = {KIV_AUTH_OK, 0};
            (void)!read(c, buf, 8);
            (void)!write(c, hello, sizeof hello);
            (void)!read(c, buf, sizeof buf);
            if (!silent) (void)!write(c, reply.data(), reply.size());
            (void)!read(c, buf, sizeof buf);
            _exit(0);
        }
        close(fd);
        char b;
        EXPECT_EQ(1, read(ready[0], &b, 1));
        close(ready[0]);
        close(ready[1]);
    }
    ~ChildServer() {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    const char *path() const { return path_.c_str(); }

private:
    std::string path_;
    pid_t pid_ = -1;
};

std::string words(std::initializer_list<int32_t> ws) {
    std::string s;
    for (int32_t w : ws) s.append(reinterpret_cast<const char *>(&w), 4);
    return s;
}

// ---------------------------------------------------------------- PAM helpers

std::string pamModule() { return kivtest::binPath("pam_kiv.so"); }

// /etc/pam.d of this namespace becomes a private directory holding only the
// services the tests write.
void writePamService(const std::string &service, const std::string &text) {
    std::string dir, error;
    ASSERT_TRUE(kivtest::privatePamDir(&dir, &error)) << error;
    kivtest::writeFile(dir + "/" + service, text);
}

ProcRun pamtester(const std::string &service, const std::string &user, const std::string &input,
              const std::vector<std::string> &ops = {"authenticate", "acct_mgmt"}) {
    std::vector<std::string> args = {"pamtester", service, user};
    args.insert(args.end(), ops.begin(), ops.end());
    std::map<std::string, std::string> env;
    // Under ASan pamtester needs the runtime first, and libcrypt loaded at
    // start so that the runtime's crypt interceptor finds it (pam_unix).
    if (*KIV_ASAN_PRELOAD)
        env = {{"LD_PRELOAD", std::string(KIV_ASAN_PRELOAD) + " libcrypt.so.1"}, {"ASAN_OPTIONS", "detect_leaks=0"}};
    return run(args, input, env);
}

const char *kPython() { return access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3"; }

std::map<std::string, std::string> pythonEnv(const std::string &pythonPath) {
    return {{"PYTHONPATH", pythonPath}, {"PYTHONDONTWRITEBYTECODE", "1"}, {"KIVTEST_USER", "alice"},
            {"KIVTEST_PASSWORD", kAlicePw}, {"KIVTEST_UID", "1001"}, {"KIVTEST_GROUPS", "1001,50"}};
}

// ------------------------------------------------------------------- C API

TEST(ClientsC, AnswersCarryTheDaemonsRecord) {
    writeAccounts();
    Daemon d(pwDaemon());
    ASSERT_TRUE(d.start()) << d.lastError();

    CAnswer ok;
    askC(ok, "alice", kAlicePw);
    ASSERT_EQ(0, ok.rc) << kiv_strerror(ok.rc);
    ASSERT_EQ(KIV_AUTH_OK, ok.r->code) << kiv_strresult(ok.r->code);
    EXPECT_EQ(1001u, ok.r->uid);
    EXPECT_STREQ("alice", ok.r->name);
    std::vector<gid_t> groups(ok.r->groups, ok.r->groups + ok.r->ngroups);
    std::sort(groups.begin(), groups.end());
    EXPECT_EQ((std::vector<gid_t>{50, 1001}), groups);

    struct Case {
        std::string user, pw;
        int code;
    } cases[] = {{"alice", "wrong", KIV_AUTH_NOAUTH},
                 {"nosuchuser", "x", KIV_AUTH_UNKNOWN_USER},
                 {"carl", "C4rl-pw", KIV_AUTH_EXPIRED},
                 {kLong255, "L0ng-pw", KIV_AUTH_OK}};
    for (const Case &c : cases) {
        CAnswer a;
        askC(a, c.user, c.pw);
        ASSERT_EQ(0, a.rc) << c.user.substr(0, 10) << ": " << kiv_strerror(a.rc);
        EXPECT_EQ(c.code, a.r->code) << c.user.substr(0, 10) << ": " << kiv_strresult(a.r->code);
        if (c.code != KIV_AUTH_OK) {
            EXPECT_EQ(nullptr, a.r->name);
            EXPECT_EQ(0u, a.r->ngroups);
        }
    }
    EXPECT_STREQ("AUTH_NOAUTH", kiv_strresult(KIV_AUTH_NOAUTH));
}

TEST(ClientsC, NoUsableAnswerIsNeverASuccess) {
    // Refused before anything is sent.
    CAnswer tooLong, nulInside, tooLongPw;
    askC(tooLong, kLong256, "x", "/run/kiv-nowhere");
    EXPECT_EQ(KIV_EINVAL, tooLong.rc);
    askC(nulInside, "alice", std::string("a\0b", 3), "/run/kiv-nowhere");
    EXPECT_EQ(KIV_EINVAL, nulInside.rc);
    askC(tooLongPw, "alice", std::string(256, 'p'), "/run/kiv-nowhere");
    EXPECT_EQ(KIV_EINVAL, tooLongPw.rc);
    EXPECT_EQ(KIV_EINVAL, kiv_authenticate(nullptr, "alice", "x", 1, 0, 1000, nullptr));

    CAnswer unreachable;
    askC(unreachable, "alice", kAlicePw, "/run/kiv-nowhere");
    EXPECT_EQ(KIV_ECONNECT, unreachable.rc);
    EXPECT_EQ(nullptr, unreachable.r);

    {
        ChildServer silent("", true);
        CAnswer a;
        auto start = Clock::now();
        askC(a, "alice", kAlicePw, silent.path(), 300);
        EXPECT_EQ(KIV_ETIMEDOUT, a.rc);
        EXPECT_LT(msSince(start), 3000);
    }
    // Success replies whose lengths do not check out.
    const std::string name = "alice";
    std::string badSum = words({KIV_AUTH_OK, 20 + 4 + 5, KIV_AUTH_OK, 1001, 1, 5, 0, 50}) + "alice" + '\0';
    std::string hugeCount = words({KIV_AUTH_OK, 26, KIV_AUTH_OK, 1001, 0x40000000, 5, 0}) + "alice" + '\0';
    std::string otherName = words({KIV_AUTH_OK, 26, KIV_AUTH_OK, 0, 0, 5, 0}) + "admin" + '\0';
    for (const std::string &reply : {badSum, hugeCount, otherName}) {
        ChildServer fake(reply);
        CAnswer a;
        askC(a, "alice", kAlicePw, fake.path(), 2000);
        EXPECT_EQ(KIV_EPROTO, a.rc) << kiv_strerror(a.rc);
        EXPECT_EQ(nullptr, a.r);
    }
}

TEST(ClientsC, RefusesASocketServedByItsOwnProcess) {
    std::string path = kivtest::makeTempDir("kivclient-self") + "/sock";
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a));
    ASSERT_EQ(0, listen(fd, 4));
    CAnswer self;
    auto start = Clock::now();
    askC(self, "alice", kAlicePw, path.c_str(), 3000);
    EXPECT_EQ(KIV_ELOOP, self.rc) << kiv_strerror(self.rc);
    EXPECT_LT(msSince(start), 1000);   // refused at once, not after the time limit
    close(fd);
}

TEST(ClientsC, ProgramBuiltWithPkgConfigAuthenticates) {
    const std::string stage = KIV_STAGE_DIR;
    std::string lib;
    for (const char *dir : {"/lib", "/lib64", "/lib/x86_64-linux-gnu"})
        if (kivtest::fileExists(stage + dir + "/libkivclient.so.1")) lib = stage + dir;
    ASSERT_FALSE(lib.empty()) << "no libkivclient.so.1 staged under " << stage;
    writeAccounts();
    Daemon d(pwDaemon());
    ASSERT_TRUE(d.start()) << d.lastError();
    std::map<std::string, std::string> env = {{"LD_LIBRARY_PATH", lib}};
    ProcRun ok = run({stage + "/kivclient-example", "alice"}, kAlicePw + "\n", env);
    EXPECT_EQ(0, ok.status) << ok.out << ok.err;
    EXPECT_TRUE(has(ok.out, "result: AUTH_OK\nuid: 1001\n")) << ok.out;
    EXPECT_TRUE(has(ok.out, "name: alice\n")) << ok.out;
    ProcRun bad = run({stage + "/kivclient-example", "alice"}, "wrong\n", env);
    EXPECT_EQ(1, bad.status) << bad.out << bad.err;
    EXPECT_TRUE(has(bad.out, "result: AUTH_NOAUTH")) << bad.out;
}

// ------------------------------------------------------------------ pam_kiv

TEST(PamKiv, MapsTheDaemonsAnswers) {
    writeAccounts();
    Daemon d(pwDaemon());
    ASSERT_TRUE(d.start()) << d.lastError();
    const std::string mod = pamModule();
    writePamService("kiv-test", "auth required " + mod + " debug\naccount required " + mod + "\n");
    writePamService("kiv-acct", "auth required " + mod + "\naccount required " + mod + " expired=account\n");
    writePamService("kiv-down", "auth required " + mod + " socket=/run/kiv-nowhere timeout=2\n");

    ProcRun ok = pamtester("kiv-test", "alice", kAlicePw + "\n");
    EXPECT_EQ(0, ok.status) << ok.out << ok.err;
    EXPECT_TRUE(has(ok.out + ok.err, "successfully authenticated")) << ok.out << ok.err;

    ProcRun longName = pamtester("kiv-test", kLong255, "L0ng-pw\n");
    EXPECT_EQ(0, longName.status) << longName.out << longName.err;

    struct Case {
        std::string service, user, input, text;
    } refusals[] = {
        {"kiv-test", "alice", "wrong\n", "Authentication failure"},
        {"kiv-test", "nosuchuser", "x\n", "User not known to the underlying authentication module"},
        {"kiv-test", kLong256, "x\n", "User not known to the underlying authentication module"},
        {"kiv-test", "alice", "\n", "Authentication failure"},   // empty password: not sent
        {"kiv-test", "carl", "C4rl-pw\n", "Authentication token is no longer valid; new one required"},
        {"kiv-acct", "carl", "C4rl-pw\n", "User account has expired"},
        {"kiv-down", "alice", kAlicePw + "\n", "Authentication service cannot retrieve authentication info"},
    };
    for (const Case &c : refusals) {
        ProcRun r = pamtester(c.service, c.user, c.input);
        EXPECT_NE(0, r.status) << c.service << " " << c.user.substr(0, 10);
        EXPECT_TRUE(has(r.err + r.out, c.text)) << c.service << " " << c.user.substr(0, 10) << ": " << r.out << r.err;
    }
    // The password never reaches the daemon's logs or pamtester's output.
    EXPECT_FALSE(has(kivtest::readFile(d.path("debug.log")), kAlicePw));
}

TEST(PamKiv, StackedPasswordOptions) {
    writeAccounts();
    Daemon d(pwDaemon());
    ASSERT_TRUE(d.start()) << d.lastError();
    const std::string mod = pamModule();
    // pam_unix prompts first and hands its password on through PAM_AUTHTOK.
    writePamService("kiv-use", "auth optional pam_unix.so\nauth required " + mod + " use_first_pass\n");
    writePamService("kiv-try", "auth optional pam_unix.so\nauth required " + mod + " try_first_pass\n");
    writePamService("kiv-first", "auth required " + mod + " use_first_pass\n");
    const std::vector<std::string> authOnly = {"authenticate"};

    ProcRun use = pamtester("kiv-use", "alice", kAlicePw + "\n", authOnly);
    EXPECT_EQ(0, use.status) << use.out << use.err;
    // use_first_pass never prompts: without an earlier password it fails
    // even though the right one waits on stdin.
    ProcRun first = pamtester("kiv-first", "alice", kAlicePw + "\n", authOnly);
    EXPECT_NE(0, first.status) << first.out << first.err;
    // try_first_pass: the earlier (wrong) password fails, one fresh prompt.
    ProcRun tryRun = pamtester("kiv-try", "alice", "wrong\n" + kAlicePw + "\n", authOnly);
    EXPECT_EQ(0, tryRun.status) << tryRun.out << tryRun.err;
    ProcRun useWrong = pamtester("kiv-use", "alice", "wrong\n" + kAlicePw + "\n", authOnly);
    EXPECT_NE(0, useWrong.status) << useWrong.out << useWrong.err;
}

TEST(PamKiv, DaemonWhosePamStackUsesPamKivIsNotLooped) {
    writeAccounts();
    // The daemon's "pam" method runs the PAM service kiv-loop, which stacks
    // pam_kiv: a request would come back to the daemon and wait for itself.
    writePamService("kiv-loop", "auth required " + pamModule() + " timeout=20\n");
    DaemonOptions o = pwDaemon();
    o.config += "PAM_STACK_SERVICE=kiv-loop\n";
    o.config.replace(o.config.find("methods=pw"), 10, "methods=pam");
    o.modules = {{kivtest::testModule("pam_stack", "kivmodpam.so"), "kivmodpam.so"}};
    Daemon d(o);
    ASSERT_TRUE(d.start()) << d.lastError();
    for (int i = 0; i < 6; ++i) {   // more than the daemon's workers
        CAnswer a;
        auto start = Clock::now();
        askC(a, "alice", kAlicePw, nullptr, 30000);
        ASSERT_EQ(0, a.rc) << kiv_strerror(a.rc);
        EXPECT_EQ(KIV_AUTH_ERROR, a.r->code) << kiv_strresult(a.r->code);
        EXPECT_LT(msSince(start), 5000);
    }
}

// ------------------------------------------------------------------- Python

TEST(PythonClient, UnitTestsAgainstTheDaemon) {
    writeAccounts();
    Daemon d(pwDaemon());
    ASSERT_TRUE(d.start()) << d.lastError();
    ProcRun r = run({kPython(), "-m", "unittest", "-v", "test_kivclient"}, "",
                pythonEnv(std::string(KIV_SOURCE_DIR) + "/clients/python:" + KIV_SOURCE_DIR + "/tests/python"));
    EXPECT_EQ(0, r.status) << r.out << r.err;
    EXPECT_TRUE(has(r.err, "OK")) << r.err;
}

TEST(PythonClient, PipInstalledPackageAuthenticates) {
    writeAccounts();
    Daemon d(pwDaemon());
    ASSERT_TRUE(d.start()) << d.lastError();
    // pip builds in a copy: a build in the source tree leaves build/ behind.
    std::string tmp = kivtest::makeTempDir("kivclient-pip");
    ProcRun cp = run({"cp", "-r", std::string(KIV_SOURCE_DIR) + "/clients/python", tmp + "/src"});
    ASSERT_EQ(0, cp.status) << cp.err;
    ProcRun pip = run({kPython(), "-m", "pip", "install", "-q", "--no-index", "--no-build-isolation", "--target",
                   tmp + "/site", tmp + "/src"},
                  "", {{"PIP_DISABLE_PIP_VERSION_CHECK", "1"}, {"PIP_ROOT_USER_ACTION", "ignore"}}, 120000);
    ASSERT_EQ(0, pip.status) << pip.out << pip.err;
    ProcRun py = run({kPython(), "-c",
                  "import kivclient, sys; r = kivclient.authenticate('alice', sys.stdin.readline().rstrip('\\n')); "
                  "print(kivclient.result_name(r.code), r.uid, sorted(r.groups), r.name); sys.exit(0 if r.ok else 1)"},
                 kAlicePw + "\n", pythonEnv(tmp + "/site"));
    EXPECT_EQ(0, py.status) << py.out << py.err;
    EXPECT_EQ("AUTH_OK 1001 [50, 1001] alice\n", py.out);
}

// ------------------------------------------------------------ round trips

// Sequential requests through each client.  The bounds only catch a client
// that waits for something it should not (a time limit, the daemon's close);
// the figures are printed for the record.
TEST(Clients, RoundTripAtConcurrencyOne) {
    writeAccounts();
    Daemon d(pwDaemon());
    ASSERT_TRUE(d.start()) << d.lastError();
    const int n = 200;
    auto start = Clock::now();
    for (int i = 0; i < n; ++i) {
        CAnswer a;
        askC(a, "alice", kAlicePw);
        ASSERT_TRUE(a.rc == 0 && a.r->code == KIV_AUTH_OK);
    }
    double cMs = static_cast<double>(msSince(start)) / n;

    std::string loop = "import kivclient, time\nn = " + std::to_string(n) +
                       "\nt = time.monotonic()\nfor _ in range(n):\n"
                       "    assert kivclient.authenticate('alice', '" + kAlicePw + "').ok\n"
                       "print('%.3f' % ((time.monotonic() - t) * 1000 / n))\n";
    ProcRun py = run({kPython(), "-c", loop}, "", pythonEnv(std::string(KIV_SOURCE_DIR) + "/clients/python"));
    ASSERT_EQ(0, py.status) << py.err;
    double pyMs = std::stod(py.out);

    const std::string mod = pamModule();
    writePamService("kiv-rtt", "auth required " + mod + "\naccount required " + mod + "\n");
    const int m = 20;
    start = Clock::now();
    for (int i = 0; i < m; ++i) ASSERT_EQ(0, pamtester("kiv-rtt", "alice", kAlicePw + "\n").status);
    double pamMs = static_cast<double>(msSince(start)) / m;

    std::printf("round trip at concurrency 1 (methods=pw, sha512-crypt):\n"
                "  C library, in process:      %.3f ms per request (%d requests)\n"
                "  Python client, in process:  %.3f ms per request (%d requests)\n"
                "  pamtester + pam_kiv:        %.3f ms per run, process start included (%d runs)\n",
                cMs, n, pyMs, n, pamMs, m);
    EXPECT_LT(cMs, 250);
    EXPECT_LT(pyMs, 250);
    EXPECT_LT(pamMs, 1500);
}

} // namespace
