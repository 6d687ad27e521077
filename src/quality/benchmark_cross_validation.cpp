#include <limits>
#include <numeric>

#include <opencv2/calib3d.hpp>

#include "calibration/intrinsic/intrinsic_calibrator.hpp"
#include "core/log.hpp"
#include "quality/benchmark_detection.hpp"
#include "quality/calibration_benchmark.hpp"
#include "quality/cross_validation_folds.hpp"

namespace velk::quality {
namespace {

constexpr size_t kMinimumTrainingImages = 4;
constexpr int kMinimumPoints = 4;

std::vector<cv::Mat> imagesAt(const std::vector<cv::Mat>& images, const std::vector<int>& indices) {
    std::vector<cv::Mat> selected;
    for (int index : indices) {
        selected.push_back(images[static_cast<size_t>(index)]);
    }
    return selected;
}

// Per-point reprojection error of each held-out image that can be posed with the fold's intrinsics.
void appendHeldOutErrors(const std::vector<cv::Mat>& testImages, const TargetVariant& target,
                         const calibration::IntrinsicResult& intrinsics, std::vector<double>& errors) {
    for (const std::optional<TargetPoints>& points : detectBenchmarkTargets(testImages, target)) {
        if (!points || points->image_points.rows < kMinimumPoints) {
            continue;
        }
        cv::Mat rotationVector, translation;
        if (!cv::solvePnP(points->object_points.reshape(3, points->object_points.rows), points->image_points,
                          intrinsics.intrinsic_matrix, intrinsics.distortion_coefficients, rotationVector, translation,
                          false, cv::SOLVEPNP_ITERATIVE)) {
            continue;
        }
        errors.push_back(pointReprojectionError(*points, rotationVector, translation, intrinsics.intrinsic_matrix,
                                                intrinsics.distortion_coefficients));
    }
}

}  // namespace

double CalibrationBenchmark::cross_validate(const std::vector<cv::Mat>& images, const TargetVariant& target,
                                            const calibration::IntrinsicOptions& options, int n_splits,
                                            int seed) const {
    validateTarget(target);
    std::vector<double> errors;
    const auto folds =
        crossValidationFolds(static_cast<int>(images.size()), n_splits, static_cast<std::uint32_t>(seed));
    for (const CrossValidationFold& fold : folds) {
        if (fold.training.size() < kMinimumTrainingImages) {
            continue;
        }
        calibration::IntrinsicCalibrator calibrator(target, options);
        const calibration::IntrinsicResult intrinsics = calibrator.calibrate(imagesAt(images, fold.training));
        if (!intrinsics.ok) {
            continue;
        }
        appendHeldOutErrors(imagesAt(images, fold.test), target, intrinsics, errors);
    }
    if (errors.empty()) {
        logMessage(LogLevel::Warning, "[Benchmark] cross_validate: no held-out errors computed.");
        return std::numeric_limits<double>::infinity();
    }
    return std::accumulate(errors.begin(), errors.end(), 0.0) / static_cast<double>(errors.size());
}

}  // namespace velk::quality
