#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/detection/intrinsic_options.hpp"
#include "calibration/refinement/refinement_options.hpp"
#include "calibration/rig/multi_camera_result.hpp"
#include "calibration/rig/subset_result.hpp"
#include "calibration/rig/triangulation_report.hpp"
#include "core/camera_projection.hpp"
#include "targets/target_variant.hpp"

namespace velk::calibration {

struct RigCameraView;
struct RigSolveWithout;
struct StereoPairPoints;

// How a rig calibration runs, beyond its pictures and given intrinsics.
struct RigOptions {
    // Where the record goes (a folder or a .json file); empty: not saved.
    std::filesystem::path output_path;
    // Refine the pairwise poses jointly over every frame seen by two or more cameras.
    bool refine = false;
    RefinementOptions refinement_options;
    // Leave each frame out in turn and predict it from the rig solved without it.
    bool validate = false;
    // Write the report on standard output when the calibration is done.
    bool print_report = true;
};

// Calibrates a rig of synchronized cameras against one reference camera, pair by pair with
// cv::stereoCalibrate, and checks the rig by triangulating the target. With options.camera_model
// "fisheye" every camera is an equidistant fisheye: its intrinsics, the pairs
// (cv::fisheye::stereoCalibrate), the triangulation, the refinement and the validation use that model.
class MultiCameraCalibrator {
public:
    // Throws std::invalid_argument for an unknown options.camera_model.
    MultiCameraCalibrator(const TargetVariant& target, int num_cameras, int reference_index = 0,
                          const IntrinsicOptions& options = defaultOptions(),
                          int stereo_calibrate_flags = kFixIntrinsic);

    static constexpr int kFixIntrinsic = 256;     // cv::CALIB_FIX_INTRINSIC
    static constexpr int kUseIntrinsicGuess = 1;  // cv::CALIB_USE_INTRINSIC_GUESS

    // Intrinsic defaults with a tighter solver epsilon (1e-6) and a 3 px per-view threshold.
    static IntrinsicOptions defaultOptions();

    // image_lists[camera][frame]; entry f of every list is the same instant. Intrinsics are solved
    // per camera unless both intrinsic lists are given. Each call works on a result of its own, which becomes
    // the stored one: it starts from the stored result without its poses, pair errors, refinement and
    // validation, so that a camera whose pair is skipped has no pose and ok reports this run only.
    // With refine, the pairwise poses are refined jointly over every frame seen by two or more cameras.
    // With validate, each frame is left out in turn and predicted by the rig solved without it (the
    // result's validation); a rig that cannot be validated keeps its calibration and says why.
    MultiCameraResult calibrate(const std::vector<std::vector<cv::Mat>>& image_lists,
                                const std::vector<cv::Mat>& intrinsic_matrices = {},
                                const std::vector<cv::Mat>& distortion_coefficients = {},
                                const std::filesystem::path& output_path = std::filesystem::path(), bool refine = false,
                                const RefinementOptions& refinement_options = RefinementOptions(),
                                bool validate = false);
    // The same with the run's options in one record; the positional form above forwards here.
    MultiCameraResult calibrate(const std::vector<std::vector<cv::Mat>>& image_lists,
                                const std::vector<cv::Mat>& intrinsic_matrices,
                                const std::vector<cv::Mat>& distortion_coefficients, const RigOptions& options);

    // Triangulates the ChArUco corners of one frame with the calibrated rig; changes nothing.
    TriangulationReport triangulate(const std::vector<std::vector<cv::Mat>>& image_lists, int frame_index = 0) const;

    // Calibrates every camera combination of the given sizes as a rig of its own.
    std::vector<SubsetResult> calibrateSubsets(const std::vector<std::vector<cv::Mat>>& image_lists,
                                               const std::vector<int>& subset_sizes = {2, 3}, int frame_index = 0);

    std::string formatResults() const;
    void printResults() const;

    MultiCameraResult lastResult() const { return deepCopy(last_result_); }
    const TargetVariant& target() const { return target_; }
    int numCameras() const { return num_cameras_; }
    int referenceIndex() const { return reference_index_; }

private:
    // Stereo calibration of camera k against the reference into `result`; a pair without enough data is logged
    // and skipped (its pose stays empty).
    void calibratePair(const std::vector<RigCameraView>& views, int k, const cv::Size& imageSize,
                       MultiCameraResult& result) const;
    // The stereo solve of one pair through the rig's camera model; intrinsics are updated in place
    // unless the flags fix them. Throws cv::Exception when OpenCV cannot solve the pair.
    double solvePair(const StereoPairPoints& points, cv::Mat& referenceMatrix, cv::Mat& referenceDistortion,
                     cv::Mat& otherMatrix, cv::Mat& otherDistortion, const cv::Size& imageSize, cv::Mat& rotation,
                     cv::Mat& translation) const;
    // The refinement's calibration flags: cv::fisheye's for a fisheye rig, none for given intrinsics.
    int refinementFlags(bool intrinsicsSolvedHere) const;
    // Replaces the pairwise values by the jointly refined ones when the refinement succeeds.
    void applyRefinement(const std::vector<RigCameraView>& views, bool intrinsicsSolvedHere,
                         const RefinementOptions& options, MultiCameraResult& result) const;
    // Leave-one-frame-out validation of the result just calibrated.
    void validateHeldOut(const std::vector<RigCameraView>& views, const cv::Size& imageSize, bool intrinsicsSolvedHere,
                         const RefinementOptions& options, MultiCameraResult& result) const;
    // The pairwise stereo solution without one frame, with nothing logged.
    RigSolveWithout pairwiseWithout(const std::vector<RigCameraView>& views, const cv::Size& imageSize, int frame,
                                    const MultiCameraResult& result) const;
    // Triangulates frame 0; a failure is logged and leaves no report.
    void validate(const std::vector<RigCameraView>& views, const MultiCameraResult& result);
    TriangulationReport triangulateFrameZero(const std::vector<RigCameraView>& views,
                                             const MultiCameraResult& result) const;
    // The target, once the rig of `result` is calibrated and the target can be triangulated; throws otherwise.
    const CharucoTarget& triangulationTarget(const MultiCameraResult& result) const;
    void save(const std::filesystem::path& output_path) const;

    TargetVariant target_;
    int num_cameras_;
    int reference_index_;
    IntrinsicOptions options_;
    CameraModel camera_model_;
    int stereo_calibrate_flags_;
    MultiCameraResult last_result_;
    bool has_triangulation_ = false;
    TriangulationReport last_triangulation_;
    std::vector<SubsetResult> last_subset_results_;
};

}  // namespace velk::calibration
