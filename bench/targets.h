// The issues' targets, judged from a finished report.
#pragma once
#include <vector>

#include "report.h"

namespace kivbench {

// Limits the memory targets are judged against.
inline constexpr long kRssLimitKiB = 64 * 1024;
// Resident size may wobble by a few pages between samples; more than this
// across the soak counts as growth.
inline constexpr long kRssGrowthToleranceKiB = 256;

// One record per target.  A ratio target is judged at every concurrency of
// its scenario, or at the largest one measured (32 in a full run) where the
// target says so; a scenario that was not measured leaves it pending, one
// that was not part of the run leaves it out.
std::vector<TargetRecord> evaluateTargets(const Report &report);

} // namespace kivbench
