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

// A one-shot gate jobs can block on; every wait is bounded.
class Gate {
public:
    void open() {
        std::lock_guard<std::mutex> g(m_);
        open_ = true;
        cv_.notify_all();
    }
    bool wait(std::chrono::milliseconds limit = 10s) {
        std::unique_lock<std::mutex> g(m_);
        return cv_.wait_for(g, limit, [&] { return open_; });
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool open_ = false;
};

// Shared state of the jobs of one test, reached through the job argument.
struct Probe {
    std::mutex m;
    std::condition_variable cv;
    std::vector<int> order;
    int running = 0;
    int maxRunning = 0;
    std::atomic<int> done{0};
    Gate release;
    bool gateTimedOut = false;

    void waitRunning(int n) {
        std::unique_lock<std::mutex> g(m);
        cv.wait_for(g, 10s, [&] { return running >= n; });
    }
};

struct Job {
    Probe *probe;
    int id;
    bool block;
};

// Owns the Job records handed out as arguments.
std::vector<std::unique_ptr<Job>> &jobStore() {
    static std::vector<std::unique_ptr<Job>> store;
    return store;
}

void runJob(intptr_t arg) {
    Job *job = reinterpret_cast<Job *>(arg);
    Probe *p = job->probe;
    {
        std::lock_guard<std::mutex> g(p->m);
        p->order.push_back(job->id);
        ++p->running;
        if (p->running > p->maxRunning) p->maxRunning = p->running;
        p->cv.notify_all();
    }
    if (job->block && !p->release.wait()) {
        std::lock_guard<std::mutex> g(p->m);
        p->gateTimedOut = true;
    }
    {
        std::lock_guard<std::mutex> g(p->m);
        --p->running;
    }
    ++p->done;
}

int add(ThreadPool *pool, Probe &probe, int id, bool block = false) {
    jobStore().push_back(std::make_unique<Job>(Job{&probe, id, block}));
    return ThreadPoolAddJob(pool, ThreadPoolJob{runJob, reinterpret_cast<intptr_t>(jobStore().back().get())});
}

// Runs fn on its own thread; true if it finished within limit.  A call that
// hangs is left behind (detached) so the test fails instead of hanging.
bool finishesWithin(std::function<void()> fn, std::chrono::milliseconds limit) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> f = done->get_future();
    std::thread([fn = std::move(fn), done] {
        fn();
        done->set_value();
    }).detach();
    return f.wait_for(limit) == std::future_status::ready;
}

TEST(ThreadPool, SizeOutsideOneToThirtyTwoIsRefused) {
    for (int size : {0, -1, 33, INT_MIN, INT_MAX}) EXPECT_EQ(ThreadPoolCreate(size), nullptr) << size;
}

TEST(ThreadPool, RunsAsManyJobsAtOnceAsItHasWorkers) {
    for (int size : {1, 4, 32}) {
        ThreadPool *pool = ThreadPoolCreate(size);
        ASSERT_NE(pool, nullptr) << size;
        Probe probe;
        for (int i = 0; i < size + 3; ++i) ASSERT_EQ(add(pool, probe, i, true), 0);
        probe.waitRunning(size);
        std::this_thread::sleep_for(50ms);  // give an extra worker, if any, time to show up
        {
            std::lock_guard<std::mutex> g(probe.m);
            EXPECT_EQ(probe.running, size);
        }
        probe.release.open();
        ASSERT_TRUE(finishesWithin([pool] { ThreadPoolWait(pool); }, 10s));
        EXPECT_EQ(probe.done.load(), size + 3);
        EXPECT_EQ(probe.maxRunning, size);
        EXPECT_FALSE(probe.gateTimedOut);
        ASSERT_TRUE(finishesWithin([pool] { ThreadPoolDestroy(pool); }, 10s));
    }
}

TEST(ThreadPool, OneWorkerRunsJobsInQueueOrder) {
    ThreadPool *pool = ThreadPoolCreate(1);
    ASSERT_NE(pool, nullptr);
    Probe probe;
    ASSERT_EQ(add(pool, probe, -1, true), 0);  // holds the worker while the queue fills
    probe.waitRunning(1);
    for (int i = 0; i < 200; ++i) ASSERT_EQ(add(pool, probe, i), 0);
    probe.release.open();
    ASSERT_TRUE(finishesWithin([pool] { ThreadPoolWait(pool); }, 10s));
    ASSERT_EQ(probe.order.size(), 201u);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(probe.order[i + 1], i);
    ASSERT_TRUE(finishesWithin([pool] { ThreadPoolDestroy(pool); }, 10s));
}

TEST(ThreadPool, WaitReturnsAtOnceOnAnUnusedPool) {
    ThreadPool *pool = ThreadPoolCreate(3);
    ASSERT_NE(pool, nullptr);
    EXPECT_TRUE(finishesWithin([pool] { ThreadPoolWait(pool); }, 2s));
    ASSERT_TRUE(finishesWithin([pool] { ThreadPoolDestroy(pool); }, 10s));
}

TEST(ThreadPool, WaitBlocksWhileAJobRuns) {
    ThreadPool *pool = ThreadPoolCreate(2);
    ASSERT_NE(pool, nullptr);
    Probe probe;
    ASSERT_EQ(add(pool, probe, 1, true), 0);
    probe.waitRunning(1);  // the queue is empty now; the job still runs
    std::atomic<bool> returned{false};
    std::thread waiter([&] {
        ThreadPoolWait(pool);
        returned = true;
    });
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(returned.load());
    probe.release.open();
    for (int i = 0; i < 1000 && !returned; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(returned.load());
    if (returned) {
        waiter.join();
    } else {
        waiter.detach();
    }
    EXPECT_EQ(probe.done.load(), 1);
    ASSERT_TRUE(finishesWithin([pool] { ThreadPoolDestroy(pool); }, 10s));
}

TEST(ThreadPool, EveryWaiterSeesThePoolGoIdle) {
    ThreadPool *pool = ThreadPoolCreate(1);
    ASSERT_NE(pool, nullptr);
    Probe probe;
    ASSERT_EQ(add(pool, probe, 1, true), 0);
    probe.waitRunning(1);
    std::atomic<int> returned{0};
    std::thread a([&] { ThreadPoolWait(pool); ++returned; });
    std::thread b([&] { ThreadPoolWait(pool); ++returned; });
    std::this_thread::sleep_for(100ms);
    probe.release.open();
    for (int i = 0; i < 1000 && returned < 2; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(returned.load(), 2);
    if (returned == 2) {
        a.join();
        b.join();
        ThreadPoolDestroy(pool);
    } else {
        a.detach();
        b.detach();
    }
}

TEST(ThreadPool, DestroyDropsQueuedJobsAndWaitsForTheRunningOne) {
    ThreadPool *pool = ThreadPoolCreate(1);
    ASSERT_NE(pool, nullptr);
    Probe probe;
    ASSERT_EQ(add(pool, probe, 0, true), 0);
    probe.waitRunning(1);
    for (int i = 1; i <= 5; ++i) ASSERT_EQ(add(pool, probe, i), 0);

    std::atomic<bool> destroyed{false};
    std::thread destroyer([&] {
        ThreadPoolDestroy(pool);
        destroyed = true;
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(destroyed.load());  // the running job is not abandoned
    probe.release.open();
    for (int i = 0; i < 1000 && !destroyed; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(destroyed.load());
    destroyer.join();
    EXPECT_EQ(probe.done.load(), 1);
    EXPECT_EQ(probe.order, std::vector<int>{0});
}

TEST(ThreadPool, RefusesJobsWithoutPoolOrFunction) {
    EXPECT_EQ(ThreadPoolAddJob(nullptr, ThreadPoolJob{runJob, 0}), -1);
    ThreadPool *pool = ThreadPoolCreate(1);
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(ThreadPoolAddJob(pool, ThreadPoolJob{nullptr, 0}), -1);
    EXPECT_TRUE(finishesWithin([pool] { ThreadPoolWait(pool); }, 2s));
    ASSERT_TRUE(finishesWithin([pool] { ThreadPoolDestroy(pool); }, 10s));
}

} // namespace
