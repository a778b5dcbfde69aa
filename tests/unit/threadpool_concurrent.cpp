// Worker pool under load: many producers, many short jobs, repeated
// create/destroy with work in flight.  Also run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "threadpool.h"

namespace {

struct Tally {
    std::atomic<long> runs{0};
    std::atomic<long> sum{0};
};

Tally t;

void count(intptr_t value) {
    t.runs.fetch_add(1, std::memory_order_relaxed);
    t.sum.fetch_add(value, std::memory_order_relaxed);
}

void resetTally() {
    t.runs = 0;
    t.sum = 0;
}

void slow(intptr_t value) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    count(value);
}

// True if fn returns within the limit; a hung call is abandoned (detached).
template <class Fn> bool finishesWithin(Fn fn, std::chrono::seconds limit) {
    auto done = std::make_shared<std::promise<void>>();
    auto f = done->get_future();
    std::thread([fn, done] {
        fn();
        done->set_value();
    }).detach();
    return f.wait_for(limit) == std::future_status::ready;
}

TEST(ThreadPoolConcurrent, EveryJobFromManyProducersRunsOnce) {
    resetTally();
    ThreadPool *pool = ThreadPoolCreate(8);
    ASSERT_NE(pool, nullptr);
    constexpr int kProducers = 4, kJobs = 5000;
    std::vector<std::thread> producers;
    std::atomic<int> refused{0};
    for (int p = 0; p < kProducers; ++p)
        producers.emplace_back([&, p] {
            for (int i = 1; i <= kJobs; ++i)
                if (ThreadPoolAddJob(pool, ThreadPoolJob{count, p * kJobs + i}) != 0) ++refused;
        });
    for (std::thread &th : producers) th.join();
    ASSERT_TRUE(finishesWithin([pool] { ThreadPoolWait(pool); }, std::chrono::seconds(60)));
    EXPECT_EQ(refused.load(), 0);
    const long n = static_cast<long>(kProducers) * kJobs;
    EXPECT_EQ(t.runs.load(), n);
    EXPECT_EQ(t.sum.load(), n * (n + 1) / 2);
    ASSERT_TRUE(finishesWithin([pool] { ThreadPoolDestroy(pool); }, std::chrono::seconds(30)));
}

TEST(ThreadPoolConcurrent, WaitThenQueueAgainRepeatedly) {
    resetTally();
    ThreadPool *pool = ThreadPoolCreate(3);
    ASSERT_NE(pool, nullptr);
    long expected = 0;
    for (int round = 0; round < 200; ++round) {
        for (int i = 0; i < 7; ++i) ASSERT_EQ(ThreadPoolAddJob(pool, ThreadPoolJob{count, 1}), 0);
        expected += 7;
        ASSERT_TRUE(finishesWithin([pool] { ThreadPoolWait(pool); }, std::chrono::seconds(30)));
        ASSERT_EQ(t.runs.load(), expected) << "Wait returned before the jobs of round " << round << " ran";
    }
    ThreadPoolDestroy(pool);
}

TEST(ThreadPoolConcurrent, DestroyWithWorkInFlight) {
    resetTally();
    for (int round = 0; round < 50; ++round) {
        ThreadPool *pool = ThreadPoolCreate(1 + round % 6);
        ASSERT_NE(pool, nullptr);
        long roundStart = t.runs.load();
        for (int i = 0; i < 40; ++i) ASSERT_EQ(ThreadPoolAddJob(pool, ThreadPoolJob{slow, 1}), 0);
        if (round % 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        long before = t.runs.load();
        ASSERT_TRUE(finishesWithin([pool] { ThreadPoolDestroy(pool); }, std::chrono::seconds(30)));
        // Destruction returns only after the running jobs finished; nothing
        // runs afterwards.
        long after = t.runs.load();
        EXPECT_GE(after, before);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        EXPECT_EQ(t.runs.load(), after);
        EXPECT_LE(after - roundStart, 40);
    }
}

} // namespace
