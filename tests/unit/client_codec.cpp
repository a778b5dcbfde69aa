// Client library: the bytes an exchange sends, how it takes replies
// (including ones a broken or hostile server could send) and the bounds on
// every wait.  The frames themselves are tested in wire_frames.cpp.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

#include "frame_bytes.h"
#include "kivclient.hpp"
#include "sandbox.h"

namespace {

namespace wire = kiv::wire;
using wire::REQUEST_GSS_TOKEN;
using wire::REQUEST_PASSWORD;

Bytes text(const std::string &s, bool terminate = false) {
    Bytes out(s.begin(), s.end());
    if (terminate) out.push_back(0);
    return out;
}

Bytes successReply(int uid, const std::vector<int32_t> &groups, const std::string &name) {
    return wire::encodeSuccessReply(uid, groups, name);
}

Bytes resultFrame(int code) {
    const auto f = wire::encodeResultFrame(code);
    return Bytes(f.begin(), f.end());
}

Bytes hello() {
    const auto h = wire::encodeHello();
    return Bytes(h.begin(), h.end());
}

// Bounded helpers for the fake server side.
Bytes recvExact(int fd, size_t n, int timeoutMs = 2000) {
    Bytes out;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < n) {
        pollfd p{fd, POLLIN, 0};
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count());
        if (left <= 0 || poll(&p, 1, left) <= 0) break;
        uint8_t buf[512];
        ssize_t r = recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
        if (r <= 0) break;
        out.insert(out.end(), buf, buf + r);
    }
    return out;
}

void sendAll(int fd, const Bytes &b) {
    size_t off = 0;
    while (off < b.size()) {
        ssize_t w = send(fd, b.data() + off, b.size() - off, MSG_NOSIGNAL);
        if (w <= 0) return;
        off += static_cast<size_t>(w);
    }
}

// A one-connection server on a socket in a fresh directory; the script runs
// on its own thread with the accepted descriptor.
class FakeServer {
public:
    using Script = std::function<void(int fd)>;
    explicit FakeServer(Script script = nullptr) {
        dir_ = kivtest::makeTempDir("client-codec");
        path_ = dir_ + "/sock";
        listen_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path_.c_str(), sizeof a.sun_path - 1);
        EXPECT_EQ(0, bind(listen_, reinterpret_cast<sockaddr *>(&a), sizeof a)) << std::strerror(errno);
        EXPECT_EQ(0, listen(listen_, 8));
        if (script)
            thread_ = std::thread([this, script] {
                pollfd p{listen_, POLLIN, 0};
                if (poll(&p, 1, 5000) != 1) return;
                int fd = accept(listen_, nullptr, nullptr);
                if (fd < 0) return;
                script(fd);
                close(fd);
            });
    }
    // Waits for the script to finish: what it recorded may be read after this.
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    ~FakeServer() {
        join();
        close(listen_);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    // True if a client connection is waiting (scriptless servers only).
    bool hasPendingConnection() {
        pollfd p{listen_, POLLIN, 0};
        return poll(&p, 1, 0) == 1;
    }
    kiv::Options options(int timeoutMs = 2000) const {
        kiv::Options o;
        o.socketPath = path_;
        o.timeoutMs = timeoutMs;
        return o;
    }

private:
    std::string dir_, path_;
    int listen_ = -1;
    std::thread thread_;
};

// A server that accepts the handshake, reads a request for `user` with a
// password of `pwLen` bytes and answers `reply`.
FakeServer::Script answering(Bytes reply, size_t userLen = 5, size_t pwLen = 6) {
    return [reply, userLen, pwLen](int fd) {
        recvExact(fd, 8);
        sendAll(fd, resultFrame(AUTH_OK));
        recvExact(fd, 16 + userLen + pwLen);
        sendAll(fd, reply);
    };
}

TEST(ClientCodec, ResultNames) {
    EXPECT_EQ("AUTH_OK", kiv::resultName(AUTH_OK));
    EXPECT_EQ("AUTH_ERROR", kiv::resultName(2));
    EXPECT_EQ("AUTH_NOT_PRIVILEGED", kiv::resultName(3));
    EXPECT_EQ("AUTH_EXPIRED", kiv::resultName(4));
    EXPECT_EQ("AUTH_NOAUTH", kiv::resultName(5));
    EXPECT_EQ("AUTH_UNKNOWN_USER", kiv::resultName(6));
    EXPECT_EQ("AUTH_REQUEST_FAILED", kiv::resultName(7));
    EXPECT_EQ("UNKNOWN(42)", kiv::resultName(42));
    EXPECT_EQ("UNKNOWN(-1)", kiv::resultName(-1));
}

TEST(ClientExchange, PasswordRequestOnTheWireAndDecodedSuccess) {
    Bytes got;
    FakeServer srv([&](int fd) {
        got = recvExact(fd, 8);
        sendAll(fd, resultFrame(AUTH_OK));
        got = got + recvExact(fd, 16 + 5 + 6);
        Bytes reply = successReply(1000, {1000, 27, 100}, "alice");
        // Three groups and a five-byte name announce 38 bytes.
        EXPECT_EQ(words({AUTH_OK, 38}), Bytes(reply.begin(), reply.begin() + 8));
        sendAll(fd, reply);
    });
    kiv::Result r = kiv::authenticatePassword("alice", "secret", srv.options());
    ASSERT_TRUE(r.reply) << r.error;
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(1000, r.reply->uid);
    EXPECT_EQ(std::vector<int>({1000, 27, 100}), r.reply->groups);
    EXPECT_EQ("alice", r.reply->name);
    srv.join();
    EXPECT_EQ(hello() + wire::encodeRequest(REQUEST_PASSWORD, "alice", "secret"), got);
}

TEST(ClientExchange, ResultFramesAndArbitraryCodesPassThrough) {
    for (int code : {AUTH_NOAUTH, AUTH_UNKNOWN_USER, AUTH_EXPIRED, AUTH_REQUEST_FAILED, 12345}) {
        FakeServer srv(answering(resultFrame(code)));
        kiv::Result r = kiv::authenticatePassword("alice", "secret", srv.options());
        ASSERT_TRUE(r.reply) << r.error;
        EXPECT_FALSE(r.ok());
        EXPECT_EQ(code, r.reply->code);
    }
}

TEST(ClientExchange, BoundaryLengthsAndEmptyPasswordAreSent) {
    std::string name(255, 'n'), pw(255, 'p');
    Bytes got;
    FakeServer srv([&](int fd) {
        recvExact(fd, 8);
        sendAll(fd, resultFrame(AUTH_OK));
        got = recvExact(fd, 16 + 255 + 255);
        sendAll(fd, resultFrame(AUTH_NOAUTH));
    });
    kiv::Result r = kiv::authenticatePassword(name, pw, srv.options());
    ASSERT_TRUE(r.reply) << r.error;
    srv.join();
    EXPECT_EQ(wire::encodeRequest(REQUEST_PASSWORD, name, pw), got);

    FakeServer empty([&](int fd) {
        recvExact(fd, 8);
        sendAll(fd, resultFrame(AUTH_OK));
        got = recvExact(fd, 16 + 5);
        sendAll(fd, resultFrame(AUTH_REQUEST_FAILED));
    });
    r = kiv::authenticatePassword("alice", "", empty.options());
    ASSERT_TRUE(r.reply) << r.error;
    empty.join();
    EXPECT_EQ(words({0, REQUEST_PASSWORD, 5, 0}), Bytes(got.begin(), got.begin() + 16));
}

TEST(ClientExchange, RefusedInputsAreNeverSent) {
    FakeServer srv;   // listens, never accepts
    struct Case {
        std::string user, password, why;
    } cases[] = {
        {"", "pw", "empty"},
        {std::string(256, 'u'), "pw", "longer than 255"},
        {"alice", std::string(256, 'p'), "longer than 255"},
        {std::string("ali\0ce", 6), "pw", "NUL"},
        {"alice", std::string("pw\0x", 4), "NUL"},
    };
    for (const auto &c : cases) {
        kiv::Result r = kiv::authenticatePassword(c.user, c.password, srv.options());
        EXPECT_FALSE(r.reply);
        EXPECT_NE(std::string::npos, r.error.find(c.why)) << r.error;
    }
    kiv::Result t = kiv::authenticateToken("alice", std::string(wire::kMaxTokenLength + 1, 't'), srv.options());
    EXPECT_FALSE(t.reply);
    EXPECT_NE(std::string::npos, t.error.find("token")) << t.error;
    EXPECT_FALSE(srv.hasPendingConnection());
}

TEST(ClientExchange, TokenRequestCarriesTypeFourAndBinaryToken) {
    std::string token("\x00\x01\x0b\xff", 4);
    Bytes got;
    FakeServer srv([&](int fd) {
        recvExact(fd, 8);
        sendAll(fd, resultFrame(AUTH_OK));
        got = recvExact(fd, 16 + 3 + 4);
        sendAll(fd, successReply(5, {}, "bob"));
    });
    kiv::Result r = kiv::authenticateToken("bob", token, srv.options());
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_TRUE(r.reply->groups.empty());
    srv.join();
    EXPECT_EQ(wire::encodeRequest(REQUEST_GSS_TOKEN, "bob", token), got);
}

TEST(ClientExchange, NotPrivilegedHandshakeIsAReply) {
    Bytes after;
    FakeServer srv([&](int fd) {
        recvExact(fd, 8);
        sendAll(fd, resultFrame(AUTH_NOT_PRIVILEGED));
        after = recvExact(fd, 1, 500);   // the client must not send the request
    });
    kiv::Result r = kiv::authenticatePassword("alice", "secret", srv.options());
    ASSERT_TRUE(r.reply) << r.error;
    EXPECT_EQ(AUTH_NOT_PRIVILEGED, r.reply->code);
    EXPECT_FALSE(r.ok());
    srv.join();
    EXPECT_TRUE(after.empty());
}

// Replies a broken daemon could send: none of them may count as a success.
struct Malformed {
    const char *what;
    Bytes reply;
};

class MalformedReply : public ::testing::TestWithParam<Malformed> {};

TEST_P(MalformedReply, IsAnErrorNeverASuccess) {
    FakeServer srv(answering(GetParam().reply));
    kiv::Result r = kiv::authenticatePassword("alice", "secret", srv.options(1000));
    EXPECT_FALSE(r.reply) << "decoded code " << (r.reply ? kiv::resultName(r.reply->code) : "");
    EXPECT_FALSE(r.ok());
    EXPECT_FALSE(r.error.empty());
}

Bytes withWord(Bytes b, size_t offset, int32_t w) {
    std::memcpy(&b[offset], &w, 4);
    return b;
}

const Bytes kGood = successReply(1000, {1000, 27, 100}, "alice");   // 8 + 38 bytes

Bytes unterminated() {
    Bytes b = kGood;
    b.back() = 'x';
    return b;
}

INSTANTIATE_TEST_SUITE_P(
    Client, MalformedReply,
    ::testing::Values(
        Malformed{"announced size too small", withWord(kGood, 4, 37)},
        Malformed{"announced size too large", withWord(kGood, 4, 39) + Bytes{0}},
        Malformed{"announced size negative", withWord(kGood, 4, -1)},
        Malformed{"announced size huge", words({AUTH_OK, 0x7fffffff})},
        Malformed{"negative group count", withWord(kGood, 16, -1)},
        Malformed{"group count beyond any list", withWord(kGood, 16, 0x40000000)},
        Malformed{"zero name length", withWord(kGood, 20, 0)},
        Malformed{"name length 256", withWord(kGood, 20, 256)},
        Malformed{"name length disagrees with size", withWord(kGood, 20, 4)},
        Malformed{"missing terminator", unterminated()},
        Malformed{"inner code not AUTH_OK", withWord(kGood, 8, AUTH_NOAUTH)},
        Malformed{"truncated body", Bytes(kGood.begin(), kGood.end() - 3)},
        Malformed{"truncated result frame", words({AUTH_NOAUTH})},
        Malformed{"result frame with non-zero second word", words({AUTH_NOAUTH, 3})},
        Malformed{"success for another user", successReply(0, {0}, "root")},
        Malformed{"nothing at all", Bytes{}}),
    [](const auto &info) {
        std::string n;
        for (const char *p = info.param.what; *p; ++p) n += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
        return n;
    });

TEST(ClientExchange, SilentServerTimesOut) {
    // Accepts and reads, never answers; keeps the connection open past the
    // client's limit so only the timeout can end the wait.
    FakeServer srv([](int fd) {
        recvExact(fd, 8);
        recvExact(fd, 1, 1500);
    });
    auto t0 = std::chrono::steady_clock::now();
    kiv::Result r = kiv::authenticatePassword("alice", "secret", srv.options(200));
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_FALSE(r.reply);
    EXPECT_NE(std::string::npos, r.error.find("timed out")) << r.error;
    EXPECT_LT(ms, 1000);
}

TEST(ClientExchange, NoDaemonIsATransportError) {
    kiv::Options o;
    o.socketPath = "/nonexistent-dir/kiv-socket";
    o.timeoutMs = 500;
    kiv::Result r = kiv::authenticatePassword("alice", "secret", o);
    EXPECT_FALSE(r.reply);
    EXPECT_NE(std::string::npos, r.error.find("connect")) << r.error;

    o.socketPath = std::string(200, 'x');
    r = kiv::authenticatePassword("alice", "secret", o);
    EXPECT_FALSE(r.reply);
    EXPECT_NE(std::string::npos, r.error.find("too long")) << r.error;
}

TEST(ClientConnection, ReadAllAndWaitForClose) {
    FakeServer srv([](int fd) {
        sendAll(fd, text("abc"));
        shutdown(fd, SHUT_WR);
        recvExact(fd, 1, 1000);
    });
    kiv::Connection c(srv.options(1000));
    ASSERT_TRUE(c.connect()) << c.error();
    EXPECT_EQ(text("abc"), c.readAll());
    EXPECT_TRUE(c.waitForClose());
    uint8_t b;
    EXPECT_FALSE(c.readExact(&b, 1));
    EXPECT_NE(std::string::npos, c.error().find("closed")) << c.error();
}

TEST(ClientConnection, WaitForCloseIsBounded) {
    FakeServer srv([](int fd) { recvExact(fd, 1, 1500); });
    kiv::Connection c(srv.options(200));
    ASSERT_TRUE(c.connect()) << c.error();
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(c.waitForClose());
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1000));
}

} // namespace
