#include "quality/benchmark_json.hpp"

#include <cmath>
#include <stdexcept>

#include "core/log.hpp"
#include "io/json_values.hpp"
#include "io/text_file.hpp"
#include "quality/calibration_benchmark.hpp"
#include "quality/utc_timestamp.hpp"

namespace velk::quality {
namespace {

nlohmann::json resultJson(const BenchmarkResult& result) {
    nlohmann::json object;
    object["backend_name"] = result.backend_name;
    object["camera_matrix"] = io::matrixToJson(result.camera_matrix);
    object["dist_coeffs"] = io::vectorToJson(result.dist_coeffs);
    object["hand_eye_roundtrip_error"] = result.hand_eye_roundtrip_error < 0.0
                                             ? nlohmann::json(nullptr)
                                             : nlohmann::json(roundToMicro(result.hand_eye_roundtrip_error));
    object["held_out_reprojection_error"] = roundToMicro(result.held_out_reprojection_error);
    object["image_count"] = result.image_count;
    object["reprojection_error"] = roundToMicro(result.reprojection_error);
    object["timestamp"] = result.timestamp;
    return object;
}

}  // namespace

double roundToMicro(double value) { return std::round(value * 1000000.0) / 1000000.0; }

nlohmann::json benchmarkResultsJson(const std::vector<BenchmarkResult>& results, const std::string& runTimestamp) {
    nlohmann::json document;
    document["run_timestamp"] = runTimestamp;
    document["results"] = nlohmann::json::array();
    for (const BenchmarkResult& result : results) {
        document["results"].push_back(resultJson(result));
    }
    return document;
}

// The whole text is built first and then replaces the file in one step, so a failed
// save leaves an earlier file as it was.
void CalibrationBenchmark::save_json(const std::vector<BenchmarkResult>& results, const std::string& path) {
    const std::string text = benchmarkResultsJson(results, utcTimestampNow()).dump(2);
    try {
        io::replaceTextFile(path, text);
    } catch (const std::runtime_error&) {
        throw std::runtime_error("[Benchmark] cannot open " + path + " for writing");
    }
    logMessage(LogLevel::Info, "[Benchmark] Results written to " + path);
}

}  // namespace velk::quality
