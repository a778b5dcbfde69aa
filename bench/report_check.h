// Structural check of a finished report: what CI runs on the smoke report.
#pragma once
#include <string>
#include <vector>

#include "json.h"

namespace kivbench {

// The scenarios every report must list (measured or not), unless it names
// the groups it was limited to (parameters.only).
const std::vector<std::string> &requiredScenarios();

// Problems found in the report document; empty when it is well formed.  A
// measured row must carry a complete daemon run with ordered percentiles and a
// ratio that matches its two throughputs.  With `strict`, every row of the
// scenarios in `mustMeasure` must be measured, no row may have failed, and no
// measured row may hold an unexpected answer.
std::vector<std::string> checkReport(const Json &report, bool strict = false,
                                     const std::vector<std::string> &mustMeasure = {});

} // namespace kivbench
