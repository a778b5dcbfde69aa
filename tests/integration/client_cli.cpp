// kiv-services-client end to end: against the real daemon for the answers it
// gives, against a scripted socket for the replies a daemon should never
// send, and on a pseudo-terminal for the password prompt.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "kivclient.hpp"
#include "sandbox.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<char *> argvOf(std::vector<std::string> &args) {
    std::vector<char *> v;
    for (auto &a : args) v.push_back(a.data());
    v.push_back(nullptr);
    return v;
}

using CliRun = kivtest::Captured;

// Runs the client with `input` on its standard input; kills it by pid after
// timeoutMs.
CliRun runCli(std::vector<std::string> args, const std::string &input = "", int timeoutMs = 10000) {
    args.insert(args.begin(), kivtest::binPath("kiv-services-client"));
    CliRun run = kivtest::runCaptured(args, input, {}, timeoutMs);
    if (!run.error.empty()) ADD_FAILURE() << run.error;
    return run;
}

// A socket in a fresh directory that the test scripts by hand.
class FakeServer {
public:
    explicit FakeServer(std::function<void(int)> script = nullptr) {
        dir_ = kivtest::makeTempDir("cli-fake");
        path_ = dir_ + "/sock";
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path_.c_str(), sizeof a.sun_path - 1);
        EXPECT_EQ(0, bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a));
        EXPECT_EQ(0, listen(fd_, 4));
        if (script)
            thread_ = std::thread([this, script] {
                pollfd p{fd_, POLLIN, 0};
                if (poll(&p, 1, 10000) != 1) return;
                int c = accept(fd_, nullptr, nullptr);
                if (c < 0) return;
                script(c);
                close(c);
            });
    }
    ~FakeServer() {
        if (thread_.joinable()) thread_.join();
        close(fd_);
    }
    bool connectionPending() {
        pollfd p{fd_, POLLIN, 0};
        return poll(&p, 1, 0) == 1;
    }
    const std::string &path() const { return path_; }

private:
    std::string dir_, path_;
    int fd_ = -1;
    std::thread thread_;
};

void sendWords(int fd, std::initializer_list<int32_t> ws) {
    for (int32_t w : ws) (void)!send(fd, &w, 4, MSG_NOSIGNAL);
}

// Accepts the hello and the request, then hands over to `answer`.
std::function<void(int)> afterRequest(std::function<void(int)> answer) {
    return [answer](int fd) {
        char buf[600];
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) == 1) (void)!recv(fd, buf, 8, MSG_WAITALL);
        sendWords(fd, {AUTH_OK, 0});
        if (poll(&p, 1, 5000) == 1) (void)!recv(fd, buf, sizeof buf, 0);
        answer(fd);
    };
}

std::map<std::string, std::string> fields(const std::string &out) {
    std::map<std::string, std::string> m;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        m[line.substr(0, colon)] = line.substr(std::min(line.size(), colon + 2));
    }
    return m;
}

// ------------------------------------------------------- against the daemon

class CliDaemon : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        kivtest::writeAccountFiles("root:x:0:0:root:/root:/bin/sh\n"
                                   "alice:x:1001:1001::/home/alice:/bin/sh\n",
                                   "root:*:19000:0:99999:7:::\n",
                                   "root:x:0:\nalice:x:1001:\nstaff:x:50:alice\n");
        kivtest::DaemonOptions opts;
        opts.modules = {{kivtest::testModule("pam", "kivmodpam.so"), "kivmodpam.so"},
                        {kivtest::testModule("gss", "kivmodgss.so"), "kivmodgss.so"}};
        opts.config = "daemon=no\n"
                      "debugLog=@DIR@/debug.log\n"
                      "accessLog=@DIR@/access.log\n"
                      "errorLog=@DIR@/error.log\n"
                      "methods=pam\n"
                      "pam_users=alice:ok:1001:1001::s3cret;bob:noauth;carol:expired;dave:error;frank:77\n"
                      "gss_users=alice:ok:1001:1001::tok\n";
        daemon_ = new kivtest::Daemon(opts);
        ASSERT_TRUE(daemon_->start()) << daemon_->lastError();
    }
    static void TearDownTestSuite() {
        if (!daemon_) return;
        EXPECT_EQ(0, daemon_->terminate());
        EXPECT_FALSE(kivtest::hasSanitizerReport(daemon_->stderrText())) << daemon_->stderrText();
        delete daemon_;
        daemon_ = nullptr;
    }
    void SetUp() override {
        if (!daemon_ || !daemon_->running()) GTEST_SKIP() << "daemon not running";
    }
    static kivtest::Daemon *daemon_;
};

kivtest::Daemon *CliDaemon::daemon_ = nullptr;

TEST_F(CliDaemon, SuccessPrintsUidGroupsAndName) {
    CliRun r = runCli({"--stdin", "alice"}, "s3cret\n");
    EXPECT_EQ(0, r.status) << r.out << r.err;
    auto f = fields(r.out);
    EXPECT_EQ("AUTH_OK", f["result"]);
    EXPECT_EQ("1001", f["uid"]);
    EXPECT_EQ("alice", f["name"]);
    std::istringstream gs(f["groups"]);
    std::set<std::string> groups{std::istream_iterator<std::string>(gs), {}};
    EXPECT_EQ((std::set<std::string>{"1001", "50"}), groups) << f["groups"];
}

TEST_F(CliDaemon, EachAnswerHasItsOwnExitStatus) {
    struct Case {
        std::string user, input, result;
        int status;
    } cases[] = {
        {"alice", "wrong\n", "AUTH_NOAUTH", 5},
        {"bob", "x\n", "AUTH_NOAUTH", 5},
        {"carol", "x\n", "AUTH_EXPIRED", 4},
        {"dave", "x\n", "AUTH_ERROR", 2},
        {"nobody-here", "x\n", "AUTH_UNKNOWN_USER", 6},
        {"frank", "x\n", "UNKNOWN(77)", 8},
    };
    for (const auto &c : cases) {
        CliRun r = runCli({"--stdin", c.user}, c.input);
        EXPECT_EQ(c.status, r.status) << c.user << ": " << r.out << r.err;
        EXPECT_EQ("result: " + c.result + "\n", r.out) << c.user;
    }
}

TEST_F(CliDaemon, StdinLosesOnlyTheTrailingNewline) {
    EXPECT_EQ(0, runCli({"--stdin", "alice"}, "s3cret").status);            // no newline at all
    EXPECT_EQ(0, runCli({"--stdin", "alice"}, "s3cret\nmore\n").status);    // first line only
    EXPECT_EQ(5, runCli({"--stdin", "alice"}, "s3cret\r\n").status);        // '\r' is part of it
    EXPECT_EQ(5, runCli({"--stdin", "alice"}, " s3cret\n").status);
}

TEST_F(CliDaemon, TokenFile) {
    std::string dir = kivtest::makeTempDir("cli-token");
    kivtest::writeFile(dir + "/good", "tok", 0600);
    kivtest::writeFile(dir + "/bad", "tok\n", 0600);
    CliRun r = runCli({"--token-file", dir + "/good", "alice"});
    EXPECT_EQ(0, r.status) << r.out << r.err;
    EXPECT_EQ("AUTH_OK", fields(r.out)["result"]);
    EXPECT_EQ(5, runCli({"--token-file", dir + "/bad", "alice"}).status);   // bytes as they are
    r = runCli({"--token-file", dir + "/missing", "alice"});
    EXPECT_EQ(66, r.status);
    EXPECT_EQ("", r.out);
}

TEST_F(CliDaemon, OverlongInputIsRefusedBeforeTheDaemon) {
    std::string access = kivtest::readFile(daemon_->path("access.log"));
    CliRun r = runCli({"--stdin", std::string(256, 'a')}, "s3cret\n");
    EXPECT_EQ(64, r.status);
    EXPECT_NE(std::string::npos, r.err.find("longer than 255")) << r.err;
    r = runCli({"--stdin", "alice"}, std::string(256, 'p') + "\n");
    EXPECT_EQ(64, r.status);
    EXPECT_NE(std::string::npos, r.err.find("longer than 255")) << r.err;
    EXPECT_EQ("", r.out);
    // A 255-byte name is sent and answered.
    r = runCli({"--stdin", std::string(255, 'a')}, std::string(255, 'p') + "\n");
    EXPECT_EQ(6, r.status) << r.err;
    std::string after = kivtest::readFile(daemon_->path("access.log"));
    EXPECT_EQ(std::string::npos, after.find(std::string(256, 'a')));
}

TEST(CliPrivilege, NotPrivilegedDaemon) {
    kivtest::DaemonOptions opts;
    opts.modules = {{kivtest::testModule("pam", "kivmodpam.so"), "kivmodpam.so"}};
    opts.config = "daemon=no\ndebugLog=@DIR@/debug.log\nmethods=pam\npam_users=alice:ok:1:1\n";
    // Unprivileged in every uid, so that LeakSanitizer can still check it.
    opts.euid = 4321;
    opts.ruid = 4321;
    kivtest::Daemon d(opts);
    ASSERT_TRUE(d.start()) << d.lastError();
    CliRun r = runCli({"--stdin", "alice"}, "x\n");
    EXPECT_EQ(3, r.status) << r.out << r.err;
    EXPECT_EQ("result: AUTH_NOT_PRIVILEGED\n", r.out);
    EXPECT_EQ(0, d.terminate()) << d.stderrText();
}

// ------------------------------------------------------ scripted socket

TEST(CliFake, RequestFailedAndNoDaemon) {
    FakeServer srv(afterRequest([](int fd) { sendWords(fd, {AUTH_REQUEST_FAILED, 0}); }));
    CliRun r = runCli({"--socket", srv.path(), "--stdin", "alice"}, "pw\n");
    EXPECT_EQ(7, r.status) << r.err;
    EXPECT_EQ("result: AUTH_REQUEST_FAILED\n", r.out);

    r = runCli({"--socket", "/run/no-such-socket", "--stdin", "alice"}, "pw\n");
    EXPECT_EQ(9, r.status);
    EXPECT_EQ("", r.out);
}

TEST(CliFake, MalformedSuccessIsNeverReportedAsSuccess) {
    // Announces one byte more than the fields add up to.
    FakeServer srv(afterRequest([](int fd) {
        sendWords(fd, {AUTH_OK, 20 + 5 + 1 + 1, AUTH_OK, 0, 0, 5, 0});
        (void)!send(fd, "alice\0\0", 7, MSG_NOSIGNAL);
    }));
    CliRun r = runCli({"--socket", srv.path(), "--stdin", "alice"}, "pw\n");
    EXPECT_EQ(9, r.status);
    EXPECT_EQ(std::string::npos, r.out.find("AUTH_OK")) << r.out;
    EXPECT_NE(std::string::npos, r.err.find("malformed")) << r.err;
}

TEST(CliFake, SilentDaemonTimesOut) {
    FakeServer srv([](int fd) {
        pollfd p{fd, POLLIN, 0};
        char b[8];
        if (poll(&p, 1, 5000) == 1) (void)!recv(fd, b, sizeof b, MSG_WAITALL);
        poll(&p, 1, 4000);   // never answers
    });
    auto t0 = Clock::now();
    CliRun r = runCli({"--socket", srv.path(), "--timeout", "1", "--stdin", "alice"}, "pw\n");
    EXPECT_EQ(9, r.status);
    EXPECT_NE(std::string::npos, r.err.find("timed out")) << r.err;
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(3500));
}

TEST(CliFake, RefusalsConnectNowhere) {
    FakeServer srv;
    std::string dir = kivtest::makeTempDir("cli-big");
    kivtest::writeFile(dir + "/big", std::string(kiv::wire::kMaxTokenLength + 1, 't'));
    const std::vector<std::vector<std::string>> refused = {
        {"--stdin", std::string(256, 'u')},
        {"--stdin", ""},
        {"--token-file", dir + "/big", "alice"},
    };
    for (auto args : refused) {
        args.insert(args.begin(), {"--socket", srv.path()});
        CliRun r = runCli(args, "pw\n");
        EXPECT_EQ(64, r.status) << r.err;
    }
    EXPECT_EQ(64, runCli({"--socket", srv.path(), "--stdin", "alice"}, std::string("p\0w\n", 4)).status);
    EXPECT_FALSE(srv.connectionPending());
}

TEST(CliUsage, ArgumentsAndHelp) {
    CliRun help = runCli({"--help"});
    EXPECT_EQ(0, help.status);
    EXPECT_NE(std::string::npos, help.out.find("usage: kiv-services-client"));
    EXPECT_NE(std::string::npos, help.out.find("64  usage error"));
    for (const auto &args : std::vector<std::vector<std::string>>{
             {},
             {"alice", "bob"},
             {"--bogus", "alice"},
             {"--timeout", "0", "alice"},
             {"--timeout", "5x", "alice"},
             {"--socket"},
             {"--stdin", "--token-file", "/dev/null", "alice"}}) {
        CliRun r = runCli(args);
        EXPECT_EQ(64, r.status) << testing::PrintToString(args);
        EXPECT_NE(std::string::npos, r.err.find("usage:")) << r.err;
    }
}

// ------------------------------------------------------ terminal prompt

// Runs the client on a new pseudo-terminal as its controlling terminal.
struct PtyClient {
    int master = -1, slave = -1;
    pid_t pid = -1;
    std::string seen;

    explicit PtyClient(std::vector<std::string> args) {
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
            ADD_FAILURE() << "openpty: " << std::strerror(errno);
            return;
        }
        args.insert(args.begin(), kivtest::binPath("kiv-services-client"));
        auto argv = argvOf(args);
        pid = fork();
        if (pid == 0) {
            setsid();
            ioctl(slave, TIOCSCTTY, 0);
            dup2(slave, 0);
            dup2(slave, 1);
            dup2(slave, 2);
            close(master);
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    ~PtyClient() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (master >= 0) close(master);
        if (slave >= 0) close(slave);
    }
    // Reads the terminal until `text` shows up or timeoutMs passes.
    bool readUntil(const std::string &text, int timeoutMs = 5000) {
        return kivtest::waitFor([&] {
            pollfd p{master, POLLIN, 0};
            while (poll(&p, 1, 0) == 1) {
                char buf[512];
                ssize_t r = read(master, buf, sizeof buf);
                if (r <= 0) break;
                seen.append(buf, static_cast<size_t>(r));
            }
            return seen.find(text) != std::string::npos;
        }, timeoutMs);
    }
    bool echoOn() {
        termios t;
        return tcgetattr(slave, &t) == 0 && (t.c_lflag & ECHO);
    }
    // Exit status, -2 for death by signal (with *sig set), -1 on timeout.
    int wait(int *sig = nullptr, int timeoutMs = 10000) {
        int st = 0;
        if (!kivtest::waitFor([&] { return waitpid(pid, &st, WNOHANG) == pid; }, timeoutMs)) return -1;
        pid = -1;
        if (WIFSIGNALED(st)) {
            if (sig) *sig = WTERMSIG(st);
            return -2;
        }
        return WEXITSTATUS(st);
    }
};

TEST_F(CliDaemon, TerminalPasswordIsNotEchoedAndEchoComesBack) {
    PtyClient c({"alice"});
    ASSERT_TRUE(c.echoOn());
    ASSERT_TRUE(c.readUntil("Password: ")) << c.seen;
    EXPECT_TRUE(kivtest::waitFor([&] { return !c.echoOn(); }, 2000));
    ASSERT_EQ(7, write(c.master, "s3cret\n", 7));
    ASSERT_TRUE(c.readUntil("name: alice")) << c.seen;
    EXPECT_EQ(0, c.wait());
    EXPECT_EQ(std::string::npos, c.seen.find("s3cret")) << c.seen;
    EXPECT_TRUE(c.echoOn());
}

TEST(CliTerminal, InterruptAtThePromptRestoresEcho) {
    PtyClient c({"--socket", "/run/unused", "alice"});
    ASSERT_TRUE(c.readUntil("Password: ")) << c.seen;
    ASSERT_TRUE(kivtest::waitFor([&] { return !c.echoOn(); }, 2000));
    kill(c.pid, SIGINT);
    int sig = 0;
    EXPECT_EQ(-2, c.wait(&sig));
    EXPECT_EQ(SIGINT, sig);
    EXPECT_TRUE(c.echoOn());
}

TEST(CliTerminal, OverlongPasswordAtThePrompt) {
    FakeServer srv;
    PtyClient c({"--socket", srv.path(), "alice"});
    ASSERT_TRUE(c.readUntil("Password: ")) << c.seen;
    ASSERT_TRUE(kivtest::waitFor([&] { return !c.echoOn(); }, 2000));
    std::string line = std::string(300, 'p') + "\n";
    ASSERT_EQ(static_cast<ssize_t>(line.size()), write(c.master, line.data(), line.size()));
    EXPECT_EQ(64, c.wait());
    EXPECT_TRUE(c.readUntil("longer than 255")) << c.seen;
    EXPECT_TRUE(c.echoOn());
    EXPECT_FALSE(srv.connectionPending());
    EXPECT_EQ(std::string::npos, c.seen.find("ppp")) << c.seen;
}

TEST(CliTerminal, NoTerminalAndNoStdinFlag) {
    // Without a controlling terminal there is nothing to prompt on.
    pid_t pid = fork();
    if (pid == 0) {
        setsid();
        int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 0);
        dup2(devnull, 1);
        dup2(devnull, 2);
        std::string bin = kivtest::binPath("kiv-services-client");
        execl(bin.c_str(), bin.c_str(), "alice", static_cast<char *>(nullptr));
        _exit(127);
    }
    int st = 0;
    if (!kivtest::waitFor([&] { return waitpid(pid, &st, WNOHANG) == pid; }, 10000)) {
        kill(pid, SIGKILL);
        waitpid(pid, &st, 0);
        FAIL() << "client hung without a terminal";
    }
    EXPECT_TRUE(WIFEXITED(st));
    EXPECT_EQ(66, WEXITSTATUS(st));
}

} // namespace
