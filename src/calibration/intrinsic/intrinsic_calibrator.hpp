#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "calibration/detection/intrinsic_options.hpp"
#include "calibration/detection/target_detection.hpp"
#include "calibration/detection/target_detections.hpp"
#include "calibration/intrinsic/fisheye_input.hpp"
#include "calibration/intrinsic/intrinsic_result.hpp"
#include "core/camera_projection.hpp"
#include "targets/target_variant.hpp"

namespace velk::calibration {

// Intrinsic camera calibration from pictures of one target.
class IntrinsicCalibrator {
public:
    // With Annotation::Skip the detections carry no annotated images (for callers that need points only).
    explicit IntrinsicCalibrator(TargetVariant target, IntrinsicOptions options = IntrinsicOptions(),
                                 Annotation annotation = Annotation::Draw);

    // Detection only; the calibrator's state is left as it is.
    TargetDetections findCorners(const std::vector<cv::Mat>& images) const;
    // The same with annotated copies drawn or skipped for this call: a caller that needs only the
    // points saves a full-size colour copy of every picture in which the target is found.
    TargetDetections findCorners(const std::vector<cv::Mat>& images, Annotation annotation) const;

    // Detects, keeps the detections and calibrates. Bad image content gives ok == false, never a throw.
    IntrinsicResult calibrate(const std::vector<cv::Mat>& images);

    std::vector<cv::Mat> cornerImages() const { return detections_.annotated_images; }
    const TargetDetections& detections() const { return detections_; }
    const TargetVariant& target() const { return target_; }
    const IntrinsicOptions& options() const { return options_; }
    CameraModel cameraModel() const { return model_; }

private:
    double solve(const cv::Size& imageSize, cv::Mat& cameraMatrix, cv::Mat& distortion, IntrinsicResult& result,
                 std::vector<double>& perViewErrors);
    double solveStandard(const cv::Size& imageSize, cv::Mat& cameraMatrix, cv::Mat& distortion, IntrinsicResult& result,
                         cv::Mat& perViewErrorMatrix);
    double solveFisheye(const cv::Size& imageSize, cv::Mat& cameraMatrix, cv::Mat& distortion, IntrinsicResult& result,
                        std::vector<double>& perViewErrors);
    double runFisheyeCalibration(const FisheyeInput& input, const cv::Size& imageSize, cv::Mat& cameraMatrix,
                                 cv::Mat& distortion);
    void keepViews(const std::vector<int>& positions, IntrinsicResult& result);
    std::vector<double> perViewRms(CameraModel model, const cv::Mat& cameraMatrix, const cv::Mat& distortion) const;
    double meanReprojectionError(const cv::Mat& cameraMatrix, const cv::Mat& distortion) const;

    TargetVariant target_;
    IntrinsicOptions options_;
    Annotation annotation_;
    CameraModel model_;
    TargetDetections detections_;
    std::vector<cv::Mat> rotation_vectors_;
    std::vector<cv::Mat> translation_vectors_;
};

}  // namespace velk::calibration
