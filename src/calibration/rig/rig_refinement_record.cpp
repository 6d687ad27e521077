#include "calibration/rig/rig_refinement_record.hpp"

#include "calibration/refinement/refinement_record_values.hpp"

namespace velk::calibration {

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
