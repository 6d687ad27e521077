#include "calibration/cell/cell_record.hpp"

#include <stdexcept>

#include "calibration/hand_eye/hand_eye_validation_record.hpp"
#include "calibration/refinement/refinement_record_values.hpp"

namespace velk::calibration {
namespace {

std::vector<double> flattened(const cv::Mat& coefficients) {
    cv::Mat values;
    coefficients.convertTo(values, CV_64F);
    return values.empty() ? std::vector<double>{} : std::vector<double>(values.begin<double>(), values.end<double>());
}

std::string commonCameraModel(const CellResult& result) {
    const std::string model = result.starts.front().outcome.camera_model;
    for (const CellCameraStart& start : result.starts) {
        if (start.outcome.camera_model != model) {
            throw std::invalid_argument(
                "cellCalibrationRecord: the cameras were calibrated with different lens models");
        }
    }
    return model;
}

io::CellCameraRecord cameraRecord(const CellResult& result, size_t c) {
    const CellRefinement& refinement = result.refinement;
    const CellCameraStart& start = result.starts[c];
    io::CellCameraRecord camera;
    camera.name = result.camera_names[c];
    camera.intrinsics_source = start.intrinsics_from_pictures ? "calibrated from the pictures" : "given";
    camera.sigma = sigmaValues(refinement.camera_sigmas[c]);
    camera.intrinsic_sigmas = refinement.intrinsic_sigmas[c];
    camera.rms_px = refinement.camera_rms_px[c];
    camera.poses = start.outcome.image_indices;
    camera.image_names = start.used_image_names;
    if (c < result.validations.size()) {
        camera.validation = handEyeValidationRecord(result.validations[c]);
    }
    return camera;
}

int posesPictured(const CellRefinement& refinement) {
    int pictured = 0;
    for (int count : refinement.pose_camera_counts) {
        pictured += count > 0 ? 1 : 0;
    }
    return pictured;
}

}  // namespace

io::CellCalibrationRecord cellCalibrationRecord(const CellResult& result) {
    if (!result.ok) {
        throw std::invalid_argument("cellCalibrationRecord: the cell was not calibrated");
    }
    const CellRefinement& refinement = result.refinement;
    io::CellCalibrationRecord record;
    record.eye_to_hand = result.eye_to_hand;
    record.num_cameras = static_cast<int>(result.starts.size());
    record.method = result.method;
    record.num_frames_used = posesPictured(refinement);
    record.num_frames_total = result.robot_pose_count;
    record.camera_model = commonCameraModel(result);
    (result.eye_to_hand ? record.robot_T_camera_list : record.tcp_T_camera_list) =
        refinement.camera_mount_T_camera_list;
    (result.eye_to_hand ? record.tcp_T_target : record.world_T_target) = refinement.target_mount_T_target;
    record.target_sigma = sigmaValues(refinement.target_sigma);
    const cv::Mat reference = refinement.camera_mount_T_camera_list.front().inv(cv::DECOMP_LU);
    for (size_t c = 0; c < result.starts.size(); ++c) {
        record.intrinsic_matrices.push_back(refinement.intrinsic_matrices[c]);
        record.distortion_coefficients.push_back(flattened(refinement.distortion_coefficients_list[c]));
        record.reference_T_camera_list.push_back(reference * refinement.camera_mount_T_camera_list[c]);
        record.intrinsic_reprojection_errors.push_back(result.starts[c].outcome.reprojection_error);
        record.cameras.push_back(cameraRecord(result, c));
    }
    for (const CameraPairTransform& pair : refinement.camera_pairs) {
        record.camera_pairs.push_back(
            {pair.first, pair.second, pair.first_T_second, sigmaValues(pair.sigma), pair.covariance});
    }
    record.robot_translation_noise_mm = refinement.robot_translation_noise_mm;
    record.robot_rotation_noise_deg = refinement.robot_rotation_noise_deg;
    record.pixel_noise_px = refinement.pixel_noise_px;
    record.noise_settled = refinement.noise_settled;
    record.robot_pose_corrections = refinement.robot_pose_corrections;
    record.rms_px = refinement.rms_px;
    record.corner_count = refinement.corner_count;
    return record;
}

}  // namespace velk::calibration
