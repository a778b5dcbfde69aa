// The running service: failed-attempt lock-out, signals, client time limits.
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>

#include <chrono>
#include <future>
#include <thread>

#include "core_common.h"

using namespace coretest;
using Clock = std::chrono::steady_clock;

namespace {

kiv::Reply ask(const std::string &user, const std::string &password) {
    kiv::Result r = kiv::authenticatePassword(user, password);
    EXPECT_TRUE(r.reply.has_value()) << r.error;
    return r.reply.value_or(kiv::Reply{});
}

long msSince(Clock::time_point t) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

} // namespace

TEST(Maxtries, LockOutAndRelease) {
    standardAccounts();
    DaemonOptions opts;
    opts.modules = {module("pam", "kivmodpam.so")};
    // pam may sit on a directory that ignores case; this one does not, and
    // says so.
    opts.config = baseConfig("methods=pam\nmaxtries=2\nmaxtriesPeriod=60\nmaxtriesWait=2\nmaxtriesNocase=no\n"
                             "pam_users=alice:ok:1001:1001::right;Alice:ok:1001:1001::right\n");
    Daemon d(opts);
    START_DAEMON(d);
    EXPECT_EQ(ask("alice", "wrong").code, AUTH_NOAUTH);
    EXPECT_EQ(ask("nobody", "wrong").code, AUTH_UNKNOWN_USER);
    EXPECT_EQ(ask("alice", "wrong").code, AUTH_NOAUTH);
    // Locked out: even the right password is refused without asking pam.
    EXPECT_EQ(ask("alice", "right").code, AUTH_NOAUTH);
    // Names differ by case: a separate record.
    EXPECT_EQ(ask("Alice", "right").code, AUTH_OK);
    // More than maxtriesWait quiet seconds release the user.
    std::this_thread::sleep_for(std::chrono::milliseconds(3200));
    EXPECT_EQ(ask("alice", "right").code, AUTH_OK);
    // Success cleared the count: one failure does not lock out.
    EXPECT_EQ(ask("alice", "wrong").code, AUTH_NOAUTH);
    EXPECT_EQ(ask("alice", "right").code, AUTH_OK);
    EXPECT_EQ(d.terminate(), 0);

    std::string access = dumpFile(d, "access.log");
    EXPECT_NE(access.find("User alice exceeded maxtries (#/max):3/2"), std::string::npos) << access;
    EXPECT_EQ(access.find("exceeded maxtries (#/max):4/2"), std::string::npos);
    EXPECT_EQ(access.find("User nobody exceeded"), std::string::npos);
    std::string debug = dumpFile(d, "debug.log");
    EXPECT_NE(debug.find("Request failed: 'maxtries exceeded.'"), std::string::npos);
    EXPECT_NE(debug.find("Using maxtries: 2"), std::string::npos);
    EXPECT_CLEAN(d);
}

TEST(Maxtries, RefusalFollowedByUnknownStillCounts) {
    // pam refuses and asks to go on; nobody else knows the user.  The reply
    // says unknown, but the guesses must still run into the lock-out.
    DaemonOptions opts;
    opts.modules = {module("pam_continue", "kivmodpam.so")};
    opts.config = baseConfig("methods=pam\nmaxtries=2\nmaxtriesPeriod=60\nmaxtriesWait=60\npam_continue=1\n"
                             "pam_users=dir:ok:1001:1001::right\n");
    Daemon d(opts);
    START_DAEMON(d);
    EXPECT_EQ(ask("dir", "guess1").code, AUTH_UNKNOWN_USER);
    EXPECT_EQ(ask("dir", "guess2").code, AUTH_UNKNOWN_USER);
    EXPECT_EQ(ask("dir", "right").code, AUTH_NOAUTH) << "locked out";
    EXPECT_EQ(d.terminate(), 0);
    EXPECT_NE(dumpFile(d, "access.log").find("User dir exceeded maxtries (#/max):3/2"), std::string::npos);
}

TEST(Signals, TermWithTwoRequestsInFlightAnswersBothAndExitsZero) {
    standardAccounts();
    DaemonOptions opts;
    opts.modules = {module("pam", "kivmodpam.so")};
    opts.config = baseConfig("methods=pam\nnumThreads=4\n"
                             "pam_users=slow1:ok:1001:1001:::1500;slow2:ok:1002:1002:::1500\n");
    Daemon d(opts);
    START_DAEMON(d);
    auto a = std::async(std::launch::async, [] { return kiv::authenticatePassword("slow1", "x"); });
    auto b = std::async(std::launch::async, [] { return kiv::authenticatePassword("slow2", "x"); });
    // Let both reach the module before the signal.
    ASSERT_TRUE(kivtest::waitFor(
        [&] { return countOf(dumpFile(d, "debug.log"), "Authenticating user slow") == 2; }, 5000));
    d.signal(SIGTERM);
    kiv::Result ra = a.get(), rb = b.get();
    ASSERT_TRUE(ra.reply) << ra.error;
    ASSERT_TRUE(rb.reply) << rb.error;
    EXPECT_EQ(ra.reply->code, AUTH_OK);
    EXPECT_EQ(rb.reply->uid, 1002);
    EXPECT_EQ(d.waitServingExit(10000), 0);
    EXPECT_FALSE(kivtest::fileExists(kivtest::kSocketPath));
    std::string debug = dumpFile(d, "debug.log");
    EXPECT_LT(debug.find("Authentication results returned."), debug.find("termMethods [ENTER]"));
    EXPECT_NE(debug.find("freeAttempts [EXIT]"), std::string::npos);
    EXPECT_NE(debug.find("Closing logs."), std::string::npos);
    EXPECT_CLEAN(d);
}

TEST(Signals, Usr1IsLoggedAndServiceGoesOn) {
    standardAccounts();
    DaemonOptions opts;
    opts.modules = {module("pam", "kivmodpam.so")};
    opts.config = baseConfig("methods=pam\npam_users=alice:ok:1001:1001\n");
    Daemon d(opts);
    START_DAEMON(d);
    // Signal only once the main thread waits for connections (accept or
    // the epoll wait of the intake): the reload must interrupt it, and the
    // loop must carry on.
    const std::string syscallFile = "/proc/" + std::to_string(d.servingPid()) + "/syscall";
    ASSERT_TRUE(kivtest::waitFor([&] {
        std::string s = readFile(syscallFile);
        for (long call : {SYS_accept4, SYS_accept, SYS_epoll_wait, SYS_epoll_pwait})
            if (s.rfind(std::to_string(call) + " ", 0) == 0) return true;
        return false;
    }));
    d.signal(SIGUSR1);
    ASSERT_TRUE(kivtest::waitFor([&] { return dumpFile(d, "debug.log").find("Got a reload signal!") != std::string::npos; }));
    EXPECT_TRUE(kivtest::waitFor(
        [&] { return dumpFile(d, "debug.log").find("accept failed: <" + std::to_string(EINTR) + ">.") != std::string::npos; }));
    EXPECT_EQ(ask("alice", "x").code, AUTH_OK);
    // SIGPIPE from a client that vanished mid-reply must not end the daemon.
    for (int i = 0; i < 20; ++i) {
        kiv::Connection c;
        ASSERT_TRUE(c.connect());
        ASSERT_TRUE(c.handshake().has_value());
        ASSERT_TRUE(c.sendBytes(wire::encodeRequest(wire::REQUEST_PASSWORD, "alice", "x")));
        c.close();
    }
    EXPECT_EQ(ask("alice", "x").code, AUTH_OK);
    EXPECT_TRUE(d.running());
    EXPECT_EQ(d.terminate(), 0);
    EXPECT_CLEAN(d);
}

TEST(ClientTimeout, SilentClientDelaysOthersOnlyUpToTheLimit) {
    standardAccounts();
    DaemonOptions opts;
    opts.modules = {module("pam", "kivmodpam.so")};
    opts.config = baseConfig("methods=pam\nnumThreads=1\nclientTimeout=1\n"
                             "pam_users=alice:ok:1001:1001;slow:ok:1002:1002:::2500\n");
    Daemon d(opts);
    START_DAEMON(d);

    // A client that connects and says nothing holds the only worker.
    kiv::Connection silent;
    ASSERT_TRUE(silent.connect());
    auto start = Clock::now();
    EXPECT_EQ(ask("alice", "x").code, AUTH_OK);
    EXPECT_LT(msSince(start), 2500) << "served after at most the limit";
    EXPECT_TRUE(silent.waitForClose()) << "the silent client was dropped";

    // A client that never closes after its reply holds the worker no longer.
    kiv::Connection lingering;
    ASSERT_TRUE(lingering.connect());
    ASSERT_TRUE(lingering.handshake().has_value());
    ASSERT_TRUE(lingering.sendBytes(wire::encodeRequest(wire::REQUEST_PASSWORD, "alice", "x")));
    auto reply = lingering.readReply();
    ASSERT_TRUE(reply.has_value());
    start = Clock::now();
    EXPECT_EQ(ask("alice", "x").code, AUTH_OK);
    EXPECT_LT(msSince(start), 2500);

    // Time spent in the method is not charged to the client.
    auto r = ask("slow", "x");
    EXPECT_EQ(r.code, AUTH_OK);
    EXPECT_EQ(r.uid, 1002);
    EXPECT_EQ(d.terminate(), 0);
    EXPECT_CLEAN(d);
}
