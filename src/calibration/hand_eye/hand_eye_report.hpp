#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/hand_eye/eye_to_hand_result.hpp"
#include "calibration/hand_eye/hand_eye_result.hpp"

namespace velk::calibration {

// One solved transform of a report: its heading and the 4 x 4 matrix, shown with its pose vector.
struct HandEyeReportTransform {
    std::string heading;
    cv::Mat transform;
};

// What a hand-eye report of either set-up shows, in this order.
struct HandEyeReportContent {
    std::string title;
    std::vector<HandEyeReportTransform> transforms;  // the first empty: "Calibration failed."
    cv::Mat intrinsic_matrix;
    cv::Mat distortion_coefficients;
    double reprojection_error;                  // NaN: "n/a"
    const TargetConsistencyStats* consistency;  // null: no consistency section
    std::vector<cv::Mat> camera_T_target_list;  // empty: no rotation-variety verdict
    std::string refinement_section;             // empty: refinement was not asked for
    int target_points_per_picture = 0;          // below 8 (and above 0): a line naming the small target
    std::string camera_model = "pinhole";       // "fisheye": the distortion is headed as the fisheye k1..k4
    std::vector<std::string> frame_labels;      // how the consistency lines name each view; empty: numbered
};

// A target that gives fewer points than this in a picture is named in the log and the report.
constexpr int kFewPointsPerPicture = 8;

// The line that names a target giving few points per picture.
std::string fewPointsText(int points);

std::string formatHandEyeReport(const HandEyeReportContent& content);

// The human-readable hand-eye report of a result, with the rotation-variety verdict.
std::string formatHandEyeReport(const HandEyeResult& result);

// The same sections for a stationary camera: robot_T_camera, then tcp_T_target.
std::string formatEyeToHandReport(const EyeToHandResult& result);

}  // namespace velk::calibration
