// The child runner: what a caller sees of a program that misbehaves.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>

#include "runas.h"

namespace {

void quiet(const char *, ...) {}

RunAsSpec shell(const std::string &script) {
    RunAsSpec spec;
    spec.path = "/bin/sh";
    spec.argv = {"sh", "-c", script};
    spec.env = {"PATH=/usr/bin:/bin"};
    spec.uid = 65534;
    spec.gid = 65534;
    spec.groups = {65534};
    spec.workdir = "/tmp";
    spec.debug = quiet;
    spec.error = quiet;
    return spec;
}

} // namespace

TEST(RunAs, ChildThatExitsIsReapedWithItsOutputAndStatus) {
    alarm(60);  // a hang here would otherwise last until ctest's limit
    RunAsSpec spec = shell("read line; echo \"$line $(id -u) $(id -G) $(pwd)\"; exit 3");
    spec.input = "hello\n";
    RunAsResult r = runAs(spec);
    EXPECT_EQ(r.failure, RunAsFailure::None);
    EXPECT_TRUE(r.reaped);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode(), 3);
    EXPECT_EQ(r.output, "hello 65534 65534 /tmp\n");

    r = runAs(shell("kill -KILL $$"));
    EXPECT_EQ(r.signal(), SIGKILL);
    EXPECT_FALSE(r.exited());

    // A program that cannot be executed ends the child with its own status.
    spec = shell("");
    spec.path = "/nonexistent/tool";
    r = runAs(spec);
    EXPECT_EQ(r.exitCode(), 104);
    alarm(0);
}

// A program that ignores SIGTERM and never stops writing still ends at the
// time limit, even when the caller takes the output more slowly than it comes;
// and no more of the output than the limit is kept.
TEST(RunAs, FloodingChildIsKilledAtTheLimitWithBoundedOutput) {
    alarm(60);
    RunAsSpec spec = shell("trap '' TERM; exec yes flood");
    spec.timeLimitSeconds = 1;
    size_t handed = 0;
    spec.onOutput = [&handed](std::string_view block) {
        handed += block.size();
        usleep(1000);  // a slow log file
    };
    const auto start = std::chrono::steady_clock::now();
    RunAsResult r = runAs(spec);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(r.timedOut);
    EXPECT_TRUE(r.reaped);
    EXPECT_EQ(r.signal(), SIGKILL);
    EXPECT_GT(handed, 0u);
    EXPECT_TRUE(r.output.empty()) << "handed over, not collected";
    EXPECT_LT(took, std::chrono::seconds(6));

    spec.onOutput = nullptr;
    spec.outputLimit = 1000;
    r = runAs(spec);
    EXPECT_TRUE(r.timedOut);
    EXPECT_EQ(r.output.size(), 1000u);
    EXPECT_TRUE(r.outputTruncated);
    EXPECT_EQ(r.output.substr(0, 12), "flood\nflood\n");
    alarm(0);
}
