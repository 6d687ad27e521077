#include "calibration/intrinsic/intrinsic_calibrator.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <utility>

#include <opencv2/calib3d.hpp>

#include "calibration/detection/target_detection.hpp"
#include "calibration/intrinsic/calibration_deviations.hpp"
#include "calibration/intrinsic/fisheye_input.hpp"
#include "calibration/intrinsic/fisheye_solve.hpp"
#include "calibration/intrinsic/fisheye_start.hpp"
#include "calibration/intrinsic/low_error_views.hpp"
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

cv::Mat copyOrEmpty(const std::optional<cv::Mat>& matrix) {
    return matrix ? matrix->clone() : cv::Mat();
}

// A fisheye solution is only as good as its spread: corners all near the picture centre leave the
// focal length or the principal point free to wander (cv::fisheye::calibrate then returns a focal
// length of tens of thousands of pixels without complaint). Beyond these 1-sigma limits the
// solution is not reported.
constexpr double kLargestRelativeFocalSigma = 0.05;
constexpr double kLargestCentreSigmaShare = 0.05;  // of the picture's longer side

bool fisheyeDetermined(const cv::Mat& cameraMatrix, const cv::Mat& sigmas, const cv::Size& imageSize) {
    const double fx = cameraMatrix.at<double>(0, 0), fy = cameraMatrix.at<double>(1, 1);
    const double focal = std::max(sigmas.at<double>(0) / fx, sigmas.at<double>(1) / fy);
    const double centre = std::max(sigmas.at<double>(2), sigmas.at<double>(3));
    const double side = std::max(imageSize.width, imageSize.height);
    if (std::isfinite(focal) && std::isfinite(centre) && focal <= kLargestRelativeFocalSigma &&
        centre <= kLargestCentreSigmaShare * side) {
        return true;
    }
    char text[256];
    std::snprintf(text, sizeof text,
                  "[IntrinsicCalibrator] The fisheye calibration is not determined by these pictures (1-sigma of "
                  "the focal length %.1f%%, of the principal point %.1f px). Corners far from the picture "
                  "centre, in more views, let it be solved.",
                  100.0 * focal, centre);
    logMessage(LogLevel::Warning, text);
    return false;
}

// Names of the intrinsic parameters at the positions of CalibrationDeviations' layout.
std::vector<std::string> parameterNames(const std::vector<int>& positions, CameraModel model) {
    static const char* const pinhole[] = {"fx", "fy", "cx", "cy", "k1", "k2", "p1", "p2",    "k3",
                                          "k4", "k5", "k6", "s1", "s2", "s3", "s4", "tau_x", "tau_y"};
    static const char* const fisheye[] = {"fx", "fy", "cx", "cy", "k1", "k2", "k3", "k4", "skew"};
    const char* const* names = model == CameraModel::Fisheye ? fisheye : pinhole;
    const int count = model == CameraModel::Fisheye ? 9 : 18;
    std::vector<std::string> named;
    for (int position : positions) {
        named.push_back(position >= 0 && position < count ? names[position] : "parameter " + std::to_string(position));
    }
    return named;
}

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (size_t k = 0; k < names.size(); ++k) {
        text += (k == 0 ? "" : k + 1 == names.size() ? " and " : ", ") + names[k];
    }
    return text;
}

void warnUndetermined(const std::vector<std::string>& names) {
    if (names.empty()) {
        return;
    }
    logMessage(LogLevel::Warning,
               "[IntrinsicCalibrator] The pictures do not determine " + joined(names) +
                   " apart from the other parameters: " + (names.size() == 1 ? "its" : "their") +
                   " 1-sigma is reported as infinite, and the other parameters' 1-sigma as if " +
                   (names.size() == 1 ? "it were" : "they were") +
                   " fixed. A distortion model with fewer terms, or more pictures with corners near the picture's "
                   "edges and corners, determines them.");
}

std::string fixedSix(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.6f", value);
    return text;
}

}  // namespace

IntrinsicCalibrator::IntrinsicCalibrator(TargetVariant target, IntrinsicOptions options, Annotation annotation)
    : target_(std::move(target)),
      options_(std::move(options)),
      annotation_(annotation),
      model_(cameraModelFromName(options_.camera_model, "IntrinsicCalibrator")) {
    validateTarget(target_);
    if (model_ == CameraModel::Fisheye && !std::holds_alternative<CharucoTarget>(target_) &&
        options_.calibrate_camera_method != "Default") {
        throw std::invalid_argument(
            "IntrinsicCalibrator: the fisheye model is solved by cv::fisheye::calibrate alone; "
            "calibrate_camera_method must be 'Default', got '" +
            options_.calibrate_camera_method + "'");
    }
    if (model_ == CameraModel::Fisheye && options_.distortion_coefficients_guess) {
        checkDistortionForModel(model_, *options_.distortion_coefficients_guess,
                                "IntrinsicCalibrator: distortion_coefficients_guess");
    }
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
    if (model_ == CameraModel::Fisheye) {
        for (int image : dropViewsFisheyeCannotStart(detections_)) {
            logMessage(LogLevel::Warning, "[IntrinsicCalibrator] Image " + std::to_string(image) +
                                              " left out of the fisheye calibration: fewer than six corners, or "
                                              "corners along one line only.");
        }
    }

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
    const double rms = model_ == CameraModel::Fisheye
                           ? solveFisheye(imageSize, cameraMatrix, distortion, result, perViewErrors)
                           : solve(imageSize, cameraMatrix, distortion, result, perViewErrors);
    if (!(rms > 0.0)) {
        logMessage(LogLevel::Error, "[IntrinsicCalibrator] Camera calibration failed. Check the images and try again.");
        result.std_deviations_intrinsics = cv::Mat();
        result.std_deviations_extrinsics = cv::Mat();
        return result;
    }

    warnUndetermined(result.undetermined_parameters);
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
    result.camera_model = cameraModelName(model_);
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
// grows with the cube of the views (most of a 300-view calibration), and whose result on a nearly
// singular model depends on rounding; they are computed from the solver's block structure instead,
// equal to calibrateCamera's where the problem is well conditioned.
double IntrinsicCalibrator::solveStandard(const cv::Size& imageSize, cv::Mat& cameraMatrix, cv::Mat& distortion,
                                          IntrinsicResult& result, cv::Mat& perViewErrorMatrix) {
    const int flags = options_.calibrate_camera_flags;
    const double rms = cv::calibrateCamera(detections_.object_points, detections_.image_points, imageSize, cameraMatrix,
                                           distortion, rotation_vectors_, translation_vectors_, cv::noArray(),
                                           cv::noArray(), perViewErrorMatrix, flags, options_.criteria);
    if (rms > 0.0) {
        CalibrationDeviations deviations =
            calibrationDeviations(detections_.object_points, detections_.image_points, cameraMatrix, distortion,
                                  rotation_vectors_, translation_vectors_, flags);
        result.std_deviations_intrinsics = deviations.intrinsics;
        result.std_deviations_extrinsics = deviations.extrinsics;
        result.undetermined_parameters = parameterNames(deviations.undetermined, CameraModel::Pinhole);
    }
    return rms;
}

// The equidistant model through cv::fisheye::calibrate. OpenCV throws when it cannot start
// (corners too close to the centre, an ill-conditioned view); that is a failed calibration
// here, reported as a warning, never an exception.
double IntrinsicCalibrator::solveFisheye(const cv::Size& imageSize, cv::Mat& cameraMatrix, cv::Mat& distortion,
                                         IntrinsicResult& result, std::vector<double>& perViewErrors) {
    const cv::Mat intrinsicGuess = cameraMatrix.clone(), distortionGuess = distortion.clone();
    FisheyeInput input = fisheyeInput(detections_.object_points, detections_.image_points);
    const SingleThreadedOpenCv repeatable;
    double rms = 0.0;
    try {
        rms = runFisheyeCalibration(input, imageSize, cameraMatrix, distortion);
    } catch (const cv::Exception& first) {
        // One view OpenCV cannot pose at its start fails the whole batch: leave such views out.
        const std::vector<int> startable =
            fisheyeStartableViews(input, imageSize, intrinsicGuess, distortionGuess, options_.fisheye_flags);
        if (startable.empty() || startable.size() == input.object_points.size()) {
            logMessage(LogLevel::Warning, "[IntrinsicCalibrator] The fisheye calibration could not be solved (" +
                                              std::string(first.err) +
                                              "). Corners far from the picture centre, in more views, help it start.");
            return 0.0;
        }
        keepViews(startable, result);
        input = fisheyeInput(detections_.object_points, detections_.image_points);
        cameraMatrix = intrinsicGuess.clone();
        distortion = distortionGuess.clone();
        try {
            rms = runFisheyeCalibration(input, imageSize, cameraMatrix, distortion);
        } catch (const cv::Exception& error) {
            logMessage(LogLevel::Warning, "[IntrinsicCalibrator] The fisheye calibration could not be solved (" +
                                              std::string(error.err) +
                                              "). Corners far from the picture centre, in more views, help it start.");
            return 0.0;
        }
    }
    if (!(rms > 0.0) || !cv::checkRange(cameraMatrix) || !cv::checkRange(distortion)) {
        return 0.0;
    }
    perViewErrors = perViewRms(CameraModel::Fisheye, cameraMatrix, distortion);
    const CalibrationDeviations deviations =
        fisheyeCalibrationDeviations(input.object_points, input.image_points, cameraMatrix, distortion,
                                     rotation_vectors_, translation_vectors_, options_.fisheye_flags);
    if (!fisheyeDetermined(cameraMatrix, deviations.intrinsics, imageSize)) {
        return 0.0;
    }
    result.std_deviations_intrinsics = deviations.intrinsics;
    result.std_deviations_extrinsics = deviations.extrinsics;
    result.undetermined_parameters = parameterNames(deviations.undetermined, CameraModel::Fisheye);
    return rms;
}

double IntrinsicCalibrator::runFisheyeCalibration(const FisheyeInput& input, const cv::Size& imageSize,
                                                  cv::Mat& cameraMatrix, cv::Mat& distortion) {
    return solveFisheyeIntrinsics(input, imageSize, cameraMatrix, distortion, rotation_vectors_, translation_vectors_,
                                  options_.fisheye_flags, fisheyeCriteria(options_.criteria));
}

// Keeps the detections at the given positions (ascending) and names every picture left out.
void IntrinsicCalibrator::keepViews(const std::vector<int>& positions, IntrinsicResult& result) {
    TargetDetections kept;
    size_t next = 0;
    for (size_t p = 0; p < detections_.successful_indices.size(); ++p) {
        if (next < positions.size() && positions[next] == static_cast<int>(p)) {
            ++next;
            kept.successful_indices.push_back(detections_.successful_indices[p]);
            kept.image_points.push_back(detections_.image_points[p]);
            kept.object_points.push_back(detections_.object_points[p]);
            if (p < detections_.point_ids.size())
                kept.point_ids.push_back(detections_.point_ids[p]);
            if (p < detections_.annotated_images.size())
                kept.annotated_images.push_back(detections_.annotated_images[p]);
            continue;
        }
        logMessage(LogLevel::Warning, "[IntrinsicCalibrator] The fisheye model cannot start from image " +
                                          std::to_string(detections_.successful_indices[p]) +
                                          " (too few corners, or corners too far out for its first estimate); "
                                          "leaving it out.");
    }
    detections_ = std::move(kept);
    result.successful_indices = detections_.successful_indices;
    result.image_points = detections_.image_points;
}

std::vector<double> IntrinsicCalibrator::perViewRms(CameraModel model, const cv::Mat& cameraMatrix,
                                                    const cv::Mat& distortion) const {
    std::vector<double> errors;
    for (size_t v = 0; v < detections_.object_points.size(); ++v) {
        const cv::Mat projected = projectObjectPoints(model, detections_.object_points[v], rotation_vectors_[v],
                                                      translation_vectors_[v], cameraMatrix, distortion);
        cv::Mat observed;
        detections_.image_points[v].reshape(2, projected.rows).convertTo(observed, CV_64FC2);
        errors.push_back(std::sqrt(cv::norm(observed, projected, cv::NORM_L2SQR) / projected.rows));
    }
    return errors;
}

double IntrinsicCalibrator::meanReprojectionError(const cv::Mat& cameraMatrix, const cv::Mat& distortion) const {
    const size_t views = detections_.object_points.size();
    double sum = 0.0;
    for (size_t v = 0; v < views; ++v) {
        cv::Mat projected;
        if (model_ == CameraModel::Fisheye) {
            projected = projectObjectPoints(model_, detections_.object_points[v], rotation_vectors_[v],
                                            translation_vectors_[v], cameraMatrix, distortion);
        } else {
            cv::projectPoints(detections_.object_points[v], rotation_vectors_[v], translation_vectors_[v], cameraMatrix,
                              distortion, projected);
        }
        cv::Mat observed;
        detections_.image_points[v].reshape(2, projected.rows).convertTo(observed, CV_64FC2);
        projected.convertTo(projected, CV_64FC2);
        sum += cv::norm(observed, projected, cv::NORM_L2) / static_cast<double>(projected.total());
    }
    return sum / static_cast<double>(views);
}

}  // namespace velk::calibration
