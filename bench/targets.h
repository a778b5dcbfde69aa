// The targets, judged from a finished report.
#pragma once
#include <vector>

#include "report.h"

namespace kivbench {

// Limits the targets are judged against.
inline constexpr double kSha512VsCrypt = 0.90;
inline constexpr double kSshaPerSecond = 10000;
inline constexpr double kSshaP99Ms = 10;
inline constexpr double kLdapVsLibldap = 0.80;
inline constexpr long kRssLimitKiB = 64 * 1024;
// Resident size may wobble by a few pages between samples; more than this
// across the soak counts as growth.
inline constexpr long kRssGrowthToleranceKiB = 256;

// One record per target.  Throughput targets are judged at the largest
// concurrency measured (32 in a full run) and say which one they used; a
// scenario that was not measured leaves its target pending.
std::vector<TargetRecord> evaluateTargets(const Report &report);

} // namespace kivbench
