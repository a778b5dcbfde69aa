// Many clients at once: every one gets its own, correct answer.
#include <atomic>
#include <thread>

#include "core_common.h"

using namespace coretest;

TEST(Concurrency, TwoHundredClientsAllAnsweredCorrectly) {
    standardAccounts();
    std::string users;
    std::string groups;
    for (int i = 0; i < 40; ++i) {
        users += "u" + std::to_string(i) + ":ok:" + std::to_string(2000 + i) + ":" + std::to_string(3000 + i) + "::p" +
                 std::to_string(i) + ";";
        groups += "u" + std::to_string(i) + ":" + std::to_string(4000 + i) + ";";
    }
    DaemonOptions opts;
    opts.modules = {module("custom", "kivmodlib.so")};
    opts.config = baseConfig("methods=custom\nnumThreads=8\nmaxtries=3\nmaxtriesPeriod=60\nmaxtriesWait=60\n"
                             "custom_users=" + users + "\ncustom_groups=" + groups + "\n");
    Daemon d(opts);
    START_DAEMON(d);

    constexpr int kClients = 200;
    std::atomic<int> good{0}, refused{0}, wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kClients; ++t) {
        threads.emplace_back([&, t] {
            int i = t % 40;
            bool correct = t % 4 != 3;  // every fourth client sends a wrong password
            kiv::Result r = kiv::authenticatePassword("u" + std::to_string(i), correct ? "p" + std::to_string(i) : "bad");
            if (!r.reply) {
                ++wrong;
                return;
            }
            if (correct) {
                if (r.reply->code == AUTH_OK && r.reply->uid == 2000 + i &&
                    r.reply->groups == std::vector<int>{3000 + i, 4000 + i} && r.reply->name == "u" + std::to_string(i))
                    ++good;
                else
                    ++wrong;
            } else {
                if (r.reply->code == AUTH_NOAUTH)
                    ++refused;
                else
                    ++wrong;
            }
        });
    }
    for (auto &th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(good.load(), 150);
    EXPECT_EQ(refused.load(), 50);
    EXPECT_EQ(d.terminate(30000), 0);
    EXPECT_CLEAN(d);
}

TEST(Concurrency, ParallelGuessesStayWithinMaxtries) {
    DaemonOptions opts;
    opts.modules = {module("pam", "kivmodpam.so")};
    // Every guess takes the method 300 ms, so they all overlap.
    opts.config = baseConfig("methods=pam\nnumThreads=16\nmaxtries=3\nmaxtriesPeriod=60\nmaxtriesWait=60\n"
                             "pam_users=frank:noauth:::::300\n");
    Daemon d(opts);
    START_DAEMON(d);
    std::atomic<int> refused{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 32; ++t)
        threads.emplace_back([&] {
            kiv::Result r = kiv::authenticatePassword("frank", "guess");
            if (r.reply && r.reply->code == AUTH_NOAUTH) ++refused;
        });
    for (auto &th : threads) th.join();
    EXPECT_EQ(refused.load(), 32);
    EXPECT_EQ(d.terminate(30000), 0);
    EXPECT_EQ(countOf(dumpFile(d, "debug.log"), "testmod pam Authenticate frank"), 3);
    EXPECT_CLEAN(d);
}

// With the authentication cache on, repeats answered by the accept loop mix
// with wrong passwords served by workers (each of which ends a cached entry):
// every client still gets exactly its own answer.
TEST(Concurrency, CachedAndUncachedAnswersMixCorrectly) {
    standardAccounts();
    std::string users;
    for (int i = 0; i < 20; ++i)
        users += "u" + std::to_string(i) + ":ok:" + std::to_string(2000 + i) + ":" + std::to_string(3000 + i) +
                 "::p" + std::to_string(i) + ";";
    std::string groups;
    for (int i = 0; i < 20; ++i) groups += "u" + std::to_string(i) + ":" + std::to_string(4000 + i) + ";";
    DaemonOptions opts;
    opts.modules = {module("custom", "kivmodlib.so")};
    opts.config = baseConfig("methods=custom\nnumThreads=4\nauthCacheSeconds=300\ncustom_users=" + users +
                             "\ncustom_groups=" + groups + "\n");
    Daemon d(opts);
    START_DAEMON(d);

    std::atomic<int> wrong{0};
    for (int round = 0; round < 3; ++round) {
        std::vector<std::thread> threads;
        for (int t = 0; t < 60; ++t) {
            threads.emplace_back([&, t, round] {
                const int i = t % 20;
                const bool correct = (t + round) % 5 != 0;
                kiv::Result r =
                    kiv::authenticatePassword("u" + std::to_string(i), correct ? "p" + std::to_string(i) : "bad");
                const bool right = r.reply && (correct ? r.reply->code == AUTH_OK && r.reply->uid == 2000 + i &&
                                                             r.reply->name == "u" + std::to_string(i)
                                                       : r.reply->code == AUTH_NOAUTH);
                if (!right) ++wrong;
            });
        }
        for (auto &th : threads) th.join();
    }
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(d.terminate(30000), 0);
    EXPECT_GT(countOf(dumpFile(d, "access.log"), "(custom, cached)."), 0);
    EXPECT_CLEAN(d);
}
