#include "quality/benchmark_json.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>

#include "core/log.hpp"
#include "io/json_file_reader.hpp"
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

const char* const kMessagePrefix = "[Benchmark] ";

// An error value that may have been written as null.
double errorOrDefault(const nlohmann::json& value, double whenNull) {
    return value.is_null() ? whenNull : value.get<double>();
}

const nlohmann::json& resultList(const nlohmann::json& value) {
    if (!value.is_array()) {
        throw std::runtime_error(std::string("type must be array, but is ") + value.type_name());
    }
    return value;
}

BenchmarkResult resultFromJson(const io::JsonFileReader& reader, const nlohmann::json& object,
                               const std::string& where) {
    if (!object.is_object()) {
        reader.fail(std::string("type must be object, but is ") + object.type_name(), where);
    }
    const auto text = [](const nlohmann::json& value) { return value.get<std::string>(); };
    const auto error = [](double whenNull) {
        return [whenNull](const nlohmann::json& value) { return errorOrDefault(value, whenNull); };
    };
    BenchmarkResult result;
    result.backend_name = reader.required(object, "backend_name", text, where);
    result.camera_matrix = reader.required(object, "camera_matrix", io::matrixFromJson, where);
    result.dist_coeffs = reader.required(object, "dist_coeffs", io::rowVectorFromJson, where);
    result.hand_eye_roundtrip_error = reader.required(object, "hand_eye_roundtrip_error", error(-1.0), where);
    result.held_out_reprojection_error =
        reader.required(object, "held_out_reprojection_error", error(std::numeric_limits<double>::infinity()), where);
    result.image_count = reader.required(object, "image_count", io::intFromJson, where);
    result.reprojection_error =
        reader.required(object, "reprojection_error", error(std::numeric_limits<double>::quiet_NaN()), where);
    result.timestamp = reader.required(object, "timestamp", text, where);
    return result;
}

}  // namespace

std::vector<BenchmarkResult> benchmarkResultsFromJson(const std::string& text, const std::string& file) {
    const io::JsonFileReader reader(file, kMessagePrefix);
    const nlohmann::json document = reader.parseObject(text);
    const nlohmann::json& list = reader.required(document, "results", resultList);
    std::vector<BenchmarkResult> results;
    for (std::size_t i = 0; i < list.size(); ++i) {
        results.push_back(resultFromJson(reader, list[i], "results[" + std::to_string(i) + "]"));
    }
    return results;
}

double roundToMicro(double value) {
    return std::round(value * 1000000.0) / 1000000.0;
}

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
    std::string text;
    try {
        text = benchmarkResultsJson(results, utcTimestampNow()).dump(2);
    } catch (const nlohmann::json::exception& error) {
        throw std::runtime_error("[Benchmark] cannot write " + path + ": " + io::jsonErrorReason(error));
    }
    try {
        io::replaceTextFile(path, text);
    } catch (const std::runtime_error&) {
        throw std::runtime_error("[Benchmark] cannot open " + path + " for writing");
    }
    logMessage(LogLevel::Info, "[Benchmark] Results written to " + path);
}

std::vector<BenchmarkResult> CalibrationBenchmark::load_json(const std::string& path) {
    std::string text;
    try {
        text = io::readTextFile(path);
    } catch (const std::runtime_error&) {
        throw std::runtime_error("[Benchmark] cannot open " + path + " for reading");
    }
    return benchmarkResultsFromJson(text, path);
}

}  // namespace velk::quality
