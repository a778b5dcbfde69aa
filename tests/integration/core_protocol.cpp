// The byte layout of every frame the daemon sends, and every malformed
// request it must refuse.
#include <sys/socket.h>

#include <cstring>

#include "core_common.h"

using namespace coretest;

namespace {

using wire::REQUEST_GSS_TOKEN;
using wire::REQUEST_PASSWORD;

class Protocol : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        standardAccounts();
        DaemonOptions opts;
        opts.modules = {module("pam", "kivmodpam.so"), module("gss", "kivmodgss.so")};
        opts.config = baseConfig("methods=pam\n"
                                 "pam_users=alice:ok:1001:1001;" + std::string(255, 'n') +
                                 ":ok:7:7;bob:ok:1002:1002::" + std::string(255, 'p') + "\n"
                                 "gss_users=alice:ok:1001:1001::tok\n");
        daemon_ = new Daemon(opts);
        ASSERT_TRUE(daemon_->start()) << daemon_->lastError();
    }
    static void TearDownTestSuite() {
        EXPECT_EQ(daemon_->terminate(), 0);
        EXPECT_CLEAN(*daemon_);
        delete daemon_;
    }

    // Sends `bytes` after a good handshake; returns everything received
    // until the daemon closes.
    static std::vector<uint8_t> exchange(const std::vector<uint8_t> &bytes, bool closeAfterSend = false) {
        kiv::Connection c;
        EXPECT_TRUE(c.connect()) << c.error();
        auto status = c.handshake();
        EXPECT_TRUE(status.has_value());
        if (status) {
            EXPECT_EQ(*status, AUTH_OK);
        }
        EXPECT_TRUE(c.sendBytes(bytes));
        if (closeAfterSend) shutdown(c.fd(), SHUT_WR);
        return c.readAll();
    }

    static int32_t word(const std::vector<uint8_t> &b, size_t i) {
        int32_t v;
        std::memcpy(&v, b.data() + 4 * i, 4);
        return v;
    }

    static Daemon *daemon_;
};
Daemon *Protocol::daemon_ = nullptr;

std::vector<uint8_t> resultFrame(int code) {
    std::vector<uint8_t> f(8, 0);
    std::memcpy(f.data(), &code, 4);
    return f;
}

} // namespace

TEST_F(Protocol, HandshakeReplyIsOkAndZero) {
    kiv::Connection c;
    ASSERT_TRUE(c.connect());
    ASSERT_TRUE(c.sendBytes(wire::encodeHello()));
    uint8_t reply[8];
    ASSERT_TRUE(c.readExact(reply, 8));
    EXPECT_EQ(std::vector<uint8_t>(reply, reply + 8), resultFrame(AUTH_OK));
}

TEST_F(Protocol, BadOpeningMessageClosesWithoutReply) {
    kiv::Connection c;
    ASSERT_TRUE(c.connect());
    int32_t wrong[2] = {wire::HELLO_MAGIC, 2};
    ASSERT_TRUE(c.sendBytes(wrong, sizeof wrong));
    EXPECT_TRUE(c.readAll().empty());

    kiv::Connection shortHello;
    ASSERT_TRUE(shortHello.connect());
    ASSERT_TRUE(shortHello.sendBytes(wrong, 4));
    shutdown(shortHello.fd(), SHUT_WR);
    EXPECT_TRUE(shortHello.readAll().empty());
}

TEST_F(Protocol, SuccessReplyLayout) {
    // alice travels scrambled as 6B 66 63 69 6F.
    auto request = wire::encodeRequest(REQUEST_PASSWORD, "alice", "pw");
    ASSERT_EQ(request.size(), 16u + 5 + 2);
    EXPECT_EQ(std::vector<uint8_t>(request.begin() + 16, request.begin() + 21),
              (std::vector<uint8_t>{0x6B, 0x66, 0x63, 0x69, 0x6F}));

    auto b = exchange(request);
    // alice: primary 1001 plus staff (50) and the case-sensitive lookup
    // does not add "Mixed".
    ASSERT_GE(b.size(), 28u);
    EXPECT_EQ(word(b, 0), AUTH_OK);
    int32_t following = word(b, 1);
    ASSERT_EQ(b.size(), 8u + static_cast<size_t>(following));
    EXPECT_EQ(word(b, 2), AUTH_OK);
    EXPECT_EQ(word(b, 3), 1001);  // uid
    int32_t groupCount = word(b, 4);
    EXPECT_EQ(groupCount, 2);
    EXPECT_EQ(word(b, 5), 5);     // nameLength
    EXPECT_EQ(following, 20 + 4 * groupCount + 5 + 1);
    EXPECT_EQ(word(b, 7), 1001) << "primary gid first";
    EXPECT_EQ(word(b, 8), 50);
    size_t nameAt = 28 + 4 * static_cast<size_t>(groupCount);
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + static_cast<long>(nameAt), b.end()),
              (std::vector<uint8_t>{0x61, 0x6C, 0x69, 0x63, 0x65, 0x00}));
}

TEST_F(Protocol, ReservedHeaderWordIsIgnored) {
    auto request = wire::encodeRequest(REQUEST_PASSWORD, "alice", "pw");
    int32_t junk = 0x7eadbeef;
    std::memcpy(request.data(), &junk, 4);
    auto b = exchange(request);
    ASSERT_GE(b.size(), 8u);
    EXPECT_EQ(word(b, 0), AUTH_OK);
}

TEST_F(Protocol, LengthLimits) {
    // 255-byte name and 255-byte password are accepted.
    auto r = kiv::authenticatePassword(std::string(255, 'n'), "x");
    ASSERT_TRUE(r.reply) << r.error;
    EXPECT_EQ(r.reply->code, AUTH_OK);
    EXPECT_EQ(r.reply->name, std::string(255, 'n'));
    r = kiv::authenticatePassword("bob", std::string(255, 'p'));
    ASSERT_TRUE(r.reply) << r.error;
    EXPECT_EQ(r.reply->code, AUTH_OK);

    struct Case {
        int type, nameLength, secretLength;
        const char *what;
    } cases[] = {
        {REQUEST_PASSWORD, 0, 2, "empty name"},
        {REQUEST_PASSWORD, 256, 2, "name of 256"},
        {REQUEST_PASSWORD, -1, 2, "negative name"},
        {REQUEST_PASSWORD, 5, 256, "password of 256"},
        {REQUEST_PASSWORD, 5, -1, "negative password"},
        {REQUEST_GSS_TOKEN, 5, -1, "negative token"},
        {REQUEST_GSS_TOKEN, 5, 64 * 1024 + 1, "oversized token"},
        {2, 5, 2, "unknown type"},
        {0, 5, 2, "type zero"},
    };
    for (const auto &c : cases) {
        // The name "alice" when the announced length lets one follow; the
        // header announces the case's lengths.
        const bool nameFollows = c.nameLength > 0 && c.nameLength <= 255;
        std::vector<uint8_t> body = wire::encodeRequest(c.type, nameFollows ? "alice" : "", "");
        const auto header = wire::encodeHeader({0, c.type, c.nameLength, c.secretLength});
        std::copy(header.begin(), header.end(), body.begin());
        // The daemon answers 7 and then waits for us to close.
        kiv::Connection conn;
        ASSERT_TRUE(conn.connect());
        ASSERT_TRUE(conn.handshake().has_value());
        ASSERT_TRUE(conn.sendBytes(body));
        uint8_t reply[8];
        ASSERT_TRUE(conn.readExact(reply, 8)) << c.what;
        EXPECT_EQ(std::vector<uint8_t>(reply, reply + 8), resultFrame(AUTH_REQUEST_FAILED)) << c.what;
    }
}

TEST_F(Protocol, TruncatedRequestsAreRefused) {
    // Name announced as 5 bytes, only 3 sent, then the client half-closes.
    const auto header = wire::encodeHeader({0, REQUEST_PASSWORD, 5, 2});
    std::vector<uint8_t> partial(header.begin(), header.end());
    partial.insert(partial.end(), {0x6B, 0x66, 0x63});
    auto b = exchange(partial, true);
    EXPECT_EQ(b, resultFrame(AUTH_REQUEST_FAILED));

    auto request = wire::encodeRequest(REQUEST_PASSWORD, "alice", "pw");
    request.pop_back();
    b = exchange(request, true);
    EXPECT_EQ(b, resultFrame(AUTH_REQUEST_FAILED));

    auto token = wire::encodeRequest(REQUEST_GSS_TOKEN, "alice", "tok");
    token.pop_back();
    b = exchange(token, true);
    EXPECT_EQ(b, resultFrame(AUTH_REQUEST_FAILED));
}

TEST_F(Protocol, ResultFrameCarriesTheMethodsCode) {
    auto r = kiv::authenticatePassword("nobody-here", "x");
    ASSERT_TRUE(r.reply) << r.error;
    EXPECT_EQ(r.reply->code, AUTH_UNKNOWN_USER);
    auto b = exchange(wire::encodeRequest(REQUEST_PASSWORD, "nobody-here", "x"));
    EXPECT_EQ(b, resultFrame(AUTH_UNKNOWN_USER));
}

TEST_F(Protocol, GssTokenRequest) {
    auto r = kiv::authenticateToken("alice", "tok");
    ASSERT_TRUE(r.reply) << r.error;
    EXPECT_EQ(r.reply->code, AUTH_OK);
    EXPECT_EQ(r.reply->uid, 1001);
    r = kiv::authenticateToken("alice", "wrong");
    ASSERT_TRUE(r.reply) << r.error;
    EXPECT_EQ(r.reply->code, AUTH_NOAUTH);
}

TEST_F(Protocol, NulBytesInNameOrPasswordAreRefused) {
    // Cut at the NUL, the name would be alice's and the password any (the
    // client library refuses such texts, so the frames are built here).
    for (const auto &[user, password] : {std::pair<std::string, std::string>{std::string("alice\0root", 10), "x"},
                                         {"alice", std::string("x\0y", 3)}}) {
        EXPECT_EQ(exchange(wire::encodeRequest(REQUEST_PASSWORD, user, password), true),
                  resultFrame(AUTH_REQUEST_FAILED));
    }
    auto r = kiv::authenticatePassword("alice", "x");
    ASSERT_TRUE(r.reply) << r.error;
    EXPECT_EQ(r.reply->code, AUTH_OK);
}
