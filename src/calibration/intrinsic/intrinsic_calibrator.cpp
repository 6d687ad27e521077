#include "calibration/intrinsic/intrinsic_calibrator.hpp"

#include <cstdio>
#include <stdexcept>
#include <string>
#include <utility>

#include <opencv2/calib3d.hpp>

#include "calibration/intrinsic/calibration_deviations.hpp"
#include "calibration/intrinsic/low_error_views.hpp"
#include "calibration/detection/target_detection.hpp"
#include "core/log.hpp"
#include "core/opencv_threads.hpp"

namespace velk::calibration {
namespace {

enum class Solver { Standard, ReleasedObject };

Solver solverFor(const TargetVariant& target, const std::string& method) {
    if (std::holds_alternative<CharucoTarget>(target) || method == "Default") {
        return Solver::Standard;
    }
    if (method == "Release Object") {
        return Solver::ReleasedObject;
    }
    throw std::invalid_argument(
        "IntrinsicCalibrator: calibrate_camera_method must be 'Default' or 'Release Object', got '" + method + "'");
}

cv::Mat copyOrEmpty(const std::optional<cv::Mat>& matrix) { return matrix ? matrix->clone() : cv::Mat(); }

std::string fixedSix(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.6f", value);
    return text;
}

}  // namespace

IntrinsicCalibrator::IntrinsicCalibrator(TargetVariant target, IntrinsicOptions options, Annotation annotation)
    : target_(std::move(target)), options_(std::move(options)), annotation_(annotation) {
    validateTarget(target_);
}

TargetDetections IntrinsicCalibrator::findCorners(const std::vector<cv::Mat>& images) const {
    return findCorners(images, annotation_);
}

TargetDetections IntrinsicCalibrator::findCorners(const std::vector<cv::Mat>& images, Annotation annotation) const {
    return detectTarget(images, target_, options_, annotation);
}

IntrinsicResult IntrinsicCalibrator::calibrate(const std::vector<cv::Mat>& images) {
    detections_ = detectTarget(images, target_, options_, annotation_);
    rotation_vectors_.clear();
    translation_vectors_.clear();

    IntrinsicResult result;
    result.successful_indices = detections_.successful_indices;
    result.image_points = detections_.image_points;
    if (detections_.image_points.empty()) {
        logMessage(LogLevel::Warning, "[IntrinsicCalibrator] No corners found. Check the images and try again.");
        return result;
    }

    const cv::Size imageSize = images.front().size();
    cv::Mat cameraMatrix = copyOrEmpty(options_.intrinsic_matrix_guess);
    cv::Mat distortion = copyOrEmpty(options_.distortion_coefficients_guess);
    std::vector<double> perViewErrors;
    const double rms = solve(imageSize, cameraMatrix, distortion, result, perViewErrors);
    if (!(rms > 0.0)) {
        logMessage(LogLevel::Error, "[IntrinsicCalibrator] Camera calibration failed. Check the images and try again.");
        result.std_deviations_intrinsics = cv::Mat();
        result.std_deviations_extrinsics = cv::Mat();
        return result;
    }

    result.per_view_errors = perViewErrors;
    result.low_view_error_indices = lowErrorPositions(perViewErrors, options_.per_view_error_threshold);
    if (result.low_view_error_indices.empty()) {
        logMessage(LogLevel::Warning, "[IntrinsicCalibrator] No view with reprojection error below " +
                                          fixedSix(options_.per_view_error_threshold) +
                                          ". Returning intrinsics anyway with low_view_error_indices=[].");
    }
    result.intrinsic_matrix = cameraMatrix;
    result.distortion_coefficients = distortion.reshape(1, 1);
    result.reprojection_error = meanReprojectionError(result.intrinsic_matrix, result.distortion_coefficients);
    result.ok = true;
    return result;
}

double IntrinsicCalibrator::solve(const cv::Size& imageSize, cv::Mat& cameraMatrix, cv::Mat& distortion,
                                  IntrinsicResult& result, std::vector<double>& perViewErrors) {
    cv::Mat perViewErrorMatrix;
    double rms = 0.0;
    const SingleThreadedOpenCv repeatable;
    if (solverFor(target_, options_.calibrate_camera_method) == Solver::Standard) {
        rms = solveStandard(imageSize, cameraMatrix, distortion, result, perViewErrorMatrix);
    } else {
        cv::Mat newObjectPoints, stdDeviationsObjectPoints;
        rms = cv::calibrateCameraRO(detections_.object_points, detections_.image_points, imageSize,
                                    options_.index_of_fixed_3d_point, cameraMatrix, distortion, rotation_vectors_,
                                    translation_vectors_, newObjectPoints, result.std_deviations_intrinsics,
                                    result.std_deviations_extrinsics, stdDeviationsObjectPoints, perViewErrorMatrix,
                                    options_.calibrate_camera_flags, options_.criteria);
    }
    cv::Mat errors;
    perViewErrorMatrix.reshape(1, 1).convertTo(errors, CV_64F);
    perViewErrors.assign(errors.ptr<double>(), errors.ptr<double>() + errors.total());
    return rms;
}

// calibrateCamera finds its deviations by pseudo-inverting the whole normal matrix, whose cost
// grows with the cube of the views (most of a 300-view calibration); where the solver's block
// structure allows, they are computed from the blocks instead, with the same result.
double IntrinsicCalibrator::solveStandard(const cv::Size& imageSize, cv::Mat& cameraMatrix, cv::Mat& distortion,
                                          IntrinsicResult& result, cv::Mat& perViewErrorMatrix) {
    const int flags = options_.calibrate_camera_flags;
    const bool fromBlocks = deviationsFromNormalBlocks(flags);
    const cv::_OutputArray none;
    const double rms = cv::calibrateCamera(
        detections_.object_points, detections_.image_points, imageSize, cameraMatrix, distortion, rotation_vectors_,
        translation_vectors_, fromBlocks ? none : cv::_OutputArray(result.std_deviations_intrinsics),
        fromBlocks ? none : cv::_OutputArray(result.std_deviations_extrinsics), perViewErrorMatrix, flags,
        options_.criteria);
    if (fromBlocks && rms > 0.0) {
        CalibrationDeviations deviations =
            calibrationDeviations(detections_.object_points, detections_.image_points, cameraMatrix, distortion,
                                  rotation_vectors_, translation_vectors_, flags);
        result.std_deviations_intrinsics = deviations.intrinsics;
        result.std_deviations_extrinsics = deviations.extrinsics;
    }
    return rms;
}

double IntrinsicCalibrator::meanReprojectionError(const cv::Mat& cameraMatrix, const cv::Mat& distortion) const {
    const size_t views = detections_.object_points.size();
    double sum = 0.0;
    for (size_t v = 0; v < views; ++v) {
        cv::Mat projected;
        cv::projectPoints(detections_.object_points[v], rotation_vectors_[v], translation_vectors_[v], cameraMatrix,
                          distortion, projected);
        cv::Mat observed;
        detections_.image_points[v].reshape(2, projected.rows).convertTo(observed, CV_64FC2);
        projected.convertTo(projected, CV_64FC2);
        sum += cv::norm(observed, projected, cv::NORM_L2) / static_cast<double>(projected.total());
    }
    return sum / static_cast<double>(views);
}

}  // namespace velk::calibration
