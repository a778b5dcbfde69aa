// The PAM and password-file modules under concurrent requests (also run
// under ThreadSanitizer): every answer must be the right one for its own
// request, including while the password file is being replaced.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "module_fixture.h"

namespace {

using kivtest::Daemon;

// Runs `threads` clients doing `rounds` requests each; check(thread, round)
// returns an empty string when the answer was right, else a description.
template <class Check> std::vector<std::string> hammer(int threads, int rounds, Check check) {
    std::vector<std::string> failures(static_cast<size_t>(threads));
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            for (int i = 0; i < rounds && failures[static_cast<size_t>(t)].empty(); ++i)
                failures[static_cast<size_t>(t)] = check(t, i);
        });
    for (auto &th : pool) th.join();
    return failures;
}

TEST(ModulesConcurrent, PamAnswersEachRequestForItself) {
    std::string error;
    ASSERT_TRUE(modtest::mountPrivatePamDir(&error)) << error;
    kivtest::writeAccountFiles(
        "root:x:0:0:root:/root:/bin/sh\nalice:x:1001:1001::/h:/bin/sh\nbob:x:1002:1002::/h:/bin/sh\n",
        "root:*:19000:0:99999:7:::\nalice:" + kivtest::cryptHash("Al1ce-pw", "$5$") +
            ":19000:0:99999:7:::\nbob:" + kivtest::cryptHash("B0b-pw", "$5$") + ":19000:0:99999:7:::\n",
        "root:x:0:\n");
    Daemon d(modtest::options("kivmodpam.so", "pam", "numThreads=8\nPAM_SERVICE=kiv-unix\n"));
    ASSERT_TRUE(d.start()) << d.lastError();
    auto failures = hammer(32, 6, [](int t, int i) -> std::string {
        const bool alice = (t + i) % 2 == 0, right = (t * 7 + i) % 3 != 0;
        kiv::Result r = kiv::authenticatePassword(alice ? "alice" : "bob",
                                                  right ? (alice ? "Al1ce-pw" : "B0b-pw") : "wrong");
        if (!r.reply) return "transport: " + r.error;
        if (right && (r.reply->code != AUTH_OK || r.reply->uid != (alice ? 1001 : 1002)))
            return "right password answered " + kiv::resultName(r.reply->code);
        if (!right && r.reply->code != AUTH_NOAUTH) return "wrong password answered " + kiv::resultName(r.reply->code);
        return "";
    });
    for (const std::string &f : failures) EXPECT_EQ(f, "");
    EXPECT_EQ(d.terminate(), 0);
    EXPECT_FALSE(kivtest::hasSanitizerReport(d.stderrText())) << d.stderrText();
}

TEST(ModulesConcurrent, PasswdFileReplacedWhileServing) {
    kivtest::writeAccountFiles("root:x:0:0:root:/root:/bin/sh\n", "root:*:19000:0:99999:7:::\n", "root:x:0:\n");
    std::string dir = kivtest::makeTempDir("passwdfile-concurrent");
    std::string file = dir + "/service.passwd";
    // "stable" is in every version; "moving" changes uid with each version.
    const std::string stable = "stable:" + kivtest::cryptHash("St4ble", "$5$") + ":3000:3000\n";
    const std::string moving = kivtest::cryptHash("M0ving", "$5$");
    auto version = [&](int n) { return stable + "moving:" + moving + ":" + std::to_string(4000 + n % 2) + ":3000\n"; };
    kivtest::writeFile(file, version(0), 0600);
    Daemon d(modtest::options("kivmodlib.so", "custom", "numThreads=8\nPASSWDFILE_PATH=" + file + "\n"));
    ASSERT_TRUE(d.start()) << d.lastError();

    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int n = 1; !stop; ++n) {
            kivtest::writeFile(file + ".new", version(n), 0600);
            if (rename((file + ".new").c_str(), file.c_str()) != 0) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    auto failures = hammer(16, 20, [](int t, int i) -> std::string {
        const bool mover = (t + i) % 2 == 0;
        kiv::Result r = kiv::authenticatePassword(mover ? "moving" : "stable", mover ? "M0ving" : "St4ble");
        if (!r.reply) return "transport: " + r.error;
        if (r.reply->code != AUTH_OK) return "answered " + kiv::resultName(r.reply->code);
        if (mover ? (r.reply->uid != 4000 && r.reply->uid != 4001) : r.reply->uid != 3000)
            return "uid " + std::to_string(r.reply->uid);
        return "";
    });
    stop = true;
    writer.join();
    for (const std::string &f : failures) EXPECT_EQ(f, "");
    EXPECT_EQ(d.terminate(), 0);
    EXPECT_FALSE(kivtest::hasSanitizerReport(d.stderrText())) << d.stderrText();
}

} // namespace
