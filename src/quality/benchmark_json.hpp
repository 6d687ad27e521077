#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "quality/benchmark_result.hpp"

namespace velk::quality {

// {"results": [...], "run_timestamp": ...}; errors rounded to 6 decimals, a round trip
// that was not run (negative) and non-finite values as null.
nlohmann::json benchmarkResultsJson(const std::vector<BenchmarkResult>& results, const std::string& runTimestamp);

// The results of a document built by benchmarkResultsJson; `file` names the source in
// messages. A null round trip reads as -1 (no figure), a null held-out error as
// +infinity, a null reprojection error as NaN. Throws std::runtime_error naming the file.
std::vector<BenchmarkResult> benchmarkResultsFromJson(const std::string& text, const std::string& file);

// round(x * 1e6) / 1e6, halves away from zero.
double roundToMicro(double value);

}  // namespace velk::quality
