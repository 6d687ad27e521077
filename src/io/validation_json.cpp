#include "io/validation_json.hpp"

#include <cmath>
#include <stdexcept>

#include "io/json_values.hpp"

using nlohmann::json;

namespace velk::io {
namespace {

json numberOrNull(double value) { return std::isfinite(value) ? json(value) : json(nullptr); }

json numbersOrNull(const std::vector<double>& values) {
    json list = json::array();
    for (double value : values) {
        list.push_back(numberOrNull(value));
    }
    return list;
}

std::vector<double> readNumbers(const json& object, const char* key) {
    std::vector<double> values;
    if (!hasValue(object, key)) {
        return values;
    }
    const json& list = object.at(key);
    if (!list.is_array()) {
        throw std::runtime_error(std::string("io: validation member ") + key + " must be a list");
    }
    for (const json& value : list) {
        values.push_back(value.is_null() ? std::nan("") : value.get<double>());
    }
    return values;
}

}  // namespace

json validationToJson(const ValidationRecord& record) {
    json object = json::object();
    object["validated"] = record.validated;
    object["reason"] = record.reason;
    object["frames"] = record.frames;
    if (!record.cameras.empty()) {
        object["cameras"] = record.cameras;
    }
    object["held_out_rms_px"] = numbersOrNull(record.held_out_rms_px);
    object["fitted_rms_px"] = numbersOrNull(record.fitted_rms_px);
    object["translation_mm"] = numbersOrNull(record.translation_mm);
    object["rotation_deg"] = numbersOrNull(record.rotation_deg);
    object["predicted_rms_px"] = numbersOrNull(record.predicted_rms_px);
    object["median_px"] = numberOrNull(record.median_px);
    object["p90_px"] = numberOrNull(record.p90_px);
    object["median_mm"] = numberOrNull(record.median_mm);
    object["median_deg"] = numberOrNull(record.median_deg);
    object["worst_frames"] = record.worst_frames;
    object["observed_over_predicted"] = numberOrNull(record.observed_over_predicted);
    return object;
}

ValidationRecord validationFromJson(const json& object) {
    if (!object.is_object()) {
        throw std::runtime_error("io: the validation must be an object");
    }
    ValidationRecord record;
    readIfPresent(object, "validated", record.validated);
    readIfPresent(object, "reason", record.reason);
    readIfPresent(object, "frames", record.frames);
    readIfPresent(object, "cameras", record.cameras);
    record.held_out_rms_px = readNumbers(object, "held_out_rms_px");
    record.fitted_rms_px = readNumbers(object, "fitted_rms_px");
    record.translation_mm = readNumbers(object, "translation_mm");
    record.rotation_deg = readNumbers(object, "rotation_deg");
    record.predicted_rms_px = readNumbers(object, "predicted_rms_px");
    readIfPresent(object, "median_px", record.median_px);
    readIfPresent(object, "p90_px", record.p90_px);
    readIfPresent(object, "median_mm", record.median_mm);
    readIfPresent(object, "median_deg", record.median_deg);
    readIfPresent(object, "worst_frames", record.worst_frames);
    readIfPresent(object, "observed_over_predicted", record.observed_over_predicted);
    return record;
}

}  // namespace velk::io
