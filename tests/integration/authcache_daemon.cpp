// The authentication cache end to end with the pw method: repeats answered
// without the method, expiry, failures and the lock-out ending an entry,
// SIGHUP flushing it, the trade-off of a changed password, bad settings.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include <algorithm>
#include <string>
#include <vector>

#include "kivclient.hpp"
#include "sandbox.h"

namespace {

using kivtest::Daemon;
using kivtest::DaemonOptions;

std::string config(const std::string &extra) {
    return "daemon=no\n"
           "debugLog=@DIR@/debug.log\n"
           "accessLog=@DIR@/access.log\n"
           "errorLog=@DIR@/error.log\n"
           "methods=pw\n" +
           extra;
}

void writeAccounts(const std::string &alicePassword) {
    kivtest::writeAccountFiles("root:x:0:0:root:/root:/bin/sh\n"
                               "alice:x:1001:1001::/home/alice:/bin/sh\n",
                               "root:*:19000:0:99999:7:::\n"
                               "alice:" + kivtest::cryptHash(alicePassword, "$6$") + ":19000:0:99999:7:::\n",
                               "root:x:0:\n"
                               "alice:x:1001:\n"
                               "staff:x:50:alice\n");
}

kiv::Reply ask(const std::string &user, const std::string &password) {
    kiv::Result r = kiv::authenticatePassword(user, password);
    EXPECT_TRUE(r.reply.has_value()) << r.error;
    return r.reply.value_or(kiv::Reply{});
}

size_t count(const std::string &text, const std::string &needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

// How often pw was asked about alice so far.
size_t methodCalls(const Daemon &d) {
    return count(kivtest::readFile(d.path("debug.log")), "pwAuthenticate [ENTER]: username:<alice>");
}

TEST(AuthCacheDaemon, RepeatsAreAnsweredWithoutTheMethodUntilExpiry) {
    writeAccounts("Al1ce-pw");
    DaemonOptions opts;
    opts.config = config("authCacheSeconds=2\n");
    Daemon d(opts);
    ASSERT_TRUE(d.start()) << d.lastError();

    kiv::Reply first = ask("alice", "Al1ce-pw");
    ASSERT_EQ(first.code, AUTH_OK) << kiv::resultName(first.code);
    kiv::Reply again = ask("alice", "Al1ce-pw");
    ASSERT_EQ(again.code, AUTH_OK);
    EXPECT_EQ(again.uid, first.uid);
    EXPECT_EQ(again.groups, first.groups);
    EXPECT_EQ(again.name, "alice");
    EXPECT_EQ(methodCalls(d), 1u);

    // A wrong password is never taken from the cache, and it ends the entry.
    EXPECT_EQ(ask("alice", "al1ce-pw").code, AUTH_NOAUTH);
    EXPECT_EQ(ask("alice", "Al1ce-pw").code, AUTH_OK);
    EXPECT_EQ(methodCalls(d), 3u);
    EXPECT_EQ(ask("alice", "Al1ce-pw").code, AUTH_OK);
    EXPECT_EQ(methodCalls(d), 3u);

    // Past its lifetime the entry is gone.
    usleep(2200 * 1000);
    EXPECT_EQ(ask("alice", "Al1ce-pw").code, AUTH_OK);
    EXPECT_EQ(methodCalls(d), 4u);

    // SIGHUP drops everything; the daemon serves on.
    d.signal(SIGHUP);
    ASSERT_TRUE(kivtest::waitFor([&] {
        return kivtest::readFile(d.path("debug.log")).find("authentication cache flushed") != std::string::npos;
    }));
    EXPECT_EQ(ask("alice", "Al1ce-pw").code, AUTH_OK);
    EXPECT_EQ(methodCalls(d), 5u);
    EXPECT_TRUE(d.running());
    EXPECT_EQ(d.terminate(), 0) << d.stderrText();

    const std::string access = kivtest::readFile(d.path("access.log"));
    EXPECT_EQ(count(access, "Authenticated user alice (pw, cached)."), 2u) << access;
    EXPECT_EQ(count(access, "Authenticated user alice (pw)."), 4u) << access;
    // No secret in any log line.
    for (const char *file : {"debug.log", "access.log", "error.log"})
        EXPECT_EQ(kivtest::readFile(d.path(file)).find("Al1ce-pw"), std::string::npos) << file;
    EXPECT_FALSE(kivtest::hasSanitizerReport(d.stderrText())) << d.stderrText();
}

// Waits up to timeoutMs for fd to become readable and reads what is there:
// the byte count, 0 at the peer's close, -1 when nothing came in time.
ssize_t readWithin(int fd, uint8_t *buf, size_t n, int timeoutMs) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1) return -1;
    return read(fd, buf, n);
}

// A cached repeat, sent in pieces by a client that then keeps its end open,
// gets the same reply and the same lines as any other request, and the
// connection still ends after clientTimeout.
TEST(AuthCacheDaemon, CachedRepeatKeepsItsRepliesLinesAndTimeLimit) {
    writeAccounts("Al1ce-pw");
    DaemonOptions opts;
    opts.config = config("authCacheSeconds=300\nclientTimeout=2\naccessLogPeer=yes\n");
    Daemon d(opts);
    ASSERT_TRUE(d.start()) << d.lastError();
    const kiv::Reply first = ask("alice", "Al1ce-pw");
    ASSERT_EQ(first.code, AUTH_OK);

    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    struct sockaddr_un a {};
    a.sun_family = AF_UNIX;
    strncpy(a.sun_path, kivtest::kSocketPath, sizeof a.sun_path - 1);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    const auto hello = kiv::wire::encodeHello();
    const auto request = kiv::wire::encodeRequest(kiv::wire::REQUEST_PASSWORD, "alice", "Al1ce-pw");
    ASSERT_EQ(send(fd, hello.data(), hello.size(), MSG_NOSIGNAL), 8);
    uint8_t buf[512];
    ASSERT_EQ(readWithin(fd, buf, 8, 2000), 8);
    // Header, then name and password a moment later.
    ASSERT_EQ(send(fd, request.data(), 16, MSG_NOSIGNAL), 16);
    usleep(100 * 1000);
    ASSERT_EQ(send(fd, request.data() + 16, request.size() - 16, MSG_NOSIGNAL),
              static_cast<ssize_t>(request.size() - 16));
    ssize_t got = readWithin(fd, buf, sizeof buf, 2000);
    ASSERT_GE(got, 8);
    kiv::Reply cached;
    std::string error;
    int64_t rest = 0;
    ASSERT_EQ(kiv::wire::decodeReplyHead(std::span<const uint8_t, 8>(buf, 8), cached, rest, error),
              kiv::wire::Decoded::Ok) << error;
    ASSERT_EQ(rest, got - 8) << error;
    ASSERT_EQ(kiv::wire::decodeReplyBody({buf + 8, static_cast<size_t>(rest)}, cached, error),
              kiv::wire::Decoded::Ok) << error;
    EXPECT_EQ(cached.code, AUTH_OK);
    EXPECT_EQ(cached.uid, first.uid);
    EXPECT_EQ(cached.groups, first.groups);
    EXPECT_EQ(cached.name, "alice");

    // The client keeps its end open: the daemon waits, but not forever.
    const auto replied = std::chrono::steady_clock::now();
    EXPECT_EQ(readWithin(fd, buf, sizeof buf, 500), -1);
    EXPECT_EQ(readWithin(fd, buf, sizeof buf, 4000), 0);
    const auto waited = std::chrono::steady_clock::now() - replied;
    EXPECT_LT(waited, std::chrono::milliseconds(3500));
    close(fd);
    EXPECT_EQ(methodCalls(d), 1u);
    EXPECT_EQ(d.terminate(), 0) << d.stderrText();

    // The cached request's own lines, in a worker's order.
    const std::string debug = kivtest::readFile(d.path("debug.log"));
    size_t at = debug.find("User alice answered from the authentication cache (pw)");
    ASSERT_NE(at, std::string::npos) << debug;
    const size_t lineStart = debug.rfind("processRequest [ENTER]: socket: <", at);
    ASSERT_NE(lineStart, std::string::npos) << debug;
    const std::string socketTag = debug.substr(lineStart + 22, debug.find('\n', lineStart) - lineStart - 22);
    for (const char *next : {"Authentication results returned.", "waiting for socket to close on client side.",
                             "processRequest [EXIT]: "}) {
        const size_t found = debug.find(next, at);
        ASSERT_NE(found, std::string::npos) << next << "\n" << debug;
        at = found;
    }
    EXPECT_EQ(debug.compare(at + 21, socketTag.size(), socketTag), 0) << socketTag << "\n" << debug;
    const std::string access = kivtest::readFile(d.path("access.log"));
    EXPECT_NE(access.find("Authenticated user alice (pw, cached). peer_uid=0 peer_pid=" + std::to_string(getpid())),
              std::string::npos)
        << access;
    EXPECT_FALSE(kivtest::hasSanitizerReport(d.stderrText())) << d.stderrText();
}

TEST(AuthCacheDaemon, LockOutHoldsBeforeTheCache) {
    writeAccounts("Al1ce-pw");
    DaemonOptions opts;
    opts.config = config("authCacheSeconds=300\nmaxtries=2\nmaxtriesPeriod=60\nmaxtriesWait=300\n");
    Daemon d(opts);
    ASSERT_TRUE(d.start()) << d.lastError();

    ASSERT_EQ(ask("alice", "Al1ce-pw").code, AUTH_OK);
    // A cached success clears the count like any success: one failure, then
    // the right password, then one more failure does not lock alice out.
    EXPECT_EQ(ask("alice", "wrong-1").code, AUTH_NOAUTH);
    EXPECT_EQ(ask("alice", "Al1ce-pw").code, AUTH_OK);
    EXPECT_EQ(ask("alice", "Al1ce-pw").code, AUTH_OK);  // cached
    EXPECT_EQ(ask("alice", "wrong-2").code, AUTH_NOAUTH);
    EXPECT_EQ(ask("alice", "Al1ce-pw").code, AUTH_OK);
    EXPECT_EQ(ask("alice", "Al1ce-pw").code, AUTH_OK);  // cached again

    // Two failures lock alice out: the right password is refused although
    // it was cached a moment ago.
    EXPECT_EQ(ask("alice", "wrong-3").code, AUTH_NOAUTH);
    EXPECT_EQ(ask("alice", "wrong-4").code, AUTH_NOAUTH);
    const size_t before = methodCalls(d);
    EXPECT_EQ(ask("alice", "Al1ce-pw").code, AUTH_NOAUTH);
    EXPECT_EQ(methodCalls(d), before);
    EXPECT_EQ(d.terminate(), 0) << d.stderrText();

    const std::string access = kivtest::readFile(d.path("access.log"));
    EXPECT_EQ(count(access, "Authenticated user alice (pw, cached)."), 2u) << access;
    EXPECT_NE(access.find("User alice exceeded maxtries (#/max):3/2"), std::string::npos) << access;
}

TEST(AuthCacheDaemon, ChangedPasswordKeepsWorkingUntilExpiryOrFlush) {
    writeAccounts("0ld-pw");
    DaemonOptions opts;
    opts.config = config("authCacheSeconds=300\n");
    Daemon d(opts);
    ASSERT_TRUE(d.start()) << d.lastError();
    ASSERT_EQ(ask("alice", "0ld-pw").code, AUTH_OK);

    writeAccounts("N3w-pw");
    // The documented trade-off: the remembered old password still answers.
    EXPECT_EQ(ask("alice", "0ld-pw").code, AUTH_OK);
    // The new one goes to the method, and replaces the old entry.
    EXPECT_EQ(ask("alice", "N3w-pw").code, AUTH_OK);
    EXPECT_EQ(ask("alice", "N3w-pw").code, AUTH_OK);
    EXPECT_EQ(methodCalls(d), 2u);
    EXPECT_EQ(ask("alice", "0ld-pw").code, AUTH_NOAUTH);
    EXPECT_EQ(d.terminate(), 0) << d.stderrText();
}

TEST(AuthCacheDaemon, OffByDefaultAndBadSettingsStopStartUp) {
    writeAccounts("Al1ce-pw");
    {
        DaemonOptions opts;
        opts.config = config("");
        Daemon d(opts);
        ASSERT_TRUE(d.start()) << d.lastError();
        EXPECT_EQ(ask("alice", "Al1ce-pw").code, AUTH_OK);
        EXPECT_EQ(ask("alice", "Al1ce-pw").code, AUTH_OK);
        EXPECT_EQ(methodCalls(d), 2u);
        EXPECT_EQ(d.terminate(), 0) << d.stderrText();
        EXPECT_EQ(kivtest::readFile(d.path("access.log")).find("cached"), std::string::npos);
    }
    for (const char *bad : {"authCacheSeconds=-5\n", "authCacheSeconds=ten\n", "authCacheSeconds=60\nauthCacheSize=0\n"}) {
        SCOPED_TRACE(bad);
        DaemonOptions opts;
        opts.config = config(bad);
        Daemon d(opts);
        EXPECT_EQ(d.runToExit(), 38) << d.lastError();
        EXPECT_NE(kivtest::readFile(d.path("error.log")).find("Invalid value for authCache"), std::string::npos);
    }
}

} // namespace
