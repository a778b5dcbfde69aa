// libkivclient from many threads at once: every caller gets its own answer.
#include <gtest/gtest.h>
#include <kivclient.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sandbox.h"

namespace {

TEST(ClientsConcurrent, EachThreadGetsItsOwnAnswer) {
    kivtest::writeAccountFiles("root:x:0:0:root:/root:/bin/sh\n"
                               "alice:x:1001:1001::/home/alice:/bin/sh\n"
                               "bob:x:1002:1002::/home/bob:/bin/sh\n",
                               "root:*:19000:0:99999:7:::\n"
                               "alice:" + kivtest::cryptHash("Al1ce-pw", "$5$") + ":19000:0:99999:7:::\n"
                               "bob:" + kivtest::cryptHash("B0b-pw", "$5$") + ":19000:0:99999:7:::\n",
                               "root:x:0:\nalice:x:1001:\nbob:x:1002:\n");
    kivtest::DaemonOptions o;
    o.config = "daemon=no\ndebugLog=@DIR@/debug.log\naccessLog=@DIR@/access.log\nerrorLog=@DIR@/error.log\n"
               "methods=pw\nnumThreads=8\n";
    kivtest::Daemon d(o);
    ASSERT_TRUE(d.start()) << d.lastError();

    struct Ask {
        const char *user, *pw;
        int code;
        uid_t uid;
    };
    const Ask asks[] = {{"alice", "Al1ce-pw", KIV_AUTH_OK, 1001},
                        {"bob", "B0b-pw", KIV_AUTH_OK, 1002},
                        {"alice", "B0b-pw", KIV_AUTH_NOAUTH, 0},
                        {"carol", "x", KIV_AUTH_UNKNOWN_USER, 0}};
    std::atomic<int> wrong{0}, failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                const Ask &a = asks[(t + i) % 4];
                kiv_result *r = nullptr;
                int rc = kiv_authenticate(nullptr, a.user, a.pw, std::strlen(a.pw), 0, 20000, &r);
                if (rc != 0) {
                    ++failed;
                    continue;
                }
                bool ok = r->code == a.code &&
                          (a.code != KIV_AUTH_OK || (r->uid == a.uid && std::strcmp(r->name, a.user) == 0));
                if (!ok) ++wrong;
                kiv_result_free(r);
            }
        });
    for (auto &th : threads) th.join();
    EXPECT_EQ(0, failed.load());
    EXPECT_EQ(0, wrong.load());
}

} // namespace
