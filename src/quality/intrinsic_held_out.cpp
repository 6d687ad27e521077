#include "quality/intrinsic_held_out.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>

#include <opencv2/calib3d.hpp>

#include "calibration/detection/camera_target_pose.hpp"
#include "calibration/intrinsic/fisheye_input.hpp"
#include "calibration/intrinsic/fisheye_solve.hpp"
#include "core/opencv_threads.hpp"
#include "core/picture_names.hpp"
#include "quality/cross_validation_folds.hpp"

namespace velk::quality {
namespace {

constexpr size_t kMinimumTrainingViews = 4;
constexpr std::uint32_t kFoldSeed = 0;

using calibration::HeldOutViews;

struct FoldIntrinsics {
    bool ok = false;
    cv::Mat intrinsic_matrix;
    cv::Mat distortion;
};

double solveFisheyeFold(const std::vector<cv::Mat>& objects, const std::vector<cv::Mat>& images,
                        const cv::Size& imageSize, FoldIntrinsics& fold, const calibration::IntrinsicOptions& options) {
    const calibration::FisheyeInput input = calibration::fisheyeInput(objects, images);
    std::vector<cv::Mat> rotations, translations;
    return calibration::solveFisheyeIntrinsics(
        input, imageSize, fold.intrinsic_matrix, fold.distortion, rotations, translations,
        options.fisheye_flags | cv::fisheye::CALIB_USE_INTRINSIC_GUESS, calibration::fisheyeCriteria(options.criteria));
}

// The calibration's own solve on the training views, started at its solution.
FoldIntrinsics solveFold(const calibration::TargetDetections& detections, const std::vector<int>& training,
                         const calibration::IntrinsicResult& full, const calibration::IntrinsicOptions& options,
                         const cv::Size& imageSize) {
    std::vector<cv::Mat> objects, images;
    for (int position : training) {
        objects.push_back(detections.object_points[static_cast<size_t>(position)]);
        images.push_back(detections.image_points[static_cast<size_t>(position)]);
    }
    FoldIntrinsics fold;
    fold.intrinsic_matrix = full.intrinsic_matrix.clone();
    fold.distortion = full.distortion_coefficients.clone();
    std::vector<cv::Mat> rotations, translations;
    const SingleThreadedOpenCv repeatable;
    try {
        const double rms =
            full.camera_model == "fisheye"
                ? solveFisheyeFold(objects, images, imageSize, fold, options)
                : cv::calibrateCamera(objects, images, imageSize, fold.intrinsic_matrix, fold.distortion, rotations,
                                      translations, options.calibrate_camera_flags | cv::CALIB_USE_INTRINSIC_GUESS,
                                      options.criteria);
        fold.ok = rms > 0.0 && cv::checkRange(fold.intrinsic_matrix) && cv::checkRange(fold.distortion);
    } catch (const cv::Exception&) {
        fold.ok = false;
    }
    return fold;
}

void skipUndetected(const calibration::IntrinsicResult& result, int imageCount, const std::vector<std::string>& names,
                    HeldOutViews& views) {
    for (int image = 0; image < imageCount; ++image) {
        const auto& found = result.successful_indices;
        if (std::find(found.begin(), found.end(), image) == found.end()) {
            views.skipped.push_back("frame " + pictureLabel(names, image) + ": the board was not found");
        }
    }
}

}  // namespace

HeldOutViews validateIntrinsicsHeldOut(const calibration::IntrinsicCalibrator& calibrator,
                                       const calibration::IntrinsicResult& result, const cv::Size& imageSize,
                                       int image_count) {
    HeldOutViews views;
    skipUndetected(result, image_count, calibrator.options().image_names, views);
    const calibration::TargetDetections& detections = calibrator.detections();
    const auto count = static_cast<int>(detections.object_points.size());
    if (!result.ok || static_cast<size_t>(count) < kMinimumTrainingViews + 1) {
        views.reason = "too few views with the board (" + std::to_string(count) + "): leaving one out must keep " +
                       std::to_string(kMinimumTrainingViews) + " to solve with";
        return views;
    }
    for (const CrossValidationFold& fold : crossValidationFolds(count, count, kFoldSeed)) {
        const auto position = static_cast<size_t>(fold.test.front());
        const std::string name =
            "frame " + pictureLabel(calibrator.options().image_names, detections.successful_indices[position]);
        const FoldIntrinsics intrinsics = solveFold(detections, fold.training, result, calibrator.options(), imageSize);
        if (!intrinsics.ok) {
            views.skipped.push_back(name + ": the intrinsics could not be solved without it");
            continue;
        }
        const CameraModel model = calibrator.cameraModel();
        const auto pose =
            calibration::estimateCameraTTarget(detections.object_points[position], detections.image_points[position],
                                               intrinsics.intrinsic_matrix, intrinsics.distortion, model);
        if (!pose) {
            views.skipped.push_back(name + ": its board could not be posed from its own corners");
            continue;
        }
        views.frames.push_back(detections.successful_indices[position]);
        views.cameras.push_back(0);
        views.held_out_rms_px.push_back(
            calibration::cornerRmsPx(detections.object_points[position], detections.image_points[position], *pose,
                                     intrinsics.intrinsic_matrix, intrinsics.distortion, model));
        views.fitted_rms_px.push_back(position < result.per_view_errors.size() ? result.per_view_errors[position]
                                                                               : std::nan(""));
    }
    // Folds follow the shuffled order; the record lists views by frame.
    std::vector<size_t> order(views.frames.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&views](size_t a, size_t b) { return views.frames[a] < views.frames[b]; });
    HeldOutViews sorted = views;
    for (size_t k = 0; k < order.size(); ++k) {
        sorted.frames[k] = views.frames[order[k]];
        sorted.held_out_rms_px[k] = views.held_out_rms_px[order[k]];
        sorted.fitted_rms_px[k] = views.fitted_rms_px[order[k]];
    }
    calibration::summarizeHeldOutViews(sorted);
    if (!sorted.validated) {
        sorted.reason = "no view could be validated";
    }
    return sorted;
}

}  // namespace velk::quality
