#pragma once

#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/refinement/held_out_views.hpp"
#include "calibration/rig/rig_refinement.hpp"

namespace velk::calibration {

// Poses and intrinsics of a rig of synchronized cameras; every list has one entry per camera.
struct MultiCameraResult {
    bool ok = false;  // every camera has a reference_T_camera
    int reference_index = 0;
    std::string camera_model = "pinhole";               // "pinhole" or "fisheye": the lens model of every camera
    std::vector<cv::Mat> reference_T_camera_list;       // 4 x 4 CV_64F; identity for the reference, empty if skipped
    std::vector<cv::Mat> intrinsic_matrices;            // 3 x 3
    std::vector<cv::Mat> distortion_coefficients;       // one row
    std::vector<double> intrinsic_reprojection_errors;  // pixels; NaN when not computed
    std::vector<double> pair_reprojection_errors;  // stereo RMS against the reference; NaN for it and skipped pairs
    // Joint refinement, when asked for. When it succeeds, reference_T_camera_list (and the intrinsics,
    // when they were solved from the same pictures) hold the refined values and
    // pairwise_reference_T_camera_list the stereo step's; otherwise refinement_reason says why not.
    bool refined = false;
    std::string refinement_reason;
    std::vector<cv::Mat> pairwise_reference_T_camera_list;
    std::optional<RigRefinement> refinement;
    // Leave-one-frame-out validation, when asked for: each non-reference camera's corners in a frame
    // predicted from the reference camera's board pose by the rig solved without that frame.
    std::optional<HeldOutViews> validation;
    // The names given with the frames (IntrinsicOptions::image_names), in capture order; empty without.
    std::vector<std::string> image_names;
};

// A copy that shares no matrix buffer with the original.
MultiCameraResult deepCopy(const MultiCameraResult& result);

}  // namespace velk::calibration
