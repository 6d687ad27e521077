#include "calibration/refinement/held_out_views.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <set>
#include <sstream>

#include <opencv2/calib3d.hpp>

#include "core/fixed_text.hpp"
#include "core/picture_names.hpp"

namespace velk::calibration {
namespace {

constexpr size_t kWorstShown = 3;

std::vector<int> worstFrames(const HeldOutViews& views) {
    std::vector<size_t> order(views.frames.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&views](size_t a, size_t b) { return views.held_out_rms_px[a] > views.held_out_rms_px[b]; });
    std::vector<int> worst;
    for (size_t position : order) {
        const int frame = views.frames[position];
        if (std::find(worst.begin(), worst.end(), frame) == worst.end()) {
            worst.push_back(frame);
        }
        if (worst.size() == kWorstShown) {
            break;
        }
    }
    return worst;
}

}  // namespace

double heldOutQuantile(std::vector<double> values, double q) {
    if (values.empty()) {
        return std::nan("");
    }
    std::sort(values.begin(), values.end());
    const double position = q * static_cast<double>(values.size() - 1);
    const auto below = static_cast<size_t>(std::floor(position));
    const size_t above = std::min(values.size() - 1, below + 1);
    return values[below] + (position - static_cast<double>(below)) * (values[above] - values[below]);
}

double cornerRmsPx(const cv::Mat& objectPoints, const cv::Mat& imagePoints, const cv::Mat& camera_T_target,
                   const cv::Mat& intrinsicMatrix, const cv::Mat& distortion, CameraModel model) {
    cv::Mat rotationVector, projected, detected;
    cv::Rodrigues(camera_T_target(cv::Rect(0, 0, 3, 3)).clone(), rotationVector);
    if (model == CameraModel::Fisheye) {
        projected = projectObjectPoints(model, objectPoints, rotationVector,
                                        camera_T_target(cv::Rect(3, 0, 1, 3)).clone(), intrinsicMatrix, distortion);
    } else {
        cv::projectPoints(objectPoints, rotationVector, camera_T_target(cv::Rect(3, 0, 1, 3)).clone(), intrinsicMatrix,
                          distortion, projected);
    }
    projected.convertTo(projected, CV_64F);
    imagePoints.convertTo(detected, CV_64F);
    const cv::Mat difference = projected.reshape(1, static_cast<int>(projected.total())) -
                               detected.reshape(1, static_cast<int>(detected.total() * detected.channels() / 2));
    return std::sqrt(cv::norm(difference, cv::NORM_L2SQR) / difference.rows);
}

void summarizeHeldOutViews(HeldOutViews& views) {
    views.validated = !views.frames.empty();
    views.median_px = heldOutQuantile(views.held_out_rms_px, 0.5);
    views.p90_px = heldOutQuantile(views.held_out_rms_px, 0.9);
    views.worst_frames = worstFrames(views);
    std::map<int, std::vector<double>> perCamera;
    for (size_t k = 0; k < views.frames.size(); ++k) {
        perCamera[views.cameras[k]].push_back(views.held_out_rms_px[k]);
    }
    views.camera_indices.clear();
    views.camera_median_px.clear();
    for (const auto& [camera, errors] : perCamera) {
        views.camera_indices.push_back(camera);
        views.camera_median_px.push_back(heldOutQuantile(errors, 0.5));
    }
}

std::string heldOutViewsSentence(const HeldOutViews& views) {
    std::string sentence = "Predicts pictures it did not see to " + fixedText(views.median_px, 1) + " px (median), " +
                           fixedText(views.p90_px, 1) + " px (90th percentile)";
    if (views.camera_indices.size() > 1) {
        for (size_t k = 0; k < views.camera_indices.size(); ++k) {
            sentence += (k ? ", camera " : "; camera ") + std::to_string(views.camera_indices[k]) + " " +
                        fixedText(views.camera_median_px[k], 1) + " px";
        }
    }
    return sentence;
}

io::ValidationRecord heldOutViewsRecord(const HeldOutViews& views) {
    io::ValidationRecord record;
    record.validated = views.validated;
    record.reason = views.reason;
    record.frames = views.frames;
    if (std::set<int>(views.cameras.begin(), views.cameras.end()).size() > 1) {
        record.cameras = views.cameras;
    }
    record.held_out_rms_px = views.held_out_rms_px;
    record.fitted_rms_px = views.fitted_rms_px;
    record.median_px = views.median_px;
    record.p90_px = views.p90_px;
    record.worst_frames = views.worst_frames;
    return record;
}

std::string formatHeldOutViewsSection(const HeldOutViews& views, const std::string& unit,
                                      const std::vector<std::string>& image_names) {
    std::ostringstream text;
    text << "\nHeld-out Validation (each " << unit << " predicted from a solve without it):\n";
    if (!views.validated) {
        text << "  Not done: " << views.reason << ".\n";
    } else {
        text << "  " << heldOutViewsSentence(views) << "\n";
        text << "  Worst " << unit << "s:";
        for (size_t k = 0; k < views.worst_frames.size(); ++k) {
            text << (k ? ", " : " ") << "frame " << pictureLabel(image_names, views.worst_frames[k]);
        }
        text << "\n";
    }
    for (const std::string& skipped : views.skipped) {
        text << "  Skipped " << skipped << "\n";
    }
    return text.str();
}

}  // namespace velk::calibration
