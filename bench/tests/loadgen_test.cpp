// The load engine and the latency percentiles behind every figure.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>

#include "client_op.h"
#include "loadgen.h"

using namespace kivbench;

TEST(Percentile, NearestRankNeverInterpolates) {
    std::vector<uint64_t> v;
    for (uint64_t i = 1; i <= 100; ++i) v.push_back(i);
    EXPECT_EQ(percentile(v, 50), 50u);
    EXPECT_EQ(percentile(v, 95), 95u);
    EXPECT_EQ(percentile(v, 99), 99u);
    EXPECT_EQ(percentile(v, 100), 100u);
    EXPECT_EQ(percentile({7}, 99), 7u);
    EXPECT_EQ(percentile({}, 99), 0u);
    // Ten samples: p99 is the largest one, p50 the fifth.
    std::vector<uint64_t> ten = {1, 2, 3, 4, 5, 6, 7, 8, 9, 1000};
    EXPECT_EQ(percentile(ten, 99), 1000u);
    EXPECT_EQ(percentile(ten, 50), 5u);
}

TEST(Percentile, SummaryIsInMillisecondsWhateverTheOrder) {
    LatencySummary s = summarize({3'000'000, 1'000'000, 2'000'000, 10'000'000});
    EXPECT_DOUBLE_EQ(s.p50Ms, 2.0);
    EXPECT_DOUBLE_EQ(s.p99Ms, 10.0);
    EXPECT_DOUBLE_EQ(s.maxMs, 10.0);
    EXPECT_DOUBLE_EQ(s.meanMs, 4.0);
}

TEST(LoadEngine, RequestLimitHandsOutEverySequenceNumberOnce) {
    constexpr uint64_t kRequests = 5000;
    std::vector<std::atomic<int>> seen(kRequests);
    std::mutex m;
    std::set<std::thread::id> factoryThreads;
    LoadResult r = runLoad({8, 30, kRequests}, [&](int) -> Operation {
        {
            std::lock_guard<std::mutex> lock(m);
            factoryThreads.insert(std::this_thread::get_id());
        }
        return [&](uint64_t seq) {
            if (seq < kRequests) ++seen[seq];
            Outcome o;
            o.code = seq % 5 == 0 ? AUTH_NOAUTH : AUTH_OK;
            return o;
        };
    });
    EXPECT_EQ(r.requests, kRequests);
    EXPECT_EQ(r.transportErrors, 0u);
    EXPECT_EQ(r.codes[AUTH_NOAUTH], kRequests / 5);
    EXPECT_EQ(r.codes[AUTH_OK], kRequests - kRequests / 5);
    for (uint64_t i = 0; i < kRequests; ++i) ASSERT_EQ(seen[i].load(), 1) << "sequence " << i;
    // Each worker built its own operation on its own thread.
    EXPECT_EQ(factoryThreads.size(), 8u);
    EXPECT_GT(r.perSecond, 0);
    EXPECT_NEAR(r.perSecond, static_cast<double>(r.requests) / r.seconds, 1e-6 * r.perSecond);
}

TEST(LoadEngine, TimeLimitStopsAnOpenEndedRun) {
    auto t0 = std::chrono::steady_clock::now();
    LoadResult r = runLoad({4, 0.3, 0}, [](int) -> Operation {
        return [](uint64_t) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            return Outcome{AUTH_OK, false, ""};
        };
    });
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(r.seconds, 0.3);
    EXPECT_LT(wall, 2.0);
    EXPECT_GT(r.requests, 20u);
    // Sleeping 2 ms per request: latency percentiles must show it.
    EXPECT_GE(r.latency.p50Ms, 2.0);
    EXPECT_GE(r.latency.maxMs, r.latency.p99Ms);
}

TEST(LoadEngine, TransportErrorsAreCountedApartAndSampled) {
    LoadResult r = runLoad({2, 30, 40}, [](int) -> Operation {
        return [](uint64_t seq) {
            Outcome o;
            if (seq % 2) {
                o.transportError = true;
                o.error = "refused " + std::to_string(seq);
            } else {
                o.code = AUTH_OK;
            }
            return o;
        };
    });
    EXPECT_EQ(r.requests, 20u);
    EXPECT_EQ(r.transportErrors, 20u);
    EXPECT_EQ(r.codes.size(), 1u);
    EXPECT_EQ(r.errorSamples.size(), 5u);
    EXPECT_EQ(r.errorSamples.front().rfind("refused ", 0), 0u);
}

TEST(LoadEngine, NonsenseSpecsDoNothing) {
    int calls = 0;
    auto f = [&](int) -> Operation {
        ++calls;
        return [](uint64_t) { return Outcome{}; };
    };
    EXPECT_EQ(runLoad({0, 1, 10}, f).requests, 0u);
    EXPECT_EQ(runLoad({2, 0, 10}, f).requests, 0u);
    EXPECT_EQ(calls, 0);
}

TEST(LoadEngine, JsonRoundTripKeepsEveryFigure) {
    LoadResult r;
    r.concurrency = 32;
    r.requests = 12345;
    r.transportErrors = 3;
    r.seconds = 1.25;
    r.perSecond = 9876;
    r.latency = {0.5, 1.5, 2.5, 9.5, 0.75};
    r.codes = {{AUTH_OK, 12000}, {AUTH_NOAUTH, 345}, {12345678, 1}};
    r.errorSamples = {"connect: refused"};
    std::string error;
    auto j = parseJson(toJson(r, codeName).dump(), &error);
    ASSERT_TRUE(j) << error;
    LoadResult back;
    ASSERT_TRUE(fromJson(*j, &back, codeFromName));
    EXPECT_EQ(back.concurrency, 32);
    EXPECT_EQ(back.requests, 12345u);
    EXPECT_EQ(back.transportErrors, 3u);
    EXPECT_DOUBLE_EQ(back.latency.p99Ms, 2.5);
    EXPECT_DOUBLE_EQ(back.latency.maxMs, 9.5);
    EXPECT_EQ(back.codes, r.codes);
    EXPECT_EQ(back.errorSamples, r.errorSamples);

    Json broken = *j;
    broken["latency_ms"] = Json::object();
    EXPECT_FALSE(fromJson(broken, &back, codeFromName));
}

TEST(ResultNames, EveryCodeNameReadsBack) {
    for (int code : {AUTH_OK, AUTH_ERROR, AUTH_NOT_PRIVILEGED, AUTH_EXPIRED, AUTH_NOAUTH, AUTH_UNKNOWN_USER,
                     AUTH_REQUEST_FAILED, 99, -5})
        EXPECT_EQ(codeFromName(codeName(code)), code) << codeName(code);
    EXPECT_EQ(codeFromName("AUTH_MAYBE"), -1);
    EXPECT_EQ(codeFromName("UNKNOWN(12x)"), -1);
}
