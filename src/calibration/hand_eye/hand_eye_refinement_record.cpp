#include "calibration/hand_eye/hand_eye_refinement_record.hpp"

#include <limits>
#include <string>
#include <vector>

#include "calibration/refinement/refinement_record_values.hpp"

namespace velk::calibration {
namespace {

bool isCameraTransform(const std::string& name) {
    return name == "tcp_T_camera" || name == "robot_T_camera";
}

// The sigma of a component ("tx" ... "rz") in a record's [x, y, z, rx, ry, rz] set to NaN: not measured.
void markNotMeasured(const std::string& transform, const std::string& component, io::RefinementRecord& record) {
    if (component.size() != 2) {
        return;
    }
    const size_t index = (component[0] == 'r' ? 3 : 0) + static_cast<size_t>(component[1] - 'x');
    std::vector<std::vector<double>>& sigmas =
        isCameraTransform(transform) ? record.pose_sigmas : record.target_pose_sigmas;
    if (!sigmas.empty() && index < sigmas[0].size()) {
        sigmas[0][index] = std::numeric_limits<double>::quiet_NaN();
    }
}

void noteMountComponents(const std::vector<MountComponentOutcome>& outcomes, io::RefinementRecord& record) {
    for (const MountComponentOutcome& outcome : outcomes) {
        record.mount_components.push_back({outcome.transform, outcome.component, outcome.source, outcome.undetermined,
                                           outcome.value, outcome.sigma, outcome.sentence, outcome.measurement});
        if (outcome.source == "held") {
            markNotMeasured(outcome.transform, outcome.component, record);
            markNotMeasured(outcome.coupled_transform, outcome.coupled_component, record);
        }
    }
}

}  // namespace

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
    noteMountComponents(refinement.mount_components, record);
    if (refinement.target_scale_measured) {
        record.target_scale = io::TargetScaleRecord{refinement.target_scale, refinement.target_scale_sigma,
                                                    refinement.target_scale_applied, refinement.target_scale_differs};
    }
    return record;
}

}  // namespace velk::calibration
