// Many threads verifying at once: no shared state between calls (this file is
// also run under ThreadSanitizer).
#include <crypt.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "verify.h"
#include "verify_logcapture.h"

namespace {

std::string cryptOf(const std::string &password, const char *prefix) {
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (!crypt_gensalt_rn(prefix, 0, nullptr, 0, setting, sizeof setting)) return "";
    crypt_data data{};
    const char *h = crypt_r(password.c_str(), setting, &data);
    return h ? h : "";
}

TEST(VerifyConcurrent, ParallelChecksGiveSameAnswers) {
    struct Case {
        std::string password;
        std::string stored;
        int expected;
    };
    std::vector<Case> cases = {
        {"alpha", cryptOf("alpha", "$6$"), AUTH_OK},
        {"alphA", cryptOf("alpha", "$6$"), AUTH_NOAUTH},
        {"beta", cryptOf("beta", "$5$"), AUTH_OK},
        {"gamma", cryptOf("gamma", "$1$"), AUTH_OK},
        {"delta", cryptOf("delta", ""), AUTH_OK},
        {"secret", "{SSHA}o8knsqoeF6dfrPOYBJ37h3y7MHYAAQIDBAUGBwgJCgsMDQ4P", AUTH_OK},
        {"secreT", "{SSHA}o8knsqoeF6dfrPOYBJ37h3y7MHYAAQIDBAUGBwgJCgsMDQ4P", AUTH_NOAUTH},
        {"secret", "{SHA256}K7gNU3sdo+OL0wNhqoVWhr3g6s1xYv72ol/pe/Unols=", AUTH_OK},
        {"secret", "{SHA}5en6G6MezRroT3XKqkdPOmY/BfQ=", AUTH_OK},
    };
    for (const Case &c : cases) ASSERT_FALSE(c.stored.empty());

    std::atomic<int> wrong{0};
    AuthLog log = kivcap::makeLog(1);  // the shown-password paths allocate the most
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 6; ++i) {
                const Case &c = cases[(t + i) % cases.size()];
                char *message = nullptr;
                if (authenticatePassword(c.password.c_str(), c.stored.c_str(), &log, &message) !=
                    c.expected)
                    ++wrong;
                char *m2 = nullptr;
                if (shadowExpired(-1, -1, -1, 0, 0, 0, &log, &m2) != AUTH_OK) ++wrong;
            }
        });
    }
    for (std::thread &th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
}

} // namespace
