#pragma once

#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/hand_eye/hand_eye_methods.hpp"
#include "calibration/hand_eye/hand_eye_refinement.hpp"
#include "calibration/hand_eye/hand_eye_setup.hpp"
#include "calibration/hand_eye/hand_eye_validation.hpp"
#include "calibration/refinement/refinement_options.hpp"
#include "core/camera_projection.hpp"

namespace velk::calibration {

// What leave-one-view-out validation needs of a finished hand-eye calibration.
struct HeldOutInputs {
    HandEyeSetup setup = HandEyeSetup::EyeInHand;
    HandEyeSolver solver;
    // Per view with detected corners, aligned.
    std::vector<cv::Mat> robot_T_tcp_list;
    std::vector<cv::Mat> camera_T_target_list;  // for closed-form re-solves
    std::vector<cv::Mat> object_points;
    std::vector<cv::Mat> image_points;
    std::vector<int> frames;               // index in the caller's image list
    std::vector<std::string> image_names;  // names of the caller's image list, for the skipped views' text
    // The calibration's result: X, Y and the intrinsics it was solved with.
    cv::Mat camera_transform;
    cv::Mat target_transform;
    cv::Mat intrinsic_matrix;
    cv::Mat distortion_coefficients;
    // Present when the result was refined: the re-solves are refinements started from it.
    std::optional<HandEyeRefinement> refinement;
    bool refine_intrinsics = false;
    int calibration_flags = 0;
    // The lens model the views are posed and predicted with.
    CameraModel camera_model = CameraModel::Pinhole;
    RefinementOptions options;
};

// Leaves each view out in turn, solves again without it (a warm-started refinement or the same
// closed-form solver), predicts the view's board from its robot pose and compares it with the
// detected corners and with the board pose from the view's own corners. Never throws for data
// that cannot be validated: the record then says why.
HandEyeValidation validateHeldOut(const HeldOutInputs& inputs);

// The board pose from a view's own corners against the predicted one: mm and deg apart.
void boardPoseDisagreement(const cv::Mat& predicted, const cv::Mat& own, double& mm, double& deg);

// Fills the medians, the 90th percentile, the worst frames and the observed over predicted ratio from
// the per-view lists.
void summarizeHandEyeValidation(HandEyeValidation& validation);

}  // namespace velk::calibration
