// pwAuthenticate from many threads at once with one context, as the daemon's
// workers call it (also run under ThreadSanitizer).
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "../unit/verify_logcapture.h"
#include "groups.h"
#include "pw.h"
#include "sandbox.h"

namespace {

TEST(PwConcurrent, SharedContextManyThreads) {
    const std::string a = kivtest::cryptHash("a-pw", "$5$");
    const std::string b = kivtest::cryptHash("b-pw", "$1$");
    const std::string c = kivtest::cryptHash("c-pw", "$6$");
    // A long gecos forces the lookup buffers to grow in every call.
    const std::string gecos(3000, 'g');
    kivtest::writeAccountFiles("ua:x:4001:4001:" + gecos + ":/home/ua:/bin/sh\n"
                               "ub:" + b + ":4002:4002::/home/ub:/bin/sh\n"
                               "uc:x:4003:4003::/home/uc:/bin/sh\n"
                               "ud:x:4004:4004::/home/ud:/bin/sh\n",
                               "ua:" + a + ":19000:0:99999:7:::\n"
                               "uc:" + c + ":0:0:99999:7:::\n"
                               // SHA-1("secret" + 16-byte salt) + salt
                               "ud:{SSHA}o8knsqoeF6dfrPOYBJ37h3y7MHYAAQIDBAUGBwgJCgsMDQ4P:19000:0:99999:7:::\n",
                               "");
    std::string k0 = "program", v0 = "kiv-services-daemon";
    ConfigEntry config[] = {{k0.data(), v0.data()}};
    int status = -1;
    char *message = nullptr;
    void *ctx = pwInit(config, 1, &status, nullptr, &message);
    ASSERT_EQ(status, 0);

    struct Case {
        const char *user, *password;
        int rc, uid;
    } cases[] = {
        {"ua", "a-pw", AUTH_OK, 4001},     {"ua", "b-pw", AUTH_NOAUTH, -1},
        {"ub", "b-pw", AUTH_OK, 4002},     {"uc", "c-pw", AUTH_EXPIRED, -1},
        {"nouser", "x", AUTH_UNKNOWN_USER, -1}, {"ud", "secret", AUTH_OK, 4004},
        {"ud", "secreT", AUTH_NOAUTH, -1},
    };
    constexpr int kCases = sizeof cases / sizeof cases[0];
    // Shown passwords: the hex-dump paths allocate the most per call.
    AuthLog log = kivcap::makeLog(1);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 14; ++i) {
                const Case &k = cases[(t + i) % kCases];
                int uid = -1, gid = -1;
                char *msg = nullptr;
                int rc = pwAuthenticate(ctx, k.user, k.password, &uid, &gid, nullptr, &log, &msg);
                if (rc != k.rc || uid != k.uid) ++wrong;
            }
        });
    }
    for (std::thread &th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
    pwTerminate(ctx, nullptr);
    pthread_mutex_init(&grpSearchLock, nullptr);
}

} // namespace
