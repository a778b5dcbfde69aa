// Token requests at once: 32 workers share the module's acceptor credential
// and replay cache.  Also reports token throughput at concurrency 1 and 32
// (KIVTEST_GSS_LOAD_REQUESTS requests per run, default 200).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "gss_realm.h"
#include "kivclient.hpp"

namespace {

using gsstest::daemonOptions;
using gsstest::serviceKeys;
using gsstest::tokens;

auto *const realmEnvironment = ::testing::AddGlobalTestEnvironment(new gsstest::RealmEnvironment(300));

struct Sent {
    std::string user, token;
};

// Sends every request from `threads` threads at once; the replies in order.
std::vector<kiv::Result> sendAll(const std::vector<Sent> &requests, int threads) {
    std::vector<kiv::Result> results(requests.size());
    std::atomic<size_t> next{0};
    std::atomic<int> ready{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&] {
            ++ready;
            while (ready.load() < threads) std::this_thread::yield();
            for (size_t i; (i = next++) < requests.size();)
                results[i] = kiv::authenticateToken(requests[i].user, requests[i].token);
        });
    }
    for (std::thread &t : pool) t.join();
    return results;
}

std::vector<Sent> freshRequests(int perUser) {
    std::vector<Sent> out;
    std::vector<std::string> a = tokens("alice", perUser), b = tokens("bob", perUser);
    for (int k = 0; k < perUser; ++k) {
        out.push_back({"alice", a[k]});
        out.push_back({"bob", b[k]});
    }
    return out;
}

TEST(GssConcurrent, ThirtyTwoTokenRequestsAtOnce) {
    gsstest::accounts();
    kivtest::Daemon d(daemonOptions(serviceKeys() + "numThreads=32\n"));
    ASSERT_TRUE(d.start()) << d.lastError();

    std::vector<Sent> requests = freshRequests(16);
    std::vector<kiv::Result> results = sendAll(requests, 32);
    for (size_t i = 0; i < requests.size(); ++i) {
        ASSERT_TRUE(results[i].ok()) << i << " " << results[i].error;
        EXPECT_EQ(results[i].reply->name, requests[i].user);
        EXPECT_EQ(results[i].reply->uid, requests[i].user == "alice" ? 1001 : 1002);
    }
    // The same 32 tokens again, at once: every one is a replay.
    results = sendAll(requests, 32);
    for (const kiv::Result &r : results) {
        ASSERT_TRUE(r.reply.has_value()) << r.error;
        EXPECT_EQ(r.reply->code, AUTH_NOAUTH);
    }
    EXPECT_EQ(d.terminate(), 0);
    EXPECT_FALSE(kivtest::hasSanitizerReport(d.stderrText())) << d.stderrText();
}

TEST(GssConcurrent, TokenThroughput) {
    gsstest::accounts();
    kivtest::Daemon d(daemonOptions(serviceKeys() + "numThreads=32\n"));
    ASSERT_TRUE(d.start()) << d.lastError();
    const char *env = std::getenv("KIVTEST_GSS_LOAD_REQUESTS");
    const int total = std::max(32, env ? std::atoi(env) : 200);
    for (int concurrency : {1, 32}) {
        std::vector<Sent> requests = freshRequests(total / 2);
        const auto start = std::chrono::steady_clock::now();
        std::vector<kiv::Result> results = sendAll(requests, concurrency);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        int ok = 0;
        for (const kiv::Result &r : results) ok += r.ok() ? 1 : 0;
        EXPECT_EQ(ok, static_cast<int>(requests.size()));
        std::printf("token requests, concurrency %d: %zu in %.2f s = %.0f auth/s\n", concurrency,
                    requests.size(), seconds, static_cast<double>(requests.size()) / seconds);
    }
    EXPECT_FALSE(kivtest::hasSanitizerReport(d.stderrText())) << d.stderrText();
}

} // namespace
