// Worker pool: sizes, queue order, waiting for idle, destruction.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "threadpool.h"

namespace {

using namespace std::chrono_literals;

// What the jobs of one test record.  Jobs with a negative id block until
// release() (bounded by a timeout).
struct Probe {
    std::mutex m;
    std::condition_variable cv;
    std::vector<int> order;
    int running = 0, maxRunning = 0, done = 0;
    bool released = false;

    void release() {
        std::lock_guard<std::mutex> g(m);
        released = true;
        cv.notify_all();
    }
    bool waitRunning(int n) {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, 10s, [&] { return running >= n; });
    }
    int doneCount() {
        std::lock_guard<std::mutex> g(m);
        return done;
    }
};

Probe *probe;

void job(intptr_t id) {
    std::unique_lock<std::mutex> g(probe->m);
    probe->order.push_back(static_cast<int>(id));
    probe->maxRunning = std::max(probe->maxRunning, ++probe->running);
    probe->cv.notify_all();
    if (id < 0) probe->cv.wait_for(g, 10s, [] { return probe->released; });
    --probe->running;
    ++probe->done;
}

// True if fn finishes within limit.  A hung call is left behind (detached)
// so the test fails instead of hanging.
bool finishesWithin(std::function<void()> fn, std::chrono::milliseconds limit = 10s) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> f = done->get_future();
    std::thread([fn = std::move(fn), done] {
        fn();
        done->set_value();
    }).detach();
    return f.wait_for(limit) == std::future_status::ready;
}

class Pool : public testing::Test {
protected:
    void SetUp() override { probe = &probe_; }
    ThreadPool *make(int size) {
        pool_ = ThreadPoolCreate(size);
        return pool_;
    }
    void add(int id) { ASSERT_EQ(ThreadPoolAddJob(pool_, ThreadPoolJob{job, id}), 0); }
    void TearDown() override {
        probe_.release();
        if (pool_ != nullptr) {
            ThreadPool *p = pool_;
            EXPECT_TRUE(finishesWithin([p] { ThreadPoolDestroy(p); }));
        }
    }
    Probe probe_;
    ThreadPool *pool_ = nullptr;
};

TEST(ThreadPoolSize, OutsideOneToThirtyTwoIsRefused) {
    for (int size : {0, -1, 33, INT_MIN, INT_MAX}) EXPECT_EQ(ThreadPoolCreate(size), nullptr) << size;
    EXPECT_EQ(ThreadPoolAddJob(nullptr, ThreadPoolJob{job, 1}), -1);
}

TEST_F(Pool, RunsAsManyJobsAtOnceAsItHasWorkers) {
    for (int size : {1, 32}) {
        ASSERT_NE(make(size), nullptr) << size;
        for (int i = 0; i < size + 3; ++i) add(-1);
        ASSERT_TRUE(probe_.waitRunning(size));
        std::this_thread::sleep_for(50ms);  // an extra worker, if any, would show up now
        probe_.release();
        ASSERT_TRUE(finishesWithin([this] { ThreadPoolWait(pool_); }));
        EXPECT_EQ(probe_.doneCount(), size + 3);
        EXPECT_EQ(probe_.maxRunning, size);
        ThreadPoolDestroy(pool_);
        pool_ = nullptr;
        probe_.released = false;
        probe_.done = probe_.maxRunning = 0;
    }
}

TEST_F(Pool, OneWorkerRunsJobsInQueueOrder) {
    ASSERT_NE(make(1), nullptr);
    add(-1);  // holds the worker while the queue fills
    ASSERT_TRUE(probe_.waitRunning(1));
    std::vector<int> want{-1};
    for (int i = 0; i < 200; ++i) {
        add(i);
        want.push_back(i);
    }
    probe_.release();
    ASSERT_TRUE(finishesWithin([this] { ThreadPoolWait(pool_); }));
    EXPECT_EQ(probe_.order, want);
}

TEST_F(Pool, WaitReturnsAtOnceOnAnUnusedPool) {
    ASSERT_NE(make(3), nullptr);
    EXPECT_TRUE(finishesWithin([this] { ThreadPoolWait(pool_); }, 2s));
}

TEST_F(Pool, WaitBlocksWhileAJobRunsAndWakesEveryWaiter) {
    ASSERT_NE(make(2), nullptr);
    add(-1);
    ASSERT_TRUE(probe_.waitRunning(1));  // the queue is empty; the job still runs
    auto returned = std::make_shared<std::atomic<int>>(0);
    for (int i = 0; i < 2; ++i)
        std::thread([p = pool_, returned] {
            ThreadPoolWait(p);
            ++*returned;
        }).detach();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(returned->load(), 0);
    probe_.release();
    for (int i = 0; i < 1000 && *returned < 2; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(returned->load(), 2);
    if (*returned < 2) pool_ = nullptr;  // a waiter is stuck: leak rather than free under it
}

TEST_F(Pool, DestroyWaitsForTheRunningJobAndDropsQueuedOnes) {
    ASSERT_NE(make(1), nullptr);
    add(-1);
    ASSERT_TRUE(probe_.waitRunning(1));
    for (int i = 1; i <= 5; ++i) add(i);
    ThreadPool *p = pool_;
    pool_ = nullptr;
    auto destroyed = std::make_shared<std::atomic<bool>>(false);
    std::thread([p, destroyed] {
        ThreadPoolDestroy(p);
        *destroyed = true;
    }).detach();
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(destroyed->load());  // the running job is not abandoned
    probe_.release();
    for (int i = 0; i < 1000 && !*destroyed; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(destroyed->load());
    EXPECT_EQ(probe_.order, std::vector<int>{-1});
    EXPECT_EQ(probe_.doneCount(), 1);
}

} // namespace
