#pragma once

#include <functional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/refinement/held_out_views.hpp"
#include "core/camera_projection.hpp"

namespace velk::calibration {

// The rig solved again without one frame: per camera, reference_T_camera and the intrinsics.
struct RigSolveWithout {
    bool ok = false;
    std::string reason;  // why not, when ok is false
    std::vector<cv::Mat> reference_T_camera_list;
    std::vector<cv::Mat> intrinsic_matrices;
    std::vector<cv::Mat> distortion_coefficients;
};

// What leave-one-frame-out validation needs of a calibrated rig.
struct RigHeldOutInputs {
    int reference_index = 0;
    std::vector<std::vector<cv::Mat>> object_points;  // [camera][frame]; empty: not seen or not used
    std::vector<std::vector<cv::Mat>> image_points;
    // The calibration's result.
    std::vector<cv::Mat> reference_T_camera_list;
    std::vector<cv::Mat> intrinsic_matrices;
    std::vector<cv::Mat> distortion_coefficients;
    CameraModel camera_model = CameraModel::Pinhole;  // of every camera: poses and predictions go through it
    // The fitted RMS of (camera, frame) when the calibration has one; NaN or absent: predicted with
    // the calibration's own values instead.
    std::function<double(int camera, int frame)> fitted_rms_px;
    // The same calibration without the given frame; called for several frames at once, on several threads.
    std::function<RigSolveWithout(int frame)> solve_without;
    // Names of the frames, for the skipped frames' text (pictureLabel); empty: numbered.
    std::vector<std::string> image_names;
};

// Leaves each frame seen by the reference camera and another out in turn, solves the rig again
// without it, poses the board from the reference camera's corners in that frame and predicts every
// other camera's corners from it. Never throws for data that cannot be validated: the record says why.
HeldOutViews validateRigHeldOut(const RigHeldOutInputs& inputs);

}  // namespace velk::calibration
