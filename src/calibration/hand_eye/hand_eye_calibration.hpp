#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/hand_eye/aligned_target_poses.hpp"
#include "calibration/hand_eye/hand_eye_options.hpp"
#include "calibration/hand_eye/hand_eye_outcome.hpp"
#include "calibration/hand_eye/hand_eye_refinement.hpp"
#include "calibration/hand_eye/hand_eye_setup.hpp"
#include "calibration/hand_eye/hand_eye_solver.hpp"
#include "calibration/hand_eye/hand_eye_validation.hpp"
#include "calibration/intrinsic/intrinsic_calibrator.hpp"
#include "calibration/refinement/refinement_options.hpp"
#include "core/camera_projection.hpp"
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

// What one calibration of either set-up produced; each calibrator's result takes the shared part as it is
// and names the two transforms after its set-up.
struct HandEyeRun : HandEyeOutcome {
    cv::Mat camera_transform;  // X: tcp_T_camera or robot_T_camera
    cv::Mat target_transform;  // Y: world_T_target or tcp_T_target
    // The solver's X when a refinement was asked for (then camera_transform may hold the refined one).
    cv::Mat closed_form_camera_transform;
    CameraModel model = CameraModel::Pinhole;  // the options' lens model
};

// Frames posed with known intrinsics: the aligned poses, the caller's index of each frame
// and, except for ChArUco boards (whose corners are detected when they are needed), the
// points each pose was solved from.
struct PosedFrames {
    AlignedTargetPoses aligned;
    std::vector<int> indices;
    std::vector<SkippedPicture> skipped;  // the frames that could not be posed, and why
    std::vector<cv::Mat> object_points;
    std::vector<cv::Mat> image_points;
};

// The steps both hand-eye calibrators share: method and pose checks, the three ways to
// gather aligned frames (from images, from images with given intrinsics, from given
// camera poses), the solve and the consistency statistics. Logs as the set-up's calibrator.
class HandEyeCalibration {
public:
    HandEyeCalibration(HandEyeSetup setup, const TargetVariant& target, IntrinsicCalibrator& intrinsicCalibrator);

    // Throws std::invalid_argument for an unknown method, a pose that is not a rigid
    // transform, misaligned given poses, a robot list shorter than the images it must
    // serve, an unknown camera model or given fisheye intrinsics without their four
    // distortion coefficients; any other failure logs and returns ok == false.
    // Every pose and projection goes through the options' camera model.
    // With refine, the closed-form solution is refined over every detected corner; a refinement that
    // fails leaves the closed-form result in place and says why.
    // With validate, every view is then predicted from a solve without it (see HandEyeValidation).
    HandEyeRun run(const HandEyeInputs& inputs, const HandEyeOptions& options);

    // After a successful run: logs the completion, writes `report` on standard output when the options ask
    // for it and saves the result through `save` when they name an output path.
    static void finish(const HandEyeOptions& options, const std::string& report,
                       const std::function<void(const std::filesystem::path&)>& save);

    // Detects and poses the target in each frame with known intrinsics (solvePnP), for every
    // target kind. ChArUco boards are found by their own detector; the other kinds by the
    // intrinsic detection with options (chessboard corners refined to sub-pixel, the ArUco
    // grid's markers matched to the board, circle-grid centres). The poses go through the
    // options' camera model; fisheye intrinsics must have four distortion coefficients
    // (std::invalid_argument otherwise).
    static PosedFrames poseFrames(const TargetVariant& target, const IntrinsicOptions& options,
                                  const std::vector<cv::Mat>& image_list, const std::vector<cv::Mat>& robot_T_tcp_list,
                                  const cv::Mat& intrinsic_matrix, const cv::Mat& distortion_coefficients);

private:
    struct Frames {
        std::vector<cv::Mat> cameras;
        std::vector<cv::Mat> images;
        std::vector<cv::Mat> robots;
        std::vector<int> indices;
        // Corners of each frame, when the intrinsics were solved here (what the refinement needs).
        std::vector<cv::Mat> object_points;
        std::vector<cv::Mat> image_points;
    };

    void validatePoses(const HandEyeInputs& inputs) const;
    bool framesFromGivenIntrinsics(const HandEyeInputs& inputs, HandEyeRun& run, Frames& frames) const;
    bool framesFromImages(const HandEyeInputs& inputs, HandEyeRun& run, Frames& frames);
    void checkAlignment(const Frames& frames) const;
    bool solve(const Frames& frames, const std::string& method, HandEyeRun& run) const;
    // The pictures given that the run does not use, with why.
    void noteSkippedPictures(size_t pictures, HandEyeRun& run) const;
    // Replaces the closed-form values by the jointly refined ones when the refinement succeeds.
    // Both take the frames with their corners (withCorners).
    std::optional<HandEyeSolution> restrictedSolution(const std::vector<cv::Mat>& motions,
                                                      const std::vector<cv::Mat>& cameras,
                                                      const std::string& method) const;
    void applyRefinement(const Frames& detected, bool intrinsicsSolvedHere, const RefinementOptions& options,
                         const std::vector<MountComponent>& mountComponents, HandEyeRun& run) const;
    // The detected corners of the frames, for frames posed from given intrinsics.
    void detectFrameCorners(Frames& frames) const;
    // The frames with their corners, detected now when they were posed without them.
    Frames withCorners(const Frames& frames) const;
    HandEyeValidation validate(const Frames& detected, const std::string& method, bool intrinsicsSolvedHere,
                               const RefinementOptions& options, const HandEyeRun& run) const;

    // The calibrate flags whose parameters stay fixed in a refinement of intrinsics solved here.
    int intrinsicFlags() const;

    HandEyeSetup setup_;
    const TargetVariant& target_;
    IntrinsicCalibrator& intrinsic_calibrator_;
    CameraModel model_;
};

}  // namespace velk::calibration
