#include "io/result_record_files.hpp"

#include <stdexcept>

#include <nlohmann/json.hpp>

#include "core/camera_projection.hpp"
#include "core/log.hpp"
#include "io/json_file_reader.hpp"
#include "io/json_values.hpp"
#include "io/refinement_json.hpp"
#include "io/result_path.hpp"
#include "io/text_file.hpp"
#include "io/validation_json.hpp"

namespace fs = std::filesystem;
using nlohmann::json;

namespace velk::io {
namespace {

const char* const kHandEyeFileName = "hand_eye.json";
const char* const kEyeToHandFileName = "eye_to_hand.json";
const char* const kMultiCameraFileName = "multi_camera_calibration.json";

// The JSON text is complete before the file is touched: a record that cannot be
// written (text that is not UTF-8) leaves an existing file as it was.
fs::path saveJson(const fs::path& output_path, const char* defaultName, const json& document, const char* what) {
    std::string text;
    try {
        text = document.dump(2);
    } catch (const json::exception& error) {
        throw std::runtime_error(std::string("io: cannot save ") + what + " to " + output_path.string() + ": " +
                                 jsonErrorReason(error));
    }
    const fs::path file = resolveSavePath(output_path, defaultName);
    replaceTextFile(file, text);
    logMessage(LogLevel::Success, std::string("Saved ") + what + " to " + file.string());
    return file;
}

const char* const kMessagePrefix = "io: ";

// The reader that names the resolved file in its messages, and the parsed document.
std::pair<JsonFileReader, json> loadJson(const fs::path& input_path, const char* defaultName) {
    const fs::path file = resolveLoadPath(input_path, defaultName);
    JsonFileReader reader(file.string(), kMessagePrefix);
    json document = reader.parseObject(readTextFile(file));
    return {std::move(reader), std::move(document)};
}

int intMember(const JsonFileReader& reader, const json& document, const char* key) {
    return reader.required(document, key, intFromJson);
}

void optionalInt(const JsonFileReader& reader, const json& document, const char* key, int& field) {
    reader.optional(document, key, [&](const json& value) { field = intFromJson(value); });
}

std::vector<double> optionalErrors(const JsonFileReader& reader, const json& document, const char* key) {
    std::vector<double> errors;
    reader.optional(document, key, [&](const json& value) { errors = errorListFromJson(value); });
    return errors;
}

std::vector<cv::Mat> coefficientListFromJson(const json& list) {
    if (!list.is_array()) {
        throw std::runtime_error(std::string("type must be array, but is ") + list.type_name());
    }
    std::vector<cv::Mat> coefficients;
    for (const json& element : list) {
        coefficients.push_back(rowVectorFromJson(element));
    }
    return coefficients;
}

// The members every result record ends with: its refinement and validation when it has them, and its
// annotations.
template <typename Record>
void writeOutcome(const Record& record, json& document) {
    if (record.refinement) {
        document["refinement"] = refinementToJson(*record.refinement);
    }
    if (record.validation) {
        document["validation"] = validationToJson(*record.validation);
    }
    writeAnnotations(record, document);
}

template <typename Record>
void readOutcome(const JsonFileReader& reader, const json& document, Record& record) {
    reader.optional(document, "refinement", [&](const json& value) { record.refinement = refinementFromJson(value); });
    reader.optional(document, "validation", [&](const json& value) { record.validation = validationFromJson(value); });
    readAnnotations(reader, document, record);
}

// The members hand_eye.json and eye_to_hand.json share: which camera, which solver, how many frames.
template <typename Record>
json solveSummaryToJson(const Record& record) {
    json document = json::object();
    // A pinhole record is written as before fisheye lenses: without the member, which reads as pinhole.
    const CameraModel model = cameraModelFromName(record.camera_model, "io: cannot save the record");
    if (model != CameraModel::Pinhole) {
        document["camera_model"] = cameraModelName(model);
    }
    document["method"] = record.method;
    document["num_cameras"] = record.num_cameras;
    document["num_frames_total"] = record.num_frames_total;
    document["num_frames_used"] = record.num_frames_used;
    document["reference_index"] = record.reference_index;
    writeOutcome(record, document);
    return document;
}

// "pinhole" or "fisheye"; the reader names the member of anything else.
std::string cameraModelOf(const json& value) {
    const std::string name = value.get<std::string>();
    if (name != cameraModelName(CameraModel::Pinhole) && name != cameraModelName(CameraModel::Fisheye)) {
        throw std::runtime_error("unknown camera model '" + name + "' (expected 'pinhole' or 'fisheye')");
    }
    return name;
}

template <typename Record>
void requiredSummaryFromJson(const JsonFileReader& reader, const json& document, Record& record) {
    record.reference_index = intMember(reader, document, "reference_index");
    record.num_cameras = intMember(reader, document, "num_cameras");
}

template <typename Record>
void optionalSummaryFromJson(const JsonFileReader& reader, const json& document, Record& record) {
    reader.optional(document, "method", [&](const json& value) { record.method = value.get<std::string>(); });
    reader.optional(document, "camera_model", [&](const json& value) { record.camera_model = cameraModelOf(value); });
    optionalInt(reader, document, "num_frames_used", record.num_frames_used);
    optionalInt(reader, document, "num_frames_total", record.num_frames_total);
    readOutcome(reader, document, record);
}

// A known model, and a fisheye rig's four coefficients per camera.
void checkRigCameraModel(const MultiCameraCalibrationRecord& record) {
    const CameraModel model = cameraModelFromName(record.camera_model, "io: multi-camera calibration");
    for (const cv::Mat& coefficients : record.distortion_coefficients) {
        checkDistortionForModel(model, coefficients, "io: multi-camera calibration");
    }
}

// Each hand-eye record's own transforms, written after and read between the shared members.
void addTransforms(const HandEyeResultRecord& record, json& document) {
    document["tcp_T_camera_list"] = matrixListToJson(record.tcp_T_camera_list);
}

void addTransforms(const EyeToHandResultRecord& record, json& document) {
    document["robot_T_camera_list"] = matrixListToJson(record.robot_T_camera_list);
    document["tcp_T_target"] = matrixToJson(record.tcp_T_target);
}

void readTransforms(const JsonFileReader& reader, const json& document, HandEyeResultRecord& record) {
    record.tcp_T_camera_list = reader.required(document, "tcp_T_camera_list", matrixListFromJson);
}

void readTransforms(const JsonFileReader& reader, const json& document, EyeToHandResultRecord& record) {
    record.robot_T_camera_list = reader.required(document, "robot_T_camera_list", matrixListFromJson);
    record.tcp_T_target = reader.required(document, "tcp_T_target", matrixFromJson);
}

template <typename Record>
fs::path saveSolveRecord(const fs::path& output_path, const Record& record, const char* defaultName, const char* what) {
    json document = solveSummaryToJson(record);
    addTransforms(record, document);
    return saveJson(output_path, defaultName, document, what);
}

template <typename Record>
Record loadSolveRecord(const fs::path& input_path, const char* defaultName) {
    const auto [reader, document] = loadJson(input_path, defaultName);
    Record record;
    requiredSummaryFromJson(reader, document, record);
    readTransforms(reader, document, record);
    optionalSummaryFromJson(reader, document, record);
    return record;
}

}  // namespace

fs::path save_hand_eye_result(const fs::path& output_path, const HandEyeResultRecord& record) {
    return saveSolveRecord(output_path, record, kHandEyeFileName, "hand-eye result");
}

HandEyeResultRecord load_hand_eye_result(const fs::path& input_path) {
    return loadSolveRecord<HandEyeResultRecord>(input_path, kHandEyeFileName);
}

fs::path save_eye_to_hand_result(const fs::path& output_path, const EyeToHandResultRecord& record) {
    return saveSolveRecord(output_path, record, kEyeToHandFileName, "eye-to-hand result");
}

EyeToHandResultRecord load_eye_to_hand_result(const fs::path& input_path) {
    return loadSolveRecord<EyeToHandResultRecord>(input_path, kEyeToHandFileName);
}

fs::path save_multi_camera_calibration(const fs::path& output_path, const MultiCameraCalibrationRecord& record) {
    json distortions = json::array();
    for (const cv::Mat& coefficients : record.distortion_coefficients) {
        distortions.push_back(vectorToJson(coefficients));
    }
    json document = json::object();
    checkRigCameraModel(record);
    document["camera_model"] = record.camera_model;
    document["distortion_coefficients"] = distortions;
    document["intrinsic_matrices"] = matrixListToJson(record.intrinsic_matrices);
    document["intrinsic_reprojection_errors"] = record.intrinsic_reprojection_errors;
    document["num_cameras"] = record.num_cameras;
    document["pair_reprojection_errors"] = record.pair_reprojection_errors;
    document["reference_T_camera_list"] = matrixListToJson(record.reference_T_camera_list);
    document["reference_index"] = record.reference_index;
    writeOutcome(record, document);
    return saveJson(output_path, kMultiCameraFileName, document, "multi-camera calibration");
}

MultiCameraCalibrationRecord load_multi_camera_calibration(const fs::path& input_path) {
    const auto [reader, document] = loadJson(input_path, kMultiCameraFileName);
    MultiCameraCalibrationRecord record;
    record.reference_index = intMember(reader, document, "reference_index");
    record.num_cameras = intMember(reader, document, "num_cameras");
    record.intrinsic_matrices = reader.required(document, "intrinsic_matrices", matrixListFromJson);
    record.distortion_coefficients = reader.required(document, "distortion_coefficients", coefficientListFromJson);
    record.reference_T_camera_list = reader.required(document, "reference_T_camera_list", matrixListFromJson);
    reader.optional(document, "camera_model", [&](const json& value) {
        record.camera_model = cameraModelName(cameraModelFromName(value.get<std::string>(), "io"));
    });
    reader.guarded("distortion_coefficients", [&] { checkRigCameraModel(record); });
    record.intrinsic_reprojection_errors = optionalErrors(reader, document, "intrinsic_reprojection_errors");
    record.pair_reprojection_errors = optionalErrors(reader, document, "pair_reprojection_errors");
    readOutcome(reader, document, record);
    return record;
}

}  // namespace velk::io
