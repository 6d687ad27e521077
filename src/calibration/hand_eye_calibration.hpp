#pragma once

#include <limits>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/aligned_target_poses.hpp"
#include "calibration/hand_eye_result.hpp"
#include "calibration/hand_eye_setup.hpp"
#include "calibration/intrinsic_calibrator.hpp"
#include "targets/target_variant.hpp"

namespace velk::calibration {

// The arguments of a hand-eye calibrate call, as both calibrators take them.
struct HandEyeInputs {
    const std::vector<cv::Mat>& robot_T_tcp_list;
    const std::vector<cv::Mat>& image_list;
    const std::vector<cv::Mat>& camera_T_target_list;
    const cv::Mat& intrinsic_matrix;
    const cv::Mat& distortion_coefficients;
};

// What one calibration of either set-up produced; each calibrator copies it into its result.
struct HandEyeRun {
    bool ok = false;
    cv::Mat camera_transform;  // X: tcp_T_camera or robot_T_camera
    cv::Mat target_transform;  // Y: world_T_target or tcp_T_target
    cv::Mat intrinsic_matrix;
    cv::Mat distortion_coefficients;
    double reprojection_error = std::numeric_limits<double>::quiet_NaN();
    std::vector<cv::Mat> valid_robot_T_tcp_list;
    std::vector<cv::Mat> valid_image_list;
    std::vector<cv::Mat> camera_T_target_list;
    std::vector<int> image_indices;  // index in the caller's lists of each frame used
    bool has_consistency = false;
    TargetConsistencyStats consistency;
};

// The steps both hand-eye calibrators share: method and pose checks, the three ways to
// gather aligned frames (from images, from images with given intrinsics, from given
// camera poses), the solve and the consistency statistics. Logs as the set-up's calibrator.
class HandEyeCalibration {
public:
    HandEyeCalibration(HandEyeSetup setup, const TargetVariant& target, IntrinsicCalibrator& intrinsicCalibrator);

    // Throws std::invalid_argument for an unknown method, a pose that is not a rigid
    // transform, misaligned given poses or a robot list shorter than the images it must
    // serve; any other failure logs and returns ok == false.
    HandEyeRun run(const HandEyeInputs& inputs, const std::string& method);

    // ChArUco only: detects and poses the target in each frame with known intrinsics.
    static AlignedTargetPoses poseCharucoFrames(HandEyeSetup setup, const TargetVariant& target,
                                                const std::vector<cv::Mat>& image_list,
                                                const std::vector<cv::Mat>& robot_T_tcp_list,
                                                const cv::Mat& intrinsic_matrix,
                                                const cv::Mat& distortion_coefficients,
                                                std::vector<int>* imageIndices = nullptr);

private:
    struct Frames {
        std::vector<cv::Mat> cameras;
        std::vector<cv::Mat> images;
        std::vector<cv::Mat> robots;
        std::vector<int> indices;
    };

    void validatePoses(const HandEyeInputs& inputs) const;
    bool framesFromGivenIntrinsics(const HandEyeInputs& inputs, HandEyeRun& run, Frames& frames) const;
    bool framesFromImages(const HandEyeInputs& inputs, HandEyeRun& run, Frames& frames);
    void checkAlignment(const Frames& frames) const;
    bool solve(const Frames& frames, const std::string& method, HandEyeRun& run) const;

    HandEyeSetup setup_;
    const TargetVariant& target_;
    IntrinsicCalibrator& intrinsic_calibrator_;
};

}  // namespace velk::calibration
