#include "calibration/rig/rig_intrinsics.hpp"

#include <stdexcept>
#include <string>

#include "calibration/intrinsic/intrinsic_calibrator.hpp"
#include "core/log.hpp"

namespace velk::calibration {
namespace {

std::optional<std::set<int>> lowErrorFrames(const IntrinsicResult& intrinsics) {
    if (intrinsics.low_view_error_indices.empty()) {
        return std::nullopt;
    }
    std::set<int> frames;
    for (int position : intrinsics.low_view_error_indices) {
        frames.insert(intrinsics.successful_indices.at(static_cast<size_t>(position)));
    }
    return frames;
}

void logCameraSummary(int camera, const IntrinsicResult& intrinsics, const std::optional<std::set<int>>& frames) {
    const std::string head = "[MultiCameraCalibrator] Camera " + std::to_string(camera) + ": reprojection error " +
                             std::to_string(intrinsics.reprojection_error) + "px over " +
                             std::to_string(intrinsics.successful_indices.size()) + " frames (";
    if (!frames) {
        logMessage(LogLevel::Warning, head + "no frames pass per-view filter  -  stereo will use ALL)");
    } else {
        logMessage(LogLevel::Info, head + std::to_string(frames->size()) + " pass per-view filter)");
    }
}

// One camera's options, whose progress counts the images of the whole rig: camera k's images
// come after those of the cameras before it.
IntrinsicOptions cameraOptions(const IntrinsicOptions& options, int imagesBefore, int rigImages) {
    IntrinsicOptions camera = options;
    if (options.progress_callback) {
        camera.progress_callback = [report = options.progress_callback, imagesBefore, rigImages](int done, int) {
            report(imagesBefore + done, rigImages);
        };
    }
    return camera;
}

int imageCount(const std::vector<std::vector<cv::Mat>>& image_lists) {
    int count = 0;
    for (const std::vector<cv::Mat>& images : image_lists) {
        count += static_cast<int>(images.size());
    }
    return count;
}

}  // namespace

std::vector<RigCameraView> calibrateRigIntrinsics(const std::vector<std::vector<cv::Mat>>& image_lists,
                                                  const TargetVariant& target, const IntrinsicOptions& options,
                                                  MultiCameraResult& result) {
    logMessage(LogLevel::Info, "[MultiCameraCalibrator] Running per-camera intrinsic calibration.");
    std::vector<RigCameraView> views;
    const int rigImages = imageCount(image_lists);
    int imagesBefore = 0;
    for (size_t k = 0; k < image_lists.size(); ++k) {
        IntrinsicCalibrator calibrator(target, cameraOptions(options, imagesBefore, rigImages), Annotation::Skip);
        imagesBefore += static_cast<int>(image_lists[k].size());
        const IntrinsicResult intrinsics = calibrator.calibrate(image_lists[k]);
        if (!intrinsics.ok) {
            throw std::runtime_error("[MultiCameraCalibrator] Intrinsic calibration failed for camera " +
                                     std::to_string(k));
        }
        result.intrinsic_matrices[k] = intrinsics.intrinsic_matrix;
        result.distortion_coefficients[k] = intrinsics.distortion_coefficients;
        result.intrinsic_reprojection_errors[k] = intrinsics.reprojection_error;

        RigCameraView view{calibrator.detections(), lowErrorFrames(intrinsics)};
        logCameraSummary(static_cast<int>(k), intrinsics, view.low_error_frames);
        views.push_back(std::move(view));
    }
    return views;
}

std::vector<RigCameraView> detectRigTargets(const std::vector<std::vector<cv::Mat>>& image_lists,
                                            const TargetVariant& target, const IntrinsicOptions& options) {
    std::vector<RigCameraView> views;
    const int rigImages = imageCount(image_lists);
    int imagesBefore = 0;
    for (const std::vector<cv::Mat>& images : image_lists) {
        const IntrinsicCalibrator calibrator(target, cameraOptions(options, imagesBefore, rigImages), Annotation::Skip);
        views.push_back({calibrator.findCorners(images), std::nullopt});
        imagesBefore += static_cast<int>(images.size());
    }
    return views;
}

}  // namespace velk::calibration
