#include "calibration/hand_eye/hand_eye_refinement_record.hpp"

#include "calibration/refinement/refinement_record_values.hpp"

namespace velk::calibration {

io::RefinementRecord handEyeRefinementRecord(bool refined, const std::string& reason, const cv::Mat& closed_form,
                                             const std::optional<HandEyeRefinement>& result) {
    io::RefinementRecord record;
    record.refined = refined;
    record.reason = reason;
    if (!closed_form.empty()) {
        record.unrefined_poses = {closed_form};
    }
    if (!result) {
        return record;
    }
    const HandEyeRefinement& refinement = *result;
    copySolverOutcome(refinement.summary, record);
    if (!refinement.refined) {
        return record;
    }
    record.pose_sigmas = {sigmaValues(*refinement.camera_sigma)};
    record.target_poses = {refinement.target_mount_T_target};
    record.target_pose_sigmas = {sigmaValues(*refinement.target_sigma)};
    if (!refinement.intrinsic_sigmas.empty()) {
        record.intrinsic_sigmas = {refinement.intrinsic_sigmas};
    }
    record.per_view_rms_px = refinement.per_view_rms_px;
    record.outlier_views = refinement.outlier_views;
    record.rms_px = refinement.rms_px;
    if (refinement.robot_error_modelled) {
        io::RobotNoiseRecord noise;
        noise.estimated = refinement.noise_estimated;
        noise.translation_mm = refinement.robot_translation_noise_mm;
        noise.rotation_deg = refinement.robot_rotation_noise_deg;
        noise.pixel_px = refinement.pixel_noise_px;
        noise.pose_corrections = refinement.robot_pose_corrections;
        noise.suspect_poses = refinement.suspect_poses;
        noise.warning = refinement.noise_warning;
        record.robot_noise = noise;
    }
    if (refinement.target_scale_measured) {
        record.target_scale = io::TargetScaleRecord{refinement.target_scale, refinement.target_scale_sigma,
                                                    refinement.target_scale_applied, refinement.target_scale_differs};
    }
    return record;
}

}  // namespace velk::calibration
