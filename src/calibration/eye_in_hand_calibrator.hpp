#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/hand_eye_result.hpp"
#include "calibration/intrinsic_calibrator.hpp"
#include "calibration/refinement_options.hpp"
#include "targets/target_variant.hpp"

namespace velk::calibration {

// Eye-in-hand calibration: solves tcp_T_camera for a camera mounted on a robot flange.
class EyeInHandCalibrator {
public:
    // Frames that could be posed, with their images and robot poses kept aligned.
    struct AlignedTargetPoses {
        std::vector<cv::Mat> camera_T_target_list;
        std::vector<cv::Mat> valid_image_list;
        std::vector<cv::Mat> valid_robot_T_tcp_list;
    };

    explicit EyeInHandCalibrator(TargetVariant target, IntrinsicOptions options = IntrinsicOptions());

    // Three paths: from images alone (intrinsics solved here), from given intrinsics
    // (ChArUco poses estimated per frame), or from given camera_T_target poses.
    // With refine, the closed-form solution is refined over every detected corner (see HandEyeResult).
    HandEyeResult calibrate(const std::vector<cv::Mat>& robot_T_tcp_list, const std::vector<cv::Mat>& image_list,
                            const std::string& method = "TSAI",
                            const std::vector<cv::Mat>& camera_T_target_list = {},
                            const cv::Mat& intrinsic_matrix = cv::Mat(),
                            const cv::Mat& distortion_coefficients = cv::Mat(),
                            const std::filesystem::path& output_path = std::filesystem::path(),
                            bool refine = false, const RefinementOptions& refinement_options = RefinementOptions());

    // ChArUco only: detects and poses the target in each frame with known intrinsics.
    AlignedTargetPoses computeCameraTTargetList(const std::vector<cv::Mat>& image_list,
                                                const std::vector<cv::Mat>& robot_T_tcp_list,
                                                const cv::Mat& intrinsic_matrix,
                                                const cv::Mat& distortion_coefficients) const;

    std::string formatResults() const;
    void printResults() const;

    std::vector<cv::Mat> cornerImages() const { return intrinsic_calibrator_.cornerImages(); }
    const HandEyeResult& lastResult() const { return last_result_; }
    const TargetVariant& target() const { return target_; }

private:
    struct Frames {
        std::vector<cv::Mat> cameras;
        std::vector<cv::Mat> images;
        std::vector<cv::Mat> robots;
        // Corners of each frame when the intrinsics were solved here (what the refinement needs).
        std::vector<cv::Mat> object_points;
        std::vector<cv::Mat> image_points;
    };

    // Intrinsic calibration, low-error view selection and per-view poses; false when too few views remain.
    bool framesFromImages(const std::vector<cv::Mat>& robot_T_tcp_list, const std::vector<cv::Mat>& image_list,
                          HandEyeResult& result, Frames& frames);
    // False when the solver gives a non-finite transform (motions that do not determine it).
    bool solve(const Frames& frames, int method, HandEyeResult& result) const;
    // Replaces the closed-form values by the jointly refined ones when the refinement succeeds.
    void applyRefinement(const Frames& frames, bool intrinsicsSolvedHere, const RefinementOptions& options,
                         HandEyeResult& result) const;
    // The detected corners of the frames, for frames posed from given intrinsics.
    void detectFrameCorners(Frames& frames) const;
    void save(const std::filesystem::path& output_path, const std::string& method, const HandEyeResult& result,
              size_t totalImages) const;

    TargetVariant target_;
    IntrinsicCalibrator intrinsic_calibrator_;
    HandEyeResult last_result_;
};

}  // namespace velk::calibration
