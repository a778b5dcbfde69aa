// Bounded client I/O over a socket pair: frames arriving in pieces, peers
// that stop or go away, and the per-connection time budget.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>
#include <vector>

#include "protocol.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Pair {
    int daemon = -1, client = -1;
    Pair() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
            daemon = fds[0];
            client = fds[1];
        }
    }
    ~Pair() {
        if (daemon >= 0) close(daemon);
        if (client >= 0) close(client);
    }
    void closeClient() {
        close(client);
        client = -1;
    }
};

std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + 3);
    return v;
}

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class ProtocolIo : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GE(p.daemon, 0);
        ioBudgetStart(5);
    }
    Pair p;
};

TEST_F(ProtocolIo, AssemblesAFrameThatArrivesInPieces) {
    const auto frame = pattern(300);
    std::thread sender([&] {
        for (size_t off = 0; off < frame.size(); off += 37) {
            size_t n = std::min<size_t>(37, frame.size() - off);
            ASSERT_EQ(send(p.client, frame.data() + off, n, MSG_NOSIGNAL), static_cast<ssize_t>(n));
            std::this_thread::sleep_for(3ms);
        }
    });
    std::vector<uint8_t> got(frame.size());
    EXPECT_GT(readinput(&p.daemon, got.data(), static_cast<int>(got.size())), 0);
    sender.join();
    EXPECT_EQ(got, frame);
}

TEST_F(ProtocolIo, ReadsExactlyWhatIsAskedAndLeavesTheRest) {
    const auto bytes = pattern(40);
    ASSERT_EQ(send(p.client, bytes.data(), bytes.size(), 0), 40);
    uint8_t head[16];
    ASSERT_GT(readinput(&p.daemon, head, sizeof head), 0);
    EXPECT_EQ(0, std::memcmp(head, bytes.data(), 16));
    // Drain 10, then the last 14 are still there.
    draininput(&p.daemon, 10);
    uint8_t tail[14];
    ASSERT_GT(readinput(&p.daemon, tail, sizeof tail), 0);
    EXPECT_EQ(0, std::memcmp(tail, bytes.data() + 26, 14));
}

TEST_F(ProtocolIo, PeerClosingMidFrameIsAFailure) {
    const auto bytes = pattern(10);
    ASSERT_EQ(send(p.client, bytes.data(), bytes.size(), 0), 10);
    p.closeClient();
    uint8_t buf[16];
    EXPECT_EQ(readinput(&p.daemon, buf, sizeof buf), 0);
    EXPECT_EQ(readinput(&p.daemon, buf, 0), 0);
}

TEST_F(ProtocolIo, SilentPeerEndsTheReadWhenTheBudgetIsSpent) {
    ioBudgetStart(1);
    uint8_t buf[8];
    auto start = Clock::now();
    EXPECT_EQ(readinput(&p.daemon, buf, sizeof buf), 0);
    EXPECT_GE(msSince(start), 900);
    EXPECT_LT(msSince(start), 3000);
    // The budget is spent: later waits end at once.
    start = Clock::now();
    draininput(&p.daemon, 5);
    EXPECT_LT(msSince(start), 500);
}

TEST_F(ProtocolIo, TimeWhilePausedIsNotCharged) {
    ioBudgetStart(1);
    ioBudgetPause();
    std::this_thread::sleep_for(1200ms);
    EXPECT_GT(ioBudgetRemainingMs(), 500);
    ioBudgetResume();
    const auto bytes = pattern(4);
    std::thread late([&] {
        std::this_thread::sleep_for(300ms);
        send(p.client, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    });
    uint8_t buf[4];
    EXPECT_GT(readinput(&p.daemon, buf, sizeof buf), 0);
    late.join();
}

TEST_F(ProtocolIo, SendWaitsForAReaderAndGivesUpWhenNoneComes) {
    // More than the socket buffers hold: the rest goes out as the peer reads.
    const auto big = pattern(1 << 21);
    std::vector<uint8_t> received;
    std::thread reader([&] {
        std::this_thread::sleep_for(100ms);
        uint8_t buf[65536];
        while (received.size() < big.size()) {
            ssize_t r = recv(p.client, buf, sizeof buf, 0);
            if (r <= 0) break;
            received.insert(received.end(), buf, buf + r);
        }
    });
    EXPECT_EQ(sendResp(&p.daemon, big.data(), static_cast<int>(big.size())), static_cast<int>(big.size()));
    reader.join();
    EXPECT_EQ(received, big);

    // Nobody reads now: the send stops short once the budget is spent.
    ioBudgetStart(1);
    auto start = Clock::now();
    int sent = sendResp(&p.daemon, big.data(), static_cast<int>(big.size()));
    EXPECT_LT(sent, static_cast<int>(big.size()));
    EXPECT_GE(msSince(start), 900);
    EXPECT_LT(msSince(start), 3000);
}

TEST_F(ProtocolIo, SendToAPeerThatLeftFailsWithoutSigpipe) {
    // With SIGPIPE at its default action the test process would die here.
    struct sigaction dfl {}, old{};
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &dfl, &old);
    p.closeClient();
    const auto bytes = pattern(64);
    EXPECT_LT(sendResp(&p.daemon, bytes.data(), static_cast<int>(bytes.size())), 64);
    sigaction(SIGPIPE, &old, nullptr);
}

} // namespace
