#include "calibration/rig/rig_held_out_validation.hpp"

#include <cmath>
#include <optional>
#include <stdexcept>

#include "calibration/detection/camera_target_pose.hpp"
#include "core/parallel_indices.hpp"
#include "core/picture_names.hpp"

namespace velk::calibration {
namespace {

constexpr size_t kMinimumRemainingFrames = 4;

bool seen(const RigHeldOutInputs& in, size_t camera, size_t frame) {
    return frame < in.object_points[camera].size() && !in.object_points[camera][frame].empty();
}

size_t frameCount(const RigHeldOutInputs& in) {
    size_t count = 0;
    for (const auto& frames : in.object_points) {
        count = std::max(count, frames.size());
    }
    return count;
}

bool seenByAnother(const RigHeldOutInputs& in, size_t frame) {
    for (size_t k = 0; k < in.object_points.size(); ++k) {
        if (static_cast<int>(k) != in.reference_index && seen(in, k, frame)) {
            return true;
        }
    }
    return false;
}

bool seenByAny(const RigHeldOutInputs& in, size_t frame) {
    for (size_t k = 0; k < in.object_points.size(); ++k) {
        if (seen(in, k, frame)) {
            return true;
        }
    }
    return false;
}

// Frames the reference camera and at least one other camera saw; the others that some camera saw
// are named as skipped.
std::vector<size_t> predictableFrames(const RigHeldOutInputs& in, HeldOutViews& views) {
    std::vector<size_t> frames;
    const auto reference = static_cast<size_t>(in.reference_index);
    for (size_t f = 0; f < frameCount(in); ++f) {
        const std::string name = "frame " + pictureLabel(in.image_names, static_cast<int>(f));
        if (!seenByAny(in, f)) {
            views.skipped.push_back(name + ": no camera found the board");
        } else if (!seen(in, reference, f)) {
            views.skipped.push_back(name + ": the reference camera did not find the board");
        } else if (!seenByAnother(in, f)) {
            views.skipped.push_back(name + ": only the reference camera found the board");
        } else {
            frames.push_back(f);
        }
    }
    return frames;
}

// camera_T_target of camera k from the reference camera's board pose.
cv::Mat cameraTTarget(const cv::Mat& reference_T_camera, const cv::Mat& reference_T_target) {
    return reference_T_camera.inv(cv::DECOMP_SVD) * reference_T_target;
}

double fittedOf(const RigHeldOutInputs& in, size_t camera, size_t frame, const cv::Mat& referencePoseFull) {
    const double fitted =
        in.fitted_rms_px ? in.fitted_rms_px(static_cast<int>(camera), static_cast<int>(frame)) : std::nan("");
    if (std::isfinite(fitted) || referencePoseFull.empty()) {
        return fitted;
    }
    return cornerRmsPx(in.object_points[camera][frame], in.image_points[camera][frame],
                       cameraTTarget(in.reference_T_camera_list[camera], referencePoseFull),
                       in.intrinsic_matrices[camera], in.distortion_coefficients[camera], in.camera_model);
}

void validateFrame(const RigHeldOutInputs& in, size_t frame, const RigSolveWithout& solve, HeldOutViews& views) {
    const std::string name = "frame " + pictureLabel(in.image_names, static_cast<int>(frame));
    if (!solve.ok) {
        views.skipped.push_back(name + ": " + solve.reason);
        return;
    }
    const auto r = static_cast<size_t>(in.reference_index);
    const std::optional<cv::Mat> boardPose =
        estimateCameraTTarget(in.object_points[r][frame], in.image_points[r][frame], solve.intrinsic_matrices[r],
                              solve.distortion_coefficients[r], in.camera_model);
    if (!boardPose) {
        views.skipped.push_back(name + ": the reference camera's corners could not be posed");
        return;
    }
    const std::optional<cv::Mat> boardPoseFull =
        estimateCameraTTarget(in.object_points[r][frame], in.image_points[r][frame], in.intrinsic_matrices[r],
                              in.distortion_coefficients[r], in.camera_model);
    for (size_t k = 0; k < in.object_points.size(); ++k) {
        if (k == r || !seen(in, k, frame) || solve.reference_T_camera_list[k].empty()) {
            continue;
        }
        views.frames.push_back(static_cast<int>(frame));
        views.cameras.push_back(static_cast<int>(k));
        views.held_out_rms_px.push_back(cornerRmsPx(in.object_points[k][frame], in.image_points[k][frame],
                                                    cameraTTarget(solve.reference_T_camera_list[k], *boardPose),
                                                    solve.intrinsic_matrices[k], solve.distortion_coefficients[k],
                                                    in.camera_model));
        views.fitted_rms_px.push_back(fittedOf(in, k, frame, boardPoseFull ? *boardPoseFull : cv::Mat()));
    }
}

}  // namespace

HeldOutViews validateRigHeldOut(const RigHeldOutInputs& in) {
    HeldOutViews views;
    const std::vector<size_t> frames = predictableFrames(in, views);
    if (frames.size() < kMinimumRemainingFrames + 1) {
        views.reason = "too few frames seen by the reference camera and another (" + std::to_string(frames.size()) +
                       "): leaving one out must keep " + std::to_string(kMinimumRemainingFrames) + " to solve with";
        return views;
    }
    // The re-solves are independent: they run side by side; the figures are gathered in frame order.
    std::vector<RigSolveWithout> solves(frames.size());
    forEachIndexInParallel(frames.size(), [&in, &frames, &solves](size_t k) {
        try {
            solves[k] = in.solve_without(static_cast<int>(frames[k]));
        } catch (const std::exception& error) {
            solves[k].reason = error.what();
        }
    });
    for (size_t k = 0; k < frames.size(); ++k) {
        validateFrame(in, frames[k], solves[k], views);
    }
    summarizeHeldOutViews(views);
    if (!views.validated) {
        views.reason = "no frame could be validated";
    }
    return views;
}

}  // namespace velk::calibration
