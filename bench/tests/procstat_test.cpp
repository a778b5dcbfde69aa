// /proc readings behind the memory, descriptor and quietness figures.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <time.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "procstat.h"

using namespace kivbench;

TEST(ProcStat, DescriptorsAreCountedExactly) {
    int before = openFds(getpid());
    ASSERT_GT(before, 0);
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(openFds(getpid()), before + 1);
    close(fd);
    EXPECT_EQ(openFds(getpid()), before);
    EXPECT_EQ(openFds(999999999), -1);
    EXPECT_EQ(rssKiB(999999999), -1);
}

TEST(ProcStat, SamplerSeesResidentSizeGrow) {
    const long before = rssKiB(getpid());
    ASSERT_GT(before, 0);
    RssSampler sampler(getpid(), 10);
    constexpr size_t kBytes = 32u << 20;
    auto block = std::make_unique<char[]>(kBytes);
    std::memset(block.get(), 1, kBytes);   // touched, so resident
    const long expected = before + static_cast<long>(kBytes / 1024) * 3 / 4;
    // Give the sampler time to run even on a busy machine.
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (sampler.maxKiB() < expected && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_GE(sampler.maxKiB(), expected);
    EXPECT_EQ(block[kBytes - 1], 1);
}

TEST(ProcStat, OwnCpuIsNotCountedAsOtherWork) {
    CpuSnapshot a = cpuSnapshot();
    // Burn 0.3 s of this thread's CPU (however long that takes on a busy
    // machine, within reason).
    auto cpuNow = [] {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
    };
    const double start = cpuNow();
    auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    volatile unsigned long spin = 0;
    while (cpuNow() - start < 0.3 && std::chrono::steady_clock::now() < limit) spin = spin + 1;
    CpuSnapshot b = cpuSnapshot();
    EXPECT_GE(b.ours - a.ours, 0.2);
    // The machine's counters and the process's are sampled apart (ticks,
    // steal on a VM), so on a loaded machine they can differ by a good part
    // of the interval; the machine must still have seen much of our work.
    EXPECT_GE(b.machineBusy - a.machineBusy, 0.5 * (b.ours - a.ours) - 0.05);
    EXPECT_GE(othersCores(a, b), 0.0);
    EXPECT_EQ(othersCores(b, a), 0.0) << "an interval running backwards is empty";
}

TEST(ProcStat, MachineAndProcessNames) {
    MachineInfo m = machineInfo();
    EXPECT_GE(m.cores, 1);
    EXPECT_GT(m.memoryKiB, 0);
    EXPECT_FALSE(m.kernel.empty());
    EXPECT_GE(countProcesses("bench_unit"), 1);
    EXPECT_EQ(countProcesses("no-such-process-name"), 0);
    EXPECT_GE(loadAverage1(), 0.0);
}
