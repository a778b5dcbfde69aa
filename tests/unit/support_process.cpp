// Child processes of the test-support core: exit statuses, output capture and
// the bounded waits that keep a hung helper from hanging a test or the
// benchmark.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "process.h"

using kivtest::Child;
using kivtest::runToEnd;

namespace {

std::string tempPath(const char *tag) {
    return std::string("/tmp/kivtest-child-") + tag + "-" + std::to_string(getpid());
}

std::string slurp(const std::string &path) {
    std::ifstream in(path);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool alive(pid_t pid) { return kill(pid, 0) == 0; }

} // namespace

TEST(Child, ExitStatusAndOutputArrive) {
    const std::string out = tempPath("out");
    unlink(out.c_str());
    std::string error;
    EXPECT_EQ(runToEnd({"/bin/sh", "-c", "echo hello; echo oops >&2; exit 3"}, out, 10000, &error), 3);
    EXPECT_EQ(slurp(out), "hello\noops\n");
    // Output is appended, never truncated.
    EXPECT_EQ(runToEnd({"/bin/sh", "-c", "echo again"}, out, 10000, &error), 0);
    EXPECT_EQ(slurp(out), "hello\noops\nagain\n");
    unlink(out.c_str());
}

TEST(Child, MissingProgramAndSignalDeathAreFailures) {
    const std::string out = tempPath("fail");
    std::string error;
    EXPECT_EQ(runToEnd({"/nonexistent/program"}, out, 10000, &error), 127);
    EXPECT_EQ(runToEnd({"/bin/sh", "-c", "kill -9 $$"}, out, 10000, &error), -2);
    unlink(out.c_str());
}

TEST(Child, TimeoutKillsTheHelper) {
    const std::string out = tempPath("slow");
    std::string error;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(runToEnd({"/bin/sleep", "30"}, out, 200, &error), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
    EXPECT_NE(error.find("did not finish"), std::string::npos) << error;

    pid_t pid;
    {
        Child c;
        ASSERT_TRUE(c.spawn({"/bin/sleep", "30"}, out, &error)) << error;
        pid = c.pid();
        EXPECT_EQ(c.wait(50), -1);
        EXPECT_TRUE(alive(pid));
    }
    // Destroying the handle killed and reaped it.
    EXPECT_FALSE(alive(pid));
    unlink(out.c_str());
}

TEST(Child, SignalStopsAWaitingHelper) {
    const std::string out = tempPath("sig");
    std::string error;
    Child c;
    ASSERT_TRUE(c.spawn({"/bin/sleep", "30"}, out, &error)) << error;
    c.signal(SIGTERM);
    EXPECT_EQ(c.wait(5000), -2);
    EXPECT_EQ(c.pid(), -1);
    unlink(out.c_str());
}

TEST(Captured, InputOutputAndEnvironmentArriveApart) {
    auto r = kivtest::runCaptured({"sh", "-c", "read line; echo \"$line/$KIVTEST_X\"; echo err >&2; exit 4"},
                                  "typed\n", {{"KIVTEST_X", "set"}}, 10000);
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.out, "typed/set\n");
    EXPECT_EQ(r.err, "err\n");
    EXPECT_FALSE(r.timedOut);
    // Input larger than a pipe buffer, to a child that never reads it, must
    // not stall the run.
    r = kivtest::runCaptured({"/bin/true"}, std::string(1 << 20, 'x'), {}, 10000);
    EXPECT_EQ(r.status, 0) << r.error;
}

TEST(Captured, OverrunningChildIsKilledByTheLimit) {
    auto t0 = std::chrono::steady_clock::now();
    auto r = kivtest::runCaptured({"/bin/sh", "-c", "echo started; exec sleep 30"}, "", {}, 300);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
    EXPECT_TRUE(r.timedOut);
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.out, "started\n");
}

TEST(RunProgram, ExactEnvironmentAndCombinedOutput) {
    std::string out;
    const std::vector<std::string> env{"KIVTEST_ONLY=1"};
    EXPECT_EQ(kivtest::runProgramEnv({"/bin/sh", "-c", "echo \"$KIVTEST_ONLY${HOME:-unset}\"; echo e >&2"}, env,
                                     10000, &out),
              0);
    EXPECT_EQ(out, "1unset\ne\n");
    EXPECT_EQ(kivtest::runProgram({"/bin/sleep", "30"}, 200, &out), -1);
}
