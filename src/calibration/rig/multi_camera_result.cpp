#include "calibration/rig/multi_camera_result.hpp"

namespace velk::calibration {
namespace {

std::vector<cv::Mat> cloned(const std::vector<cv::Mat>& matrices) {
    std::vector<cv::Mat> copies;
    copies.reserve(matrices.size());
    for (const cv::Mat& matrix : matrices) {
        copies.push_back(matrix.clone());
    }
    return copies;
}

}  // namespace

MultiCameraResult deepCopy(const MultiCameraResult& result) {
    MultiCameraResult copy = result;
    copy.reference_T_camera_list = cloned(result.reference_T_camera_list);
    copy.intrinsic_matrices = cloned(result.intrinsic_matrices);
    copy.distortion_coefficients = cloned(result.distortion_coefficients);
    copy.pairwise_reference_T_camera_list = cloned(result.pairwise_reference_T_camera_list);
    if (result.refinement) {
        RigRefinement& refinement = *copy.refinement;
        refinement.reference_T_camera_list = cloned(result.refinement->reference_T_camera_list);
        refinement.intrinsic_matrices = cloned(result.refinement->intrinsic_matrices);
        refinement.distortion_coefficients = cloned(result.refinement->distortion_coefficients);
        refinement.reference_T_target_list = cloned(result.refinement->reference_T_target_list);
    }
    return copy;
}

}  // namespace velk::calibration
