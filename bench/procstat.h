// What /proc tells about a process and the machine: resident size, open
// descriptors, load, running compilers.
#pragma once
#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace kivbench {

// VmRSS of the process in KiB; -1 when it cannot be read.
long rssKiB(pid_t pid);
// Entries of /proc/<pid>/fd; -1 when it cannot be read.
int openFds(pid_t pid);
// 1-minute load average; -1 when it cannot be read.
double loadAverage1();
// Processes whose command name (comm) is exactly `name`.
int countProcesses(const std::string &name);

struct MachineInfo {
    std::string cpuModel;
    int cores = 0;
    std::string kernel;
    long memoryKiB = 0;
};
MachineInfo machineInfo();

// Calls `sample` every periodMs on a thread of its own (first at once) until
// destroyed.
class Sampler {
public:
    Sampler(int periodMs, std::function<void()> sample);
    ~Sampler();
    Sampler(const Sampler &) = delete;
    Sampler &operator=(const Sampler &) = delete;

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool stop_ = false;
    std::thread thread_;
};

// The largest resident size of a process, sampled every periodMs.
class RssSampler {
public:
    RssSampler(pid_t pid, int periodMs)
        : sampler_(periodMs, [this, pid] { max_.store(std::max(max_.load(), rssKiB(pid))); }) {}
    long maxKiB() const { return max_.load(); }

private:
    std::atomic<long> max_{-1};
    Sampler sampler_;
};

// CPU time used on the whole machine and by the processes of this mount
// namespace (the benchmark, its daemons, load generators and slapd; children
// they reaped included).  Their difference over an interval is the CPU that
// other work took from the benchmark, steal time included.
struct CpuSnapshot {
    double machineBusy = 0;   // seconds of busy CPU, all cores together
    double ours = 0;          // seconds used by this namespace's processes
    double wall = 0;          // monotonic clock, seconds
};
CpuSnapshot cpuSnapshot();
// Average number of cores other work used between the two snapshots.
double othersCores(const CpuSnapshot &from, const CpuSnapshot &to);

// Counts running compilers (cc1, cc1plus) once a second, so the report can
// say how quiet the machine stayed.
class CompilerWatch {
public:
    CompilerWatch() : sampler_(1000, [this] { sample(); }) {}
    int samples() const { return samples_.load(); }
    int busySamples() const { return busy_.load(); }
    int maxSeen() const { return max_.load(); }

private:
    void sample();
    std::atomic<int> samples_{0}, busy_{0}, max_{0};
    Sampler sampler_;
};

// `root` and every process descending from it (a daemon's worker processes).
std::vector<pid_t> processTree(pid_t root);
// CPU seconds (user + system, reaped children included) of processTree(root).
double treeCpuSeconds(pid_t root);

// System calls entered by some processes (all their threads), counted by
// perf's raw_syscalls:sys_enter tracepoint between start() and stop(): no
// tracing stops, so the daemon runs at almost full speed meanwhile.
class SyscallCounter {
public:
    // False (and *error) when perf cannot attach.
    bool start(const std::vector<pid_t> &pids, const std::string &outFile, std::string *error);
    // The count, -1 when perf gave none.
    long stop();

private:
    Child perf_;
    std::string out_;
};

} // namespace kivbench
