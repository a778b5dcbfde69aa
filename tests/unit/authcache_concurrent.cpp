// The authentication cache under workers that store, look up, fail and
// flush at once: an answer always belongs to the name and password asked,
// and the size limit holds.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "authcache.h"
#include "log_files.h"
#include "methods.h"

namespace {

TEST(AuthCacheConcurrent, AnswersNeverMixUpUsers) {
    kivtest::ConfigList list({{"authCacheSeconds", "60"}, {"authCacheSize", "16"}});
    ASSERT_EQ(initAuthCache(list.data(), list.size()), 0);

    std::atomic<int> wrong{0};
    std::atomic<int> hits{0};
    std::atomic<size_t> largest{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < 3000; ++i) {
                const int u = (i * 7 + t) % 24;
                const std::string name = "user" + std::to_string(u);
                const std::string password = "pw" + std::to_string(u);
                CachedAnswer got;
                if (authCacheLookup(name.c_str(), password.c_str(), i, &got)) {
                    ++hits;
                    if (got.uid != 1000 + u || got.groups != std::vector<int>{1000 + u, u}) ++wrong;
                } else {
                    CachedAnswer a;
                    a.method = &authMethods[0];
                    a.uid = a.gid = 1000 + u;
                    a.groups = {1000 + u, u};
                    authCacheStore(authCacheTicket(name.c_str()), name.c_str(), password.c_str(), i, a);
                }
                if (authCacheLookup(name.c_str(), "not-the-password", i, &got)) ++wrong;
                if (i % 97 == t) authCacheForget(name.c_str());
                if (t == 0 && i % 1000 == 999) authCacheFlush();
                size_t n = authCacheEntries();
                size_t seen = largest.load();
                while (n > seen && !largest.compare_exchange_weak(seen, n)) {
                }
            }
        });
    }
    for (auto &w : workers) w.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(hits.load(), 0);
    EXPECT_LE(largest.load(), 16u);
    authCacheFlush();
    authCacheSeconds = 0;
}

} // namespace
