// Latency summaries of one load run.
#pragma once
#include <cstdint>
#include <vector>

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

} // namespace kivbench
