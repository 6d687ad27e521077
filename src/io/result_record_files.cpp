#include "io/result_record_files.hpp"

#include <nlohmann/json.hpp>

#include "core/log.hpp"
#include "io/json_values.hpp"
#include "io/result_path.hpp"
#include "io/text_file.hpp"

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
    const std::string text = document.dump(2);
    const fs::path file = resolveSavePath(output_path, defaultName);
    replaceTextFile(file, text);
    logMessage(LogLevel::Success, std::string("Saved ") + what + " to " + file.string());
    return file;
}

json loadJson(const fs::path& input_path, const char* defaultName) {
    return json::parse(readTextFile(resolveLoadPath(input_path, defaultName)));
}

// The members hand_eye.json and eye_to_hand.json share: which camera, which solver, how many frames.
template <typename Record>
json solveSummaryToJson(const Record& record) {
    json document = json::object();
    document["method"] = record.method;
    document["num_cameras"] = record.num_cameras;
    document["num_frames_total"] = record.num_frames_total;
    document["num_frames_used"] = record.num_frames_used;
    document["reference_index"] = record.reference_index;
    return document;
}

template <typename Record>
void requiredSummaryFromJson(const json& document, Record& record) {
    record.reference_index = document.at("reference_index").get<int>();
    record.num_cameras = document.at("num_cameras").get<int>();
}

template <typename Record>
void optionalSummaryFromJson(const json& document, Record& record) {
    if (hasValue(document, "method")) {
        record.method = document.at("method").get<std::string>();
    }
    if (hasValue(document, "num_frames_used")) {
        record.num_frames_used = document.at("num_frames_used").get<int>();
    }
    if (hasValue(document, "num_frames_total")) {
        record.num_frames_total = document.at("num_frames_total").get<int>();
    }
}

}  // namespace

fs::path save_hand_eye_result(const fs::path& output_path, const HandEyeResultRecord& record) {
    json document = solveSummaryToJson(record);
    document["tcp_T_camera_list"] = matrixListToJson(record.tcp_T_camera_list);
    return saveJson(output_path, kHandEyeFileName, document, "hand-eye result");
}

HandEyeResultRecord load_hand_eye_result(const fs::path& input_path) {
    const json document = loadJson(input_path, kHandEyeFileName);
    HandEyeResultRecord record;
    requiredSummaryFromJson(document, record);
    record.tcp_T_camera_list = matrixListFromJson(document.at("tcp_T_camera_list"));
    optionalSummaryFromJson(document, record);
    return record;
}

fs::path save_eye_to_hand_result(const fs::path& output_path, const EyeToHandResultRecord& record) {
    json document = solveSummaryToJson(record);
    document["robot_T_camera_list"] = matrixListToJson(record.robot_T_camera_list);
    document["tcp_T_target"] = matrixToJson(record.tcp_T_target);
    return saveJson(output_path, kEyeToHandFileName, document, "eye-to-hand result");
}

EyeToHandResultRecord load_eye_to_hand_result(const fs::path& input_path) {
    const json document = loadJson(input_path, kEyeToHandFileName);
    EyeToHandResultRecord record;
    requiredSummaryFromJson(document, record);
    record.robot_T_camera_list = matrixListFromJson(document.at("robot_T_camera_list"));
    record.tcp_T_target = matrixFromJson(document.at("tcp_T_target"));
    optionalSummaryFromJson(document, record);
    return record;
}

fs::path save_multi_camera_calibration(const fs::path& output_path, const MultiCameraCalibrationRecord& record) {
    json distortions = json::array();
    for (const cv::Mat& coefficients : record.distortion_coefficients) {
        distortions.push_back(vectorToJson(coefficients));
    }
    json document = json::object();
    document["distortion_coefficients"] = distortions;
    document["intrinsic_matrices"] = matrixListToJson(record.intrinsic_matrices);
    document["intrinsic_reprojection_errors"] = record.intrinsic_reprojection_errors;
    document["num_cameras"] = record.num_cameras;
    document["pair_reprojection_errors"] = record.pair_reprojection_errors;
    document["reference_T_camera_list"] = matrixListToJson(record.reference_T_camera_list);
    document["reference_index"] = record.reference_index;
    return saveJson(output_path, kMultiCameraFileName, document, "multi-camera calibration");
}

MultiCameraCalibrationRecord load_multi_camera_calibration(const fs::path& input_path) {
    const json document = loadJson(input_path, kMultiCameraFileName);
    MultiCameraCalibrationRecord record;
    record.reference_index = document.at("reference_index").get<int>();
    record.num_cameras = document.at("num_cameras").get<int>();
    record.intrinsic_matrices = matrixListFromJson(document.at("intrinsic_matrices"));
    for (const json& coefficients : document.at("distortion_coefficients").get<std::vector<json>>()) {
        record.distortion_coefficients.push_back(rowVectorFromJson(coefficients));
    }
    record.reference_T_camera_list = matrixListFromJson(document.at("reference_T_camera_list"));
    if (hasValue(document, "intrinsic_reprojection_errors")) {
        record.intrinsic_reprojection_errors = errorListFromJson(document.at("intrinsic_reprojection_errors"));
    }
    if (hasValue(document, "pair_reprojection_errors")) {
        record.pair_reprojection_errors = errorListFromJson(document.at("pair_reprojection_errors"));
    }
    return record;
}

}  // namespace velk::io
