#include "calibration/rig/rig_record.hpp"

#include "calibration/refinement/held_out_views.hpp"
#include "calibration/rig/rig_refinement_record.hpp"

namespace velk::calibration {

io::MultiCameraCalibrationRecord multiCameraCalibrationRecord(const MultiCameraResult& result) {
    io::MultiCameraCalibrationRecord record;
    record.reference_index = result.reference_index;
    record.num_cameras = static_cast<int>(result.reference_T_camera_list.size());
    record.intrinsic_matrices = result.intrinsic_matrices;
    record.distortion_coefficients = result.distortion_coefficients;
    record.reference_T_camera_list = result.reference_T_camera_list;
    record.intrinsic_reprojection_errors = result.intrinsic_reprojection_errors;
    record.pair_reprojection_errors = result.pair_reprojection_errors;
    record.camera_model = result.camera_model;
    if (result.refinement) {
        record.refinement = rigRefinementRecord(result);
    }
    if (result.validation) {
        record.validation = heldOutViewsRecord(*result.validation);
    }
    return record;
}

}  // namespace velk::calibration
