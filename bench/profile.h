// Profiling the {SSHA} path: where one request's cost goes, under
// callgrind (instructions by function), perf (CPU samples, kernel included)
// and strace (system calls per request).
#pragma once
#include <cstdint>
#include <string>

namespace kivbench {

struct ProfileInputs {
    std::string binDir, outDir, work;
    std::string accountsFile;   // {SSHA} accounts, correct passwords
    std::string daemonConfig;   // access log only
    int concurrency = 4;
    uint64_t requests = 3000;
};

// Writes its findings under outDir/profile/; returns 0 when every tool that
// is installed ran.
int runProfile(const ProfileInputs &in);

} // namespace kivbench
