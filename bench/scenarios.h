// The whole benchmark: accounts, daemons, scenarios, baselines, soak and
// report, inside the private namespace.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace kivbench {

struct BenchParams {
    bool smoke = false;
    std::vector<int> concurrency{1, 4, 32};
    double seconds = 5;              // per measured run
    int rounds = 3;                  // daemon and baselines alternate; the median run of each is kept
    uint64_t requests = 0;           // per measured run; 0 = time-bound
    double warmupSeconds = 1;        // unmeasured run before each measured one
    uint64_t warmupRequests = 0;
    int numThreads = 4;              // the daemon's worker threads
    int users = 100;                 // accounts per kind
    uint64_t soakWarmup = 10000;
    uint64_t soakRequests = 100000;
    int soakSteps = 5;               // RSS samples across the soak
    bool ldap = true;
    // Scenario groups to run: sha512, cache, saslauthd (both), ssha, lockout,
    // nssfiles, soak, ldap;
    // empty = all.
    std::vector<std::string> only;
    int quietWaitSeconds = 0;        // wait this long at most for a quiet machine
    std::string outDir;              // report.json, report.md (and profile/)
    std::string binDir;              // daemon, module, kiv-loadgen
    std::string command;             // for the report
    // Profiling instead of the benchmark: callgrind, perf and strace on the
    // {SSHA} path.
    bool profile = false;
    uint64_t profileRequests = 3000;
};

// Returns the process exit status: 0 when the report was written.
int runBenchmark(BenchParams params);

} // namespace kivbench
