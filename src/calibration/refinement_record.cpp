#include "calibration/refinement_record.hpp"

namespace velk::calibration {
namespace {

std::vector<double> sigmaValues(const PoseSigma& sigma) {
    std::vector<double> values = sigma.translation_mm;
    values.insert(values.end(), sigma.rotation_deg.begin(), sigma.rotation_deg.end());
    return values;
}

void copySolverOutcome(const RefinementSummary& summary, io::RefinementRecord& record) {
    record.iterations = summary.iterations;
    record.initial_cost = summary.initial_cost;
    record.final_cost = summary.final_cost;
    record.converged = summary.converged;
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
    return record;
}

io::RefinementRecord rigRefinementRecord(const MultiCameraResult& result) {
    io::RefinementRecord record;
    record.refined = result.refined;
    record.reason = result.refinement_reason;
    record.unrefined_poses = result.pairwise_reference_T_camera_list;
    if (!result.refinement) {
        return record;
    }
    const RigRefinement& refinement = *result.refinement;
    copySolverOutcome(refinement.summary, record);
    if (!refinement.refined) {
        return record;
    }
    for (const PoseSigma& sigma : refinement.camera_sigmas) {
        record.pose_sigmas.push_back(sigmaValues(sigma));
    }
    if (refinement.intrinsics_refined) {
        record.intrinsic_sigmas = refinement.intrinsic_sigmas;
    }
    record.per_view_rms_px = refinement.per_view_rms_px;
    record.outlier_views = refinement.outlier_views;
    record.rms_px = refinement.rms_px;
    return record;
}

}  // namespace velk::calibration
