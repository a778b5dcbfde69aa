// Worker pool creation that fails part-way: the workers already started must
// be gone before the pool is released.  Thread start failures are injected by
// interposing pthread_create in this test executable.
#include <gtest/gtest.h>
#include <dirent.h>
#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include "threadpool.h"

namespace {
// Number of thread starts still allowed; negative = no limit.
std::atomic<int> startsLeft{-1};
std::atomic<int> startsRefused{0};

int threadCount() {
    int n = 0;
    DIR *d = opendir("/proc/self/task");
    if (d == nullptr) return -1;
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n;
}

bool threadCountBecomes(int expected) {
    for (int i = 0; i < 500; ++i) {
        if (threadCount() == expected) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return threadCount() == expected;
}
} // namespace

extern "C" int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *),
                              void *arg) {
    using Real = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "pthread_create"));
    int left = startsLeft.load();
    while (left >= 0) {
        if (left == 0) {
            ++startsRefused;
            return EAGAIN;
        }
        if (startsLeft.compare_exchange_weak(left, left - 1)) break;
    }
    return real(thread, attr, start, arg);
}

namespace {

TEST(ThreadPoolCreate, FailedThreadStartStopsTheStartedWorkers) {
    int before = threadCount();
    ASSERT_GT(before, 0);
    for (int allowed : {0, 1, 5, 31}) {
        startsRefused = 0;
        startsLeft = allowed;
        ThreadPool *pool = ThreadPoolCreate(32);
        startsLeft = -1;
        EXPECT_EQ(pool, nullptr) << allowed;
        EXPECT_EQ(startsRefused.load(), 1) << "creation stops at the first failure";
        EXPECT_TRUE(threadCountBecomes(before)) << allowed << " workers were left running";
    }
    // And with every start allowed the pool works as usual.
    ThreadPool *pool = ThreadPoolCreate(4);
    ASSERT_NE(pool, nullptr);
    EXPECT_TRUE(threadCountBecomes(before + 4));
    ThreadPoolDestroy(pool);
    EXPECT_TRUE(threadCountBecomes(before));
}

} // namespace
