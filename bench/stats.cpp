// Latency percentiles.
#include "stats.h"

#include <algorithm>
#include <cmath>

namespace kivbench {

uint64_t percentile(const std::vector<uint64_t> &sorted, double p) {
    if (sorted.empty()) return 0;
    // Rank ceil(p/100 * n), 1-based, clamped to the sample range.
    double rank = std::ceil(p / 100.0 * static_cast<double>(sorted.size()));
    size_t index = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
    if (index >= sorted.size()) index = sorted.size() - 1;
    return sorted[index];
}

LatencySummary summarize(std::vector<uint64_t> samplesNs) {
    LatencySummary s;
    if (samplesNs.empty()) return s;
    std::sort(samplesNs.begin(), samplesNs.end());
    auto ms = [](uint64_t ns) { return static_cast<double>(ns) / 1e6; };
    s.p50Ms = ms(percentile(samplesNs, 50));
    s.p95Ms = ms(percentile(samplesNs, 95));
    s.p99Ms = ms(percentile(samplesNs, 99));
    s.maxMs = ms(samplesNs.back());
    long double sum = 0;
    for (uint64_t v : samplesNs) sum += v;
    s.meanMs = static_cast<double>(sum / samplesNs.size()) / 1e6;
    return s;
}

} // namespace kivbench
