// The listener as an administrator and a hostile local account meet it:
// command line, one instance, who may ask, service notices, fairness.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "core_common.h"

using namespace coretest;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uid_t kBob = 1002;  // an ordinary account of standardAccounts()

long msSince(Clock::time_point t) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

DaemonOptions pamDaemon(const std::string &extra) {
    DaemonOptions opts;
    opts.modules = {module("pam", "kivmodpam.so")};
    opts.config = baseConfig("methods=pam\npam_users=alice:ok:1001:1001\n" + extra);
    return opts;
}

int rawConnect() {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un a {};
    a.sun_family = AF_UNIX;
    strncpy(a.sun_path, kivtest::kSocketPath, sizeof a.sun_path - 1);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// In a child running as uid, gid and the supplementary groups: sends the
// opening message.  Returns 1 when the daemon answered it, 0 when it closed
// the connection unanswered, -1 on any other outcome (connect refused).
int helloAs(uid_t uid, gid_t gid, std::vector<gid_t> supplementary = {}) {
    pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(supplementary.size(), supplementary.data()) != 0 || setresgid(gid, gid, gid) != 0 ||
            setresuid(uid, uid, uid) != 0)
            _exit(3);
        int fd = rawConnect();
        if (fd < 0) _exit(4);
        auto hello = wire::encodeHello();
        // A connection closed at once may fail the send or the read.
        if (send(fd, hello.data(), hello.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(hello.size()))
            _exit(errno == EPIPE || errno == ECONNRESET ? 1 : 5);
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 5000) != 1) _exit(6);
        char reply[8];
        ssize_t n = read(fd, reply, sizeof reply);
        _exit(n == 8 ? 0 : (n == 0 || errno == ECONNRESET) ? 1 : 7);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status) == 0 ? 1 : WEXITSTATUS(status) == 1 ? 0 : -1;
}

// Sends the opening message and a request on fd and reads the answer to
// both; false when they did not come.
bool answeredRequest(int fd) {
    const auto hello = wire::encodeHello();
    auto frames = wire::encodeRequest(wire::REQUEST_PASSWORD, "alice", "x");
    frames.insert(frames.begin(), hello.begin(), hello.end());
    if (send(fd, frames.data(), frames.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frames.size())) return false;
    uint8_t buf[256];
    size_t got = 0;
    struct pollfd p = {fd, POLLIN, 0};
    while (got < 16 && poll(&p, 1, 2000) == 1) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    return got >= 16;
}

// A child, running as uid, that opens `count` connections and keeps them:
// even ones idle, odd ones trickling the opening message a byte at a time;
// or, when `answered`, each with a request answered and then left open.
// Reports how many connected (and were answered), then holds them until killed.
class Abuser {
public:
    Abuser(uid_t uid, int count, bool answered = false) {
        int report[2];
        if (pipe(report) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(report[0]);
            if (setresuid(uid, uid, uid) != 0) _exit(3);
            static int fds[1024];
            int open = 0;
            for (int i = 0; i < count && i < 1024; ++i) {
                fds[i] = rawConnect();
                if (fds[i] >= 0 && (!answered || answeredRequest(fds[i]))) ++open;
            }
            if (write(report[1], &open, sizeof open) != sizeof open) _exit(4);
            close(report[1]);
            auto hello = wire::encodeHello();
            for (size_t byte = 0;; byte = (byte + 1) % hello.size()) {
                if (answered) pause();
                for (int i = 1; i < count; i += 2)
                    if (fds[i] >= 0) (void)!send(fds[i], &hello[byte], 1, MSG_NOSIGNAL);
                usleep(300 * 1000);
            }
        }
        close(report[1]);
        struct pollfd p = {report[0], POLLIN, 0};
        if (pid_ > 0 && poll(&p, 1, 20000) == 1 && read(report[0], &connected_, sizeof connected_) != sizeof connected_)
            connected_ = -1;
        close(report[0]);
    }
    ~Abuser() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    int connected() const { return connected_; }

private:
    pid_t pid_ = -1;
    int connected_ = -1;
};

// Runs the daemon binary with arguments and collects its output.
struct Outcome {
    int status;
    std::string out, err;
};
Outcome runWith(const std::vector<std::string> &args, const std::string &config) {
    DaemonOptions opts = pamDaemon("");
    opts.config = config;
    opts.args = args;
    Daemon d(opts);
    Outcome r{d.runToExit(15000), "", d.stderrText()};
    EXPECT_CLEAN(d);
    return r;
}

} // namespace

TEST(Listener, CommandLine) {
    standardAccounts();
    Outcome help = runWith({"--help"}, baseConfig("methods=pam\n"));
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.err.find("--check-config"), std::string::npos) << help.err;  // stdout and stderr share a file
    EXPECT_FALSE(kivtest::fileExists(kivtest::kSocketPath)) << "--help must not start a daemon";

    Outcome version = runWith({"--version"}, "");
    EXPECT_EQ(version.status, 0);
    EXPECT_NE(version.err.find("buildVersion=v100k1a"), std::string::npos) << version.err;

    for (const char *bad : {"--frobnicate", "-x", "start"}) {
        Outcome r = runWith({bad}, baseConfig("methods=pam\n"));
        EXPECT_EQ(r.status, 64) << bad;
        EXPECT_NE(r.err.find("Usage:"), std::string::npos) << r.err;
    }

    // -t on a good configuration; the logs named in it are not created.
    DaemonOptions good = pamDaemon("");
    good.args = {"-t"};
    Daemon g(good);
    EXPECT_EQ(g.runToExit(15000), 0) << g.stderrText();
    EXPECT_NE(g.stderrText().find("configuration OK"), std::string::npos) << g.stderrText();
    EXPECT_FALSE(kivtest::fileExists(g.path("debug.log")));
    EXPECT_FALSE(kivtest::fileExists(kivtest::kSocketPath));

    // Every bad value is named with its key, and the status is the one
    // start-up would end with (the first failure in start-up order).
    Outcome bad = runWith({"--check-config"}, baseConfig("methods=pam\nnumThreads=abc\nclientTimeout=5s\n"
                                                     "socketMode=rw\nallowedUsers=nosuchuser\n"));
    EXPECT_EQ(bad.status, 30);
    for (const char *line : {"numThreads=abc", "clientTimeout=5s", "socketMode=rw", "allowedUsers=nosuchuser"})
        EXPECT_NE(bad.err.find(line), std::string::npos) << line << "\n" << bad.err;
    EXPECT_EQ(runWith({"-t"}, baseConfig("methods=nosuch\n")).status, 18);
}

TEST(Listener, SecondInstanceIsRefusedWithoutDisturbingTheFirst) {
    standardAccounts();
    Daemon first(pamDaemon(""));
    START_DAEMON(first);
    struct stat before;
    ASSERT_EQ(stat(kivtest::kSocketPath, &before), 0);
    ASSERT_TRUE(kiv::authenticatePassword("alice", "x").ok());

    for (const char *mode : {"daemon=no\n", "daemon=yes\n"}) {
        DaemonOptions opts = pamDaemon("");
        // The second one writes its logs over the first one's.
        opts.config = std::string(mode) + "debugLog=" + first.path("debug.log") + "\nmethods=pam\n";
        opts.besideRunningDaemon = true;
        Daemon second(opts);
        EXPECT_EQ(second.runToExit(), 36) << mode;
        EXPECT_NE(second.stderrText().find("already answers"), std::string::npos) << second.stderrText();
    }
    struct stat after;
    ASSERT_EQ(stat(kivtest::kSocketPath, &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino) << "the socket file was replaced";
    EXPECT_NE(dumpFile(first, "debug.log").find("kiv-services-daemon waiting for connections"), std::string::npos)
        << "the first daemon's log was truncated";
    EXPECT_TRUE(kiv::authenticatePassword("alice", "x").ok());
    EXPECT_EQ(first.terminate(), 0);
}

TEST(Listener, WhoMayAsk) {
    standardAccounts();
    // Only root and staff (50) can reach the socket; of those, bob (1002)
    // may ask by name and members of Mixed (60) by membership.
    Daemon d(pamDaemon("socketMode=0660\nsocketGroup=staff\nallowedUsers=bob\nallowedGroups=Mixed\n"
                       "accessLogPeer=yes\nLDAP_HOST_PW=secret\n"));
    START_DAEMON(d);
    struct stat st;
    ASSERT_EQ(stat(kivtest::kSocketPath, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    EXPECT_EQ(st.st_gid, 50u);

    EXPECT_EQ(helloAs(kBob, 1002, {50}), 1);
    EXPECT_EQ(helloAs(1001, 1001, {50, 60}), 1) << "a member of an allowed group";
    EXPECT_EQ(helloAs(1001, 1001, {50}), 0) << "neither listed nor in a listed group";
    EXPECT_EQ(helloAs(1001, 1001), -1) << "the socket's mode keeps others out";
    EXPECT_TRUE(kiv::authenticatePassword("alice", "x").ok()) << "root is always allowed";
    EXPECT_EQ(d.terminate(), 0);

    std::string access = dumpFile(d, "access.log");
    EXPECT_NE(access.find("Connection refused: peer uid 1001 pid"), std::string::npos) << access;
    EXPECT_EQ(countOf(access, "Connection refused"), 1) << access;
    EXPECT_NE(access.find("Authenticated user alice (pam). peer_uid=0 peer_pid=" + std::to_string(getpid())),
              std::string::npos)
        << access;
    std::string debug = dumpFile(d, "debug.log");
    EXPECT_NE(debug.find("from peer uid 1002 pid"), std::string::npos);
    EXPECT_NE(dumpFile(d, "error.log").find("holds LDAP_HOST_PW but is readable by group or others"),
              std::string::npos);

    // Defaults: no peer on access lines, no warning for a 0600 root file.
    Daemon plain(pamDaemon("LDAP_HOST_PW=secret\n"));
    chmod(plain.path("kiv-services-daemon.conf").c_str(), 0600);
    START_DAEMON(plain);
    EXPECT_EQ(helloAs(1001, 1001), 1);
    EXPECT_TRUE(kiv::authenticatePassword("alice", "x").ok());
    EXPECT_EQ(plain.terminate(), 0);
    EXPECT_EQ(dumpFile(plain, "access.log").find("peer_uid"), std::string::npos);
    EXPECT_EQ(dumpFile(plain, "error.log").find("LDAP_HOST_PW"), std::string::npos);
    EXPECT_CLEAN(d);
}

TEST(Listener, NotifiesTheServiceManager) {
    standardAccounts();
    const std::string path = "/run/kivtest-notify.sock";
    unlink(path.c_str());
    int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un a {};
    a.sun_family = AF_UNIX;
    strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    auto next = [&]() -> std::string {
        struct pollfd p = {sock, POLLIN, 0};
        if (poll(&p, 1, 10000) != 1) return "(nothing)";
        char buf[256];
        ssize_t n = recv(sock, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "(error)";
    };
    DaemonOptions opts = pamDaemon("");
    opts.env["NOTIFY_SOCKET"] = path;
    Daemon d(opts);
    START_DAEMON(d);
    EXPECT_EQ(next(), "READY=1");
    EXPECT_EQ(d.terminate(), 0);
    EXPECT_EQ(next(), "STOPPING=1");
    close(sock);
}

TEST(Listener, IdleAndTricklingConnectionsOfOneAccountDoNotHoldOthers) {
    standardAccounts();
    // Each of the 4 workers would otherwise wait clientTimeout (5 s) on one
    // of bob's connections.
    Daemon d(pamDaemon("numThreads=4\nclientTimeout=5\nmaxConnectionsPerUser=1000\n"));
    START_DAEMON(d);
    Abuser bob(kBob, 300);
    ASSERT_EQ(bob.connected(), 300);
    for (int i = 0; i < 3; ++i) {
        auto t = Clock::now();
        kiv::Result r = kiv::authenticatePassword("alice", "x");
        EXPECT_TRUE(r.ok()) << r.error;
        EXPECT_LT(msSince(t), 1000) << "request " << i;
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
    }
    auto t = Clock::now();
    EXPECT_EQ(d.terminate(7000), 0);
    EXPECT_LT(msSince(t), 6000);
    EXPECT_CLEAN(d);
}

TEST(Listener, ConnectionsPerAccountAreCapped) {
    standardAccounts();
    Daemon d(pamDaemon("maxConnectionsPerUser=3\n"));
    START_DAEMON(d);
    {
        Abuser bob(kBob, 3);
        ASSERT_EQ(bob.connected(), 3);
        EXPECT_EQ(helloAs(kBob, 1002), 0) << "a fourth connection";
        EXPECT_TRUE(kiv::authenticatePassword("alice", "x").ok()) << "other accounts are not counted";
    }
    EXPECT_TRUE(kivtest::waitFor([] { return helloAs(kBob, 1002) == 1; }, 8000));
    {
        // Answered connections count until they are closed.
        Abuser bob(kBob, 3, true);
        ASSERT_EQ(bob.connected(), 3);
        EXPECT_EQ(helloAs(kBob, 1002), 0) << "a fourth connection";
    }
    // Closed connections are no longer counted.
    EXPECT_TRUE(kivtest::waitFor([] { return helloAs(kBob, 1002) == 1; }, 8000));
    EXPECT_EQ(d.terminate(), 0);
    EXPECT_NE(dumpFile(d, "access.log").find("peer uid 1002 pid"), std::string::npos);
    EXPECT_NE(dumpFile(d, "access.log").find("(maxConnectionsPerUser)"), std::string::npos);
    EXPECT_CLEAN(d);
}

TEST(Listener, AnsweredClientsThatNeverCloseDoNotHoldTheWorker) {
    standardAccounts();
    // One worker: while it waited for each of these clients to close, every
    // other request would queue behind them for clientTimeout.
    Daemon d(pamDaemon("numThreads=1\nclientTimeout=3\n"));
    START_DAEMON(d);
    std::vector<int> held;
    const auto opened = Clock::now();
    for (int i = 0; i < 4; ++i) {
        held.push_back(rawConnect());
        ASSERT_GE(held.back(), 0);
        EXPECT_TRUE(answeredRequest(held.back())) << "connection " << i;
    }
    auto t = Clock::now();
    kiv::Result r = kiv::authenticatePassword("alice", "x");
    EXPECT_TRUE(r.ok()) << r.error;
    EXPECT_LT(msSince(t), 1000);
    // The daemon still closes them once their time is up.
    for (int fd : held) {
        // Whatever is left of the reply, then the end of the stream.
        char buf[256];
        struct pollfd p = {fd, POLLIN, 0};
        ssize_t n = 1;
        while (n > 0 && poll(&p, 1, 5000) == 1) n = read(fd, buf, sizeof buf);
        EXPECT_EQ(n, 0);
        close(fd);
    }
    EXPECT_GE(msSince(opened), 2500);
    EXPECT_LT(msSince(opened), 5000);
    EXPECT_EQ(d.terminate(), 0);
    EXPECT_CLEAN(d);
}
