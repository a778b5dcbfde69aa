// The load engine: N worker threads run one operation in a loop until a
// request count or a time limit is reached, whichever comes first, and the
// results (latency percentiles too) are tallied.  The daemon scenarios and
// the in-process baselines all run through it, so they are measured the
// same way.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "json.h"

namespace kivbench {

struct LatencySummary {
    double p50Ms = 0, p95Ms = 0, p99Ms = 0, maxMs = 0, meanMs = 0;
};

// Nearest-rank percentile (p in (0, 100]) of samples sorted ascending; 0 for
// no samples.  Nearest rank never interpolates, so p99 is a latency that a
// request really had.
uint64_t percentile(const std::vector<uint64_t> &sorted, double p);

// Sorts the samples (nanoseconds) and summarises them in milliseconds.
LatencySummary summarize(std::vector<uint64_t> samplesNs);

// What one operation ended with: a result code, or a transport failure (no
// reply at all) described by `error`.
struct Outcome {
    int code = 0;
    bool transportError = false;
    std::string error;
};

// One operation; `seq` is the global request number (0, 1, 2, ...), which
// callers use to spread the work over their accounts.
using Operation = std::function<Outcome(uint64_t seq)>;
// Builds the operation of one worker, on that worker's thread, so per-thread
// state lives in the closure.
using OperationFactory = std::function<Operation(int worker)>;

struct LoadSpec {
    int concurrency = 1;
    double seconds = 5;       // always a limit, also when requests is set
    uint64_t requests = 0;    // 0: run for `seconds`
};

struct LoadResult {
    int concurrency = 0;
    uint64_t requests = 0;          // operations that got a result code
    uint64_t transportErrors = 0;   // operations without one
    double seconds = 0;
    double perSecond = 0;           // requests / seconds
    LatencySummary latency;         // over every operation, failures included
    std::map<int, uint64_t> codes;
    std::vector<std::string> errorSamples;   // the first few transport errors
};

// Runs the load.  Refuses nonsense (concurrency < 1, seconds <= 0) with an
// empty result.
LoadResult runLoad(const LoadSpec &spec, const OperationFactory &factory);

// Result codes are named with `codeName` (e.g. kiv::resultName).
Json toJson(const LoadResult &r, const std::function<std::string(int)> &codeName);
// Reads back what toJson wrote; false if a required field is missing.
bool fromJson(const Json &j, LoadResult *r, const std::function<int(const std::string &)> &codeOf);

} // namespace kivbench
