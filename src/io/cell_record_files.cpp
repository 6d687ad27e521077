#include <stdexcept>
#include <string>
#include <utility>

#include "core/log.hpp"
#include "io/cell_record.hpp"
#include "io/json_file_reader.hpp"
#include "io/json_values.hpp"
#include "io/record_members.hpp"
#include "io/replaced_file.hpp"
#include "io/result_path.hpp"
#include "io/text_file.hpp"
#include "io/validation_json.hpp"

using nlohmann::json;
namespace fs = std::filesystem;

namespace velk::io {

template <>
struct IsMemberRecord<CameraPairRecord> : std::true_type {};
template <>
struct IsMemberRecord<CellCameraRecord> : std::true_type {};

// The members of cell.json and of its parts, each in one list for the writer and the reader.
template <typename Visit>
void members(CameraPairRecord& record, Visit& visit) {
    visit("first", record.first);
    visit("second", record.second);
    visit("first_T_second", record.first_T_second);
    visit("sigma", record.sigma);
    visit("covariance", record.covariance);
}

template <typename Visit>
void members(CellCameraRecord& record, Visit& visit) {
    visit("name", record.name);
    visit("intrinsics_source", record.intrinsics_source);
    visit("sigma", record.sigma);
    visit("intrinsic_sigmas", record.intrinsic_sigmas);
    visit("rms_px", record.rms_px);
    visit("poses", record.poses);
    visit("image_names", record.image_names, kOmittedWhenEmpty);
    visit("validation", record.validation);
}

template <typename Visit>
void members(CellCalibrationRecord& record, Visit& visit) {
    visit("eye_to_hand", record.eye_to_hand);
    visit("reference_index", record.reference_index);
    visit("num_cameras", record.num_cameras);
    visit("method", record.method);
    visit("num_frames_used", record.num_frames_used);
    visit("num_frames_total", record.num_frames_total);
    visit("camera_model", record.camera_model);
    visit("robot_T_camera_list", record.robot_T_camera_list, kOmittedWhenEmpty);
    visit("tcp_T_target", record.tcp_T_target, kOmittedWhenEmpty);
    visit("tcp_T_camera_list", record.tcp_T_camera_list, kOmittedWhenEmpty);
    visit("world_T_target", record.world_T_target, kOmittedWhenEmpty);
    visit("target_sigma", record.target_sigma);
    visit("intrinsic_matrices", record.intrinsic_matrices);
    visit("distortion_coefficients", record.distortion_coefficients);
    visit("reference_T_camera_list", record.reference_T_camera_list);
    visit("intrinsic_reprojection_errors", record.intrinsic_reprojection_errors);
    visit("cameras", record.cameras);
    visit("camera_pairs", record.camera_pairs);
    visit("robot_translation_noise_mm", record.robot_translation_noise_mm);
    visit("robot_rotation_noise_deg", record.robot_rotation_noise_deg);
    visit("pixel_noise_px", record.pixel_noise_px);
    visit("noise_settled", record.noise_settled);
    visit("robot_pose_corrections", record.robot_pose_corrections);
    visit("rms_px", record.rms_px);
    visit("corner_count", record.corner_count);
}

namespace {

const char* const kCellFileName = "cell.json";

}  // namespace

fs::path save_cell_calibration(const fs::path& output_path, const CellCalibrationRecord& record) {
    json document = recordToJson(record);
    writeAnnotations(record, document);
    std::string text;
    try {
        text = document.dump(2);
    } catch (const json::exception& error) {
        throw std::runtime_error("io: cannot save the cell calibration to " + output_path.string() + ": " +
                                 error.what());
    }
    const fs::path file = resolveSavePath(output_path, kCellFileName);
    replaceTextFile(file, text);
    logMessage(LogLevel::Success, "Saved cell calibration to " + file.string());
    return file;
}

CellCalibrationRecord load_cell_calibration(const fs::path& input_path) {
    const fs::path file = resolveLoadPath(input_path, kCellFileName);
    JsonFileReader reader(file.string(), "io: ");
    const json document = reader.parseObject(readTextFile(file));
    if (!hasValue(document, "cameras") || !hasValue(document, "camera_pairs")) {
        throw std::runtime_error("io: " + file.string() +
                                 " is not a cell calibration record (no cameras and camera_pairs)");
    }
    CellCalibrationRecord record;
    reader.guarded("cell calibration",
                   [&] { record = recordFromJson<CellCalibrationRecord>(document, "cell calibration"); });
    readAnnotations(reader, document, record);
    return record;
}

}  // namespace velk::io
