#pragma once

#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/hand_eye/hand_eye_refinement.hpp"
#include "calibration/hand_eye/hand_eye_validation.hpp"

namespace velk::calibration {

// How well the frames agree on where the target sits in the robot base frame.
struct TargetConsistencyStats {
    double mean_translation_m = 0.0;
    double max_translation_m = 0.0;
    double mean_rotation_deg = 0.0;
    double max_rotation_deg = 0.0;
    std::vector<double> translation_deviations_m;
    std::vector<double> rotation_deviations_deg;
    std::vector<double> distances_m;  // camera-to-target distance per frame
    std::vector<double> board_us;     // projected target centre, pixels
    std::vector<double> board_vs;
};

// A picture a calibration did not use, and why.
struct SkippedPicture {
    int index = 0;       // position in the list of pictures given
    std::string name;    // its file name when names were given with the pictures, else empty
    std::string reason;  // "Chessboard not found", "reprojection error 2.31 px above the 1 px threshold", ...
};

// What a hand-eye calibration of either set-up gives besides its two transforms. HandEyeResult
// (eye-in-hand) and EyeToHandResult (eye-to-hand) add those under their set-up's names.
struct HandEyeOutcome {
    bool ok = false;
    cv::Mat intrinsic_matrix;
    cv::Mat distortion_coefficients;
    std::string camera_model = "pinhole";  // the lens model the poses were found with: "pinhole" or "fisheye"
    // Mean intrinsic reprojection error when the calibrator solved the intrinsics itself; NaN otherwise.
    double reprojection_error = std::numeric_limits<double>::quiet_NaN();
    std::vector<cv::Mat> valid_robot_T_tcp_list;
    std::vector<cv::Mat> valid_image_list;
    std::vector<cv::Mat> camera_T_target_list;
    std::vector<int> image_indices;  // index in the caller's lists of each frame used
    // With HandEyeOptions::keep_corners, the corners of each frame used (N x 3 on the board, N x 2 in the
    // picture, at the target's described size), aligned with image_indices; empty Mats for a frame whose
    // corners were not found again.
    std::vector<cv::Mat> frame_object_points;
    std::vector<cv::Mat> frame_image_points;
    // Spread of the per-frame target estimates around their mean.
    bool has_consistency = false;
    // Most points the target gives in one picture; the report names a target with fewer than 8.
    int target_points_per_picture = 0;
    TargetConsistencyStats consistency;
    // Joint refinement, when asked for. When it succeeds, the set-up's transforms (and the intrinsics,
    // when they were solved from the same pictures) hold the refined values; otherwise the closed-form
    // result stays and refinement_reason says why.
    bool refined = false;
    std::string refinement_reason;
    std::optional<HandEyeRefinement> refinement;
    std::optional<HandEyeValidation> validation;  // leave-one-view-out, when asked for
    // The names given with the pictures (IntrinsicOptions::image_names), in the order given; empty without.
    std::vector<std::string> image_names;
    // The pictures given that the calibration did not use, in the order given.
    std::vector<SkippedPicture> skipped_pictures;
};

}  // namespace velk::calibration
