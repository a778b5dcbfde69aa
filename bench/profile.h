// Profiling the {SSHA} path: where one request's cost goes, under
// callgrind (instructions by function), perf (CPU samples, kernel included)
// and strace (system calls per request).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "loadgen.h"

namespace kivbench {

struct ProfileInputs {
    std::string binDir, outDir, work;
    std::string accountsFile;   // {SSHA} accounts, correct passwords
    std::string daemonConfig;   // access log only
    int concurrency = 4;
    uint64_t requests = 3000;
    std::vector<std::string> modules;   // placed beside the daemon
};

// Writes its findings under outDir/profile/; returns 0 when every tool that
// is installed ran.
int runProfile(const ProfileInputs &in);

// The LDAP path: system calls per request of the daemon (with its module)
// beside those of the in-process `baseline` doing the same directory work,
// a trace of a few requests, and CPU samples.  Under outDir/profile/<label>/.
int runLdapProfile(const ProfileInputs &in, const std::string &label, const OperationFactory &baseline);

} // namespace kivbench
