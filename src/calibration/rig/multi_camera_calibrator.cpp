#include "calibration/rig/multi_camera_calibrator.hpp"

#include <algorithm>
#include <iostream>
#include <limits>
#include <stdexcept>
#include <string>

#include <opencv2/calib3d.hpp>

#include "calibration/rig/fisheye_stereo_pair.hpp"
#include "calibration/rig/multi_camera_report.hpp"
#include "calibration/rig/rig_held_out_validation.hpp"
#include "calibration/rig/rig_intrinsics.hpp"
#include "calibration/rig/rig_record.hpp"
#include "calibration/rig/rig_refinement.hpp"
#include "calibration/rig/rig_refinement_record.hpp"
#include "calibration/rig/rig_triangulation.hpp"
#include "calibration/rig/stereo_pair_points.hpp"
#include "core/log.hpp"
#include "core/opencv_threads.hpp"
#include "io/result_record_files.hpp"

namespace velk::calibration {
namespace {

constexpr size_t kMinimumSharedFrames = 4;
const double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string fixedSix(double value) {
    return std::to_string(value);
}

// A stored result without what every run finds anew: poses, pair errors, refinement and validation.
MultiCameraResult withoutPoses(const MultiCameraResult& stored) {
    MultiCameraResult result = deepCopy(stored);
    const size_t cameras = result.reference_T_camera_list.size();
    result.ok = false;
    result.reference_T_camera_list.assign(cameras, cv::Mat());
    result.pair_reprojection_errors.assign(cameras, kNaN);
    result.refined = false;
    result.refinement_reason.clear();
    result.pairwise_reference_T_camera_list.clear();
    result.refinement.reset();
    result.validation.reset();
    return result;
}

MultiCameraResult emptyResult(int numCameras, int referenceIndex, CameraModel model) {
    MultiCameraResult result;
    result.reference_index = referenceIndex;
    result.camera_model = cameraModelName(model);
    const auto count = static_cast<size_t>(numCameras);
    result.reference_T_camera_list.resize(count);
    result.intrinsic_matrices.resize(count);
    result.distortion_coefficients.resize(count);
    result.intrinsic_reprojection_errors.assign(count, kNaN);
    result.pair_reprojection_errors.assign(count, kNaN);
    return result;
}

int checkedCameraCount(int numCameras) {
    if (numCameras < 2) {
        throw std::invalid_argument("MultiCameraCalibrator: num_cameras must be >= 2, got " +
                                    std::to_string(numCameras));
    }
    return numCameras;
}

int checkedReferenceIndex(int referenceIndex, int numCameras) {
    if (referenceIndex < 0 || referenceIndex >= numCameras) {
        throw std::invalid_argument("MultiCameraCalibrator: reference_index out of range for " +
                                    std::to_string(numCameras) + " cameras");
    }
    return referenceIndex;
}

void checkImageLists(const std::vector<std::vector<cv::Mat>>& imageLists, int numCameras) {
    if (imageLists.size() != static_cast<size_t>(numCameras)) {
        throw std::invalid_argument("MultiCameraCalibrator: expected " + std::to_string(numCameras) +
                                    " image lists, got " + std::to_string(imageLists.size()));
    }
    for (const auto& images : imageLists) {
        if (images.size() != imageLists.front().size()) {
            throw std::invalid_argument("MultiCameraCalibrator: all cameras must have the same number of frames");
        }
    }
    if (imageLists.front().empty()) {
        throw std::invalid_argument("MultiCameraCalibrator: empty image lists");
    }
}

std::vector<cv::Mat> cloned(const std::vector<cv::Mat>& matrices) {
    std::vector<cv::Mat> copies;
    for (const cv::Mat& matrix : matrices) {
        copies.push_back(matrix.clone());
    }
    return copies;
}

// Per camera and frame, the corners the calibration used (frames past the per-view error filter);
// an empty entry where a camera did not see the board or the frame was filtered out.
void usedCorners(const std::vector<RigCameraView>& views, std::vector<std::vector<cv::Mat>>& objectPoints,
                 std::vector<std::vector<cv::Mat>>& imagePoints) {
    for (const RigCameraView& view : views) {
        const TargetDetections& detections = view.detections;
        std::vector<cv::Mat> objects, images;
        for (size_t d = 0; d < detections.successful_indices.size(); ++d) {
            const int frame = detections.successful_indices[d];
            if (view.low_error_frames && view.low_error_frames->count(frame) == 0) {
                continue;
            }
            objects.resize(std::max<size_t>(objects.size(), frame + 1));
            images.resize(objects.size());
            objects[frame] = detections.object_points[d];
            images[frame] = detections.image_points[d];
        }
        objectPoints.push_back(objects);
        imagePoints.push_back(images);
    }
}

template <typename T>
std::vector<T> withoutValue(std::vector<T> values, const T& value) {
    values.erase(std::remove(values.begin(), values.end(), value), values.end());
    return values;
}

// The fitted RMS of a view of the joint refinement; NaN when it has none.
double refinedViewRms(const RigRefinement& refinement, int camera, int frame) {
    for (size_t v = 0; v < refinement.view_cameras.size() && v < refinement.per_view_rms_px.size(); ++v) {
        if (refinement.view_cameras[v] == camera && refinement.view_frames[v] == frame) {
            return refinement.per_view_rms_px[v];
        }
    }
    return kNaN;
}

// reference_T_camera from the stereo solution, which maps reference coordinates into camera k's.
cv::Mat referenceTCamera(const cv::Mat& rotation, const cv::Mat& translation) {
    cv::Mat camera_T_reference = cv::Mat::eye(4, 4, CV_64F);
    cv::Mat r, t;
    rotation.convertTo(r, CV_64F);
    r.copyTo(camera_T_reference(cv::Rect(0, 0, 3, 3)));
    translation.convertTo(t, CV_64F);
    t.reshape(1, 3).copyTo(camera_T_reference(cv::Rect(3, 0, 1, 3)));
    return camera_T_reference.inv(cv::DECOMP_LU);
}

}  // namespace

MultiCameraCalibrator::MultiCameraCalibrator(const TargetVariant& target, int num_cameras, int reference_index,
                                             const IntrinsicOptions& options, int stereo_calibrate_flags)
    : target_(target),
      num_cameras_(checkedCameraCount(num_cameras)),
      reference_index_(checkedReferenceIndex(reference_index, num_cameras)),
      options_(options),
      camera_model_(cameraModelFromName(options.camera_model, "MultiCameraCalibrator")),
      stereo_calibrate_flags_(stereo_calibrate_flags),
      last_result_(emptyResult(num_cameras, reference_index, camera_model_)) {
    validateTarget(target_);
}

IntrinsicOptions MultiCameraCalibrator::defaultOptions() {
    IntrinsicOptions options;
    options.criteria = cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 30, 1e-6);
    options.per_view_error_threshold = 3.0;
    return options;
}

MultiCameraResult MultiCameraCalibrator::calibrate(const std::vector<std::vector<cv::Mat>>& image_lists,
                                                   const std::vector<cv::Mat>& intrinsic_matrices,
                                                   const std::vector<cv::Mat>& distortion_coefficients,
                                                   const std::filesystem::path& output_path, bool refine,
                                                   const RefinementOptions& refinement_options, bool validate) {
    return calibrate(image_lists, intrinsic_matrices, distortion_coefficients,
                     RigOptions{output_path, refine, refinement_options, validate});
}

MultiCameraResult MultiCameraCalibrator::calibrate(const std::vector<std::vector<cv::Mat>>& image_lists,
                                                   const std::vector<cv::Mat>& intrinsic_matrices,
                                                   const std::vector<cv::Mat>& distortion_coefficients,
                                                   const RigOptions& options) {
    const std::filesystem::path& output_path = options.output_path;
    const bool refine = options.refine;
    const RefinementOptions& refinement_options = options.refinement_options;
    const bool heldOut = options.validate;
    checkImageLists(image_lists, num_cameras_);
    // The run works on its own result, which becomes the stored one. It starts from the stored result (the
    // intrinsic figures of an earlier run stay when intrinsics are given), without its poses, pair errors,
    // refinement and validation, so that no pose of an earlier run is reported as this one's.
    MultiCameraResult result = withoutPoses(last_result_);
    result.image_names = options_.image_names;
    std::vector<RigCameraView> views;
    const bool intrinsicsSolvedHere = intrinsic_matrices.empty() || distortion_coefficients.empty();
    if (intrinsicsSolvedHere) {
        try {
            views = calibrateRigIntrinsics(image_lists, target_, options_, result);
        } catch (...) {
            last_result_ = std::move(result);  // the cameras calibrated before the failure are kept
            throw;
        }
    } else {
        const auto n = static_cast<size_t>(num_cameras_);
        if (intrinsic_matrices.size() != n || distortion_coefficients.size() != n) {
            throw std::invalid_argument("MultiCameraCalibrator: expected " + std::to_string(num_cameras_) +
                                        " intrinsic matrices/distortion coefficient sets");
        }
        for (const cv::Mat& coefficients : distortion_coefficients) {
            checkDistortionForModel(camera_model_, coefficients, "MultiCameraCalibrator: distortion_coefficients");
        }
        result.intrinsic_matrices = cloned(intrinsic_matrices);
        result.distortion_coefficients = cloned(distortion_coefficients);
        views = detectRigTargets(image_lists, target_, options_);
    }

    const int r = reference_index_;
    result.reference_T_camera_list[r] = cv::Mat::eye(4, 4, CV_64F);
    const cv::Size imageSize = image_lists[r].front().size();
    for (int k = 0; k < num_cameras_; ++k) {
        if (k != r) {
            calibratePair(views, k, imageSize, result);
        }
    }
    if (refine) {
        applyRefinement(views, intrinsicsSolvedHere, refinement_options, result);
    }

    result.ok = true;
    for (const cv::Mat& pose : result.reference_T_camera_list) {
        result.ok = result.ok && !pose.empty();
    }
    has_triangulation_ = false;
    if (result.ok) {
        validate(views, result);
        if (heldOut) {
            validateHeldOut(views, imageSize, intrinsicsSolvedHere, refinement_options, result);
        }
    }
    last_result_ = std::move(result);
    if (options.print_report) {
        printResults();
    }
    if (!output_path.empty()) {
        save(output_path);
    }
    return deepCopy(last_result_);
}

void MultiCameraCalibrator::calibratePair(const std::vector<RigCameraView>& views, int k, const cv::Size& imageSize,
                                          MultiCameraResult& result) const {
    const int r = reference_index_;
    const std::string pair = std::to_string(r) + " and camera " + std::to_string(k);
    size_t detectedInBoth = 0;
    const std::vector<int> frames = sharedFrames(views[r], views[k], detectedInBoth);
    if (frames.size() != detectedInBoth) {
        logMessage(LogLevel::Info, "[MultiCameraCalibrator] Pair (ref=" + std::to_string(r) +
                                       ", cam=" + std::to_string(k) + "): " + std::to_string(detectedInBoth) +
                                       " frames detected in both cameras -> " + std::to_string(frames.size()) +
                                       " after per-view intrinsic-error filter");
    }
    if (frames.size() < kMinimumSharedFrames) {
        logMessage(LogLevel::Error, "[MultiCameraCalibrator] Only " + std::to_string(frames.size()) +
                                        " shared detections between reference camera " + pair + "; skipping pair.");
        return;
    }
    const StereoPairPoints points = intersectPairCorners(frames, views[r], views[k], target_, r, k);
    if (points.object_points.empty()) {
        logMessage(LogLevel::Error,
                   "[MultiCameraCalibrator] No usable frames after per-corner intersection between reference camera " +
                       pair + "; skipping pair.");
        return;
    }

    cv::Mat referenceMatrix = result.intrinsic_matrices[r].clone();
    cv::Mat referenceDistortion = result.distortion_coefficients[r].clone();
    cv::Mat otherMatrix = result.intrinsic_matrices[k].clone();
    cv::Mat otherDistortion = result.distortion_coefficients[k].clone();
    cv::Mat rotation, translation;
    double rms = kNaN;
    if (camera_model_ == CameraModel::Pinhole) {
        rms = solvePair(points, referenceMatrix, referenceDistortion, otherMatrix, otherDistortion, imageSize, rotation,
                        translation);
    } else {
        const StereoPairPoints equal = equalCornerCounts(points);
        logMessage(LogLevel::Info, "[MultiCameraCalibrator] Fisheye pair (ref=" + std::to_string(r) + ", cam=" +
                                       std::to_string(k) + "): " + std::to_string(equal.object_points.size()) + " of " +
                                       std::to_string(points.object_points.size()) + " frames with " +
                                       std::to_string(equal.object_points.front().rows) +
                                       " shared corners each (the fisheye solver needs as many in every frame)");
        // OpenCV's fisheye solver asserts on data it cannot start from (a view whose homography is
        // degenerate, an ill-conditioned pair): one failed pair, not a failed program.
        try {
            rms = solvePair(points, referenceMatrix, referenceDistortion, otherMatrix, otherDistortion, imageSize,
                            rotation, translation);
        } catch (const cv::Exception& error) {
            logMessage(LogLevel::Warning,
                       "[MultiCameraCalibrator] Fisheye stereo calibration failed between "
                       "reference camera " +
                           pair + " (" + error.err + "); skipping pair.");
            return;
        }
    }
    if ((stereo_calibrate_flags_ & kFixIntrinsic) == 0) {
        result.intrinsic_matrices[r] = referenceMatrix;
        result.intrinsic_matrices[k] = otherMatrix;
        result.distortion_coefficients[r] = referenceDistortion.reshape(1, 1);
        result.distortion_coefficients[k] = otherDistortion.reshape(1, 1);
    }
    result.reference_T_camera_list[k] = referenceTCamera(rotation, translation);
    result.pair_reprojection_errors[k] = rms;
    logMessage(LogLevel::Info, "[MultiCameraCalibrator] Stereo pair (ref=" + std::to_string(r) +
                                   ", cam=" + std::to_string(k) + "): RMS error " + fixedSix(rms) + "px over " +
                                   std::to_string(points.object_points.size()) + " frames");
}

double MultiCameraCalibrator::solvePair(const StereoPairPoints& points, cv::Mat& referenceMatrix,
                                        cv::Mat& referenceDistortion, cv::Mat& otherMatrix, cv::Mat& otherDistortion,
                                        const cv::Size& imageSize, cv::Mat& rotation, cv::Mat& translation) const {
    const SingleThreadedOpenCv repeatable;
    if (camera_model_ == CameraModel::Fisheye) {
        return fisheyeStereoCalibrate(points, referenceMatrix, referenceDistortion, otherMatrix, otherDistortion,
                                      imageSize, rotation, translation, stereo_calibrate_flags_, options_.criteria);
    }
    cv::Mat essential, fundamental;
    return cv::stereoCalibrate(points.object_points, points.reference_points, points.other_points, referenceMatrix,
                               referenceDistortion, otherMatrix, otherDistortion, imageSize, rotation, translation,
                               essential, fundamental, stereo_calibrate_flags_, options_.criteria);
}

int MultiCameraCalibrator::refinementFlags(bool intrinsicsSolvedHere) const {
    if (!intrinsicsSolvedHere) {
        return 0;
    }
    return camera_model_ == CameraModel::Fisheye ? options_.fisheye_flags : options_.calibrate_camera_flags;
}

// A pose left over from an earlier run does not describe these pictures; keeping it would make
// this run look successful.
void MultiCameraCalibrator::applyRefinement(const std::vector<RigCameraView>& views, bool intrinsicsSolvedHere,
                                            const RefinementOptions& options, MultiCameraResult& result) const {
    RigRefinementProblem problem;
    problem.reference_index = reference_index_;
    problem.reference_T_camera_list = result.reference_T_camera_list;
    problem.intrinsic_matrices = result.intrinsic_matrices;
    problem.distortion_coefficients = result.distortion_coefficients;
    problem.refine_intrinsics = intrinsicsSolvedHere || options.refine_given_intrinsics;
    problem.calibration_flags = refinementFlags(intrinsicsSolvedHere);
    problem.camera_model = camera_model_;
    usedCorners(views, problem.object_points, problem.image_points);
    RigRefinement refinement = refineRig(problem, options);
    result.refined = refinement.refined;
    result.refinement_reason = refinement.reason;
    result.pairwise_reference_T_camera_list = cloned(result.reference_T_camera_list);
    if (refinement.refined) {
        result.reference_T_camera_list = cloned(refinement.reference_T_camera_list);
        if (refinement.intrinsics_refined) {
            result.intrinsic_matrices = cloned(refinement.intrinsic_matrices);
            result.distortion_coefficients = cloned(refinement.distortion_coefficients);
        }
    }
    result.refinement = std::move(refinement);
}

RigSolveWithout MultiCameraCalibrator::pairwiseWithout(const std::vector<RigCameraView>& views,
                                                       const cv::Size& imageSize, int frame,
                                                       const MultiCameraResult& result) const {
    RigSolveWithout solve;
    solve.reference_T_camera_list = cloned(result.reference_T_camera_list);
    solve.intrinsic_matrices = cloned(result.intrinsic_matrices);
    solve.distortion_coefficients = cloned(result.distortion_coefficients);
    const int r = reference_index_;
    for (int k = 0; k < num_cameras_; ++k) {
        if (k == r) {
            continue;
        }
        size_t detectedInBoth = 0;
        const std::vector<int> frames = withoutValue(sharedFrames(views[r], views[k], detectedInBoth), frame);
        const StereoPairPoints points = frames.size() < kMinimumSharedFrames
                                            ? StereoPairPoints()
                                            : intersectPairCorners(frames, views[r], views[k], target_, r, k);
        if (points.object_points.empty()) {
            solve.reference_T_camera_list[k] = cv::Mat();  // no prediction for this camera
            continue;
        }
        cv::Mat rotation, translation;
        solvePair(points, solve.intrinsic_matrices[r], solve.distortion_coefficients[r], solve.intrinsic_matrices[k],
                  solve.distortion_coefficients[k], imageSize, rotation, translation);
        solve.reference_T_camera_list[k] = referenceTCamera(rotation, translation);
    }
    solve.ok = true;
    return solve;
}

void MultiCameraCalibrator::validateHeldOut(const std::vector<RigCameraView>& views, const cv::Size& imageSize,
                                            bool intrinsicsSolvedHere, const RefinementOptions& options,
                                            MultiCameraResult& result) const {
    RigHeldOutInputs inputs;
    inputs.reference_index = reference_index_;
    usedCorners(views, inputs.object_points, inputs.image_points);
    inputs.reference_T_camera_list = result.reference_T_camera_list;
    inputs.intrinsic_matrices = result.intrinsic_matrices;
    inputs.distortion_coefficients = result.distortion_coefficients;
    inputs.camera_model = camera_model_;
    inputs.image_names = options_.image_names;
    if (result.refined && result.refinement) {
        const RigRefinement& full = *result.refinement;
        inputs.fitted_rms_px = [&full](int camera, int frame) { return refinedViewRms(full, camera, frame); };
        // Warm-started at the refined values, with the same model as the calibration.
        RigRefinementProblem problem;
        problem.reference_index = reference_index_;
        problem.reference_T_camera_list = full.reference_T_camera_list;
        problem.intrinsic_matrices = full.intrinsic_matrices;
        problem.distortion_coefficients = full.distortion_coefficients;
        problem.refine_intrinsics = full.intrinsics_refined;
        problem.calibration_flags = refinementFlags(intrinsicsSolvedHere);
        problem.camera_model = camera_model_;
        for (size_t k = 0; k < full.frames_used.size() && k < full.reference_T_target_list.size(); ++k) {
            const auto frame = static_cast<size_t>(full.frames_used[k]);
            problem.reference_T_target_list.resize(std::max(problem.reference_T_target_list.size(), frame + 1));
            problem.reference_T_target_list[frame] = full.reference_T_target_list[k];
        }
        // One Gauss-Newton step from the solution per frame, unless the options ask for re-solves.
        std::vector<RigRefinement> stepped;
        if (!options.held_out_resolves) {
            RigRefinementProblem all = problem;
            all.object_points = inputs.object_points;
            all.image_points = inputs.image_points;
            try {
                stepped = stepRigWithoutEachFrame(all, options);
            } catch (const std::exception&) {
                stepped.clear();  // each frame is then re-solved, and says why where that fails too
            }
        }
        inputs.solve_without = [&problem, &inputs, &options, &stepped](int frame) {
            if (static_cast<size_t>(frame) < stepped.size() &&
                (stepped[frame].refined || !stepped[frame].reason.empty())) {
                const RigRefinement& one = stepped[frame];
                return RigSolveWithout{one.refined, one.reason, one.reference_T_camera_list, one.intrinsic_matrices,
                                       one.distortion_coefficients};
            }
            RigRefinementProblem without = problem;
            without.object_points = inputs.object_points;
            without.image_points = inputs.image_points;
            for (size_t k = 0; k < without.object_points.size(); ++k) {
                if (static_cast<size_t>(frame) < without.object_points[k].size()) {
                    without.object_points[k][frame] = cv::Mat();
                    without.image_points[k][frame] = cv::Mat();
                }
            }
            const RigRefinement refit = resolveRigQuietly(without, options);
            RigSolveWithout solve;
            solve.ok = refit.refined;
            solve.reason = refit.reason;
            solve.reference_T_camera_list = refit.reference_T_camera_list;
            solve.intrinsic_matrices = refit.intrinsic_matrices;
            solve.distortion_coefficients = refit.distortion_coefficients;
            return solve;
        };
        result.validation = validateRigHeldOut(inputs);
    } else {
        inputs.solve_without = [this, &views, &imageSize, &result](int frame) {
            return pairwiseWithout(views, imageSize, frame, result);
        };
        result.validation = validateRigHeldOut(inputs);
    }
    if (!result.validation->validated) {
        logMessage(LogLevel::Warning,
                   "[MultiCameraCalibrator] Held-out validation not done: " + result.validation->reason);
    }
}

void MultiCameraCalibrator::validate(const std::vector<RigCameraView>& views, const MultiCameraResult& result) {
    try {
        last_triangulation_ = triangulateFrameZero(views, result);
        has_triangulation_ = true;
    } catch (const std::exception& error) {
        logMessage(LogLevel::Warning,
                   std::string("[MultiCameraCalibrator] Triangulation validation skipped: ") + error.what());
    }
}

void MultiCameraCalibrator::save(const std::filesystem::path& output_path) const {
    io::save_multi_camera_calibration(output_path, multiCameraCalibrationRecord(last_result_));
}

const CharucoTarget& MultiCameraCalibrator::triangulationTarget(const MultiCameraResult& result) const {
    for (const cv::Mat& pose : result.reference_T_camera_list) {
        if (pose.empty()) {
            throw std::runtime_error("MultiCameraCalibrator: run calibrate() before triangulate().");
        }
    }
    const auto* charuco = std::get_if<CharucoTarget>(&target_);
    if (charuco == nullptr) {
        throw std::invalid_argument("MultiCameraCalibrator::triangulate requires a CharucoTarget");
    }
    return *charuco;
}

// The validation of calibrate: frame 0 as the per-camera detection already found it. The detector and
// the picture are those a fresh detection would use, so the corners are the same.
TriangulationReport MultiCameraCalibrator::triangulateFrameZero(const std::vector<RigCameraView>& views,
                                                                const MultiCameraResult& result) const {
    const CharucoTarget& charuco = triangulationTarget(result);
    std::vector<CameraCorners> cameras(views.size());
    for (size_t k = 0; k < views.size(); ++k) {
        const TargetDetections& detections = views[k].detections;
        const auto& frames = detections.successful_indices;
        const auto found = std::find(frames.begin(), frames.end(), 0);
        if (found != frames.end()) {
            const auto position = static_cast<size_t>(found - frames.begin());
            const cv::Mat& points = detections.image_points[position];
            const cv::Mat& ids = detections.point_ids[position];
            cameras[k].corners.assign(points.begin<cv::Point2f>(), points.end<cv::Point2f>());
            cameras[k].ids.assign(ids.begin<int>(), ids.end<int>());
        }
    }
    return triangulateCharucoCorners(charuco, result, cameras, 0);
}

TriangulationReport MultiCameraCalibrator::triangulate(const std::vector<std::vector<cv::Mat>>& image_lists,
                                                       int frame_index) const {
    const CharucoTarget& charuco = triangulationTarget(last_result_);
    if (image_lists.size() < static_cast<size_t>(num_cameras_)) {
        throw std::invalid_argument("MultiCameraCalibrator::triangulate: expected " + std::to_string(num_cameras_) +
                                    " image lists, got " + std::to_string(image_lists.size()));
    }
    if (frame_index < 0) {
        throw std::invalid_argument("MultiCameraCalibrator::triangulate: frame_index must be >= 0, got " +
                                    std::to_string(frame_index));
    }
    for (int k = 0; k < num_cameras_; ++k) {
        if (static_cast<size_t>(frame_index) >= image_lists[k].size()) {
            throw std::invalid_argument("MultiCameraCalibrator::triangulate: image list " + std::to_string(k) +
                                        " has no frame " + std::to_string(frame_index));
        }
    }
    std::vector<CameraCorners> cameras;
    for (int k = 0; k < num_cameras_; ++k) {
        cameras.push_back(detectCharucoCorners(charuco, image_lists[k][frame_index]));
    }
    return triangulateCharucoCorners(charuco, last_result_, cameras, frame_index);
}

std::string MultiCameraCalibrator::formatResults() const {
    const auto* charuco = std::get_if<CharucoTarget>(&target_);
    return formatMultiCameraReport({last_result_, num_cameras_, charuco ? charuco->square_length : 0.0,
                                    has_triangulation_ ? &last_triangulation_ : nullptr, last_subset_results_});
}

void MultiCameraCalibrator::printResults() const {
    std::cout << formatResults() << std::flush;
}

}  // namespace velk::calibration
