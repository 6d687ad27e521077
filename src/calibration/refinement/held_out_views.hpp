#pragma once

#include <limits>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "core/camera_projection.hpp"
#include "io/result_records.hpp"

namespace velk::calibration {

// Pictures predicted by a calibration solved without them: one entry per predicted view (a picture,
// or one camera's picture of a rig frame), summarized over all of them.
struct HeldOutViews {
    bool validated = false;
    std::string reason;  // why not, when validated is false
    // Per predicted view, in frame order.
    std::vector<int> frames;              // index in the caller's image list
    std::vector<int> cameras;             // the camera of each view; all zero for one camera
    std::vector<double> held_out_rms_px;  // predicted against detected corners
    std::vector<double> fitted_rms_px;    // the same view's residual in the calibration itself
    std::vector<std::string> skipped;     // frames that could not be validated, with the reason
    double median_px = std::numeric_limits<double>::quiet_NaN();
    double p90_px = std::numeric_limits<double>::quiet_NaN();
    std::vector<int> worst_frames;         // up to three frames, worst first
    std::vector<int> camera_indices;       // cameras with predicted views, ascending
    std::vector<double> camera_median_px;  // median held-out error of each of them
};

// Fills the medians, the 90th percentile, the worst frames and the per-camera medians from the
// per-view lists, and marks the record validated when it has a view.
void summarizeHeldOutViews(HeldOutViews& views);

// The q-quantile by linear interpolation between order statistics; NaN for no values.
double heldOutQuantile(std::vector<double> values, double q);

// RMS distance in pixels between the detected corners and the board's corners projected at
// camera_T_target (4 x 4) through the given intrinsics.
double cornerRmsPx(const cv::Mat& objectPoints, const cv::Mat& imagePoints, const cv::Mat& camera_T_target,
                   const cv::Mat& intrinsicMatrix, const cv::Mat& distortion, CameraModel model = CameraModel::Pinhole);

// "Predicts pictures it did not see to 1.4 px (median), 2.1 px (90th percentile)", with the
// per-camera medians when there is more than one camera.
std::string heldOutViewsSentence(const HeldOutViews& views);

// The record a result file stores: per view and summarized; the cameras only for more than one.
io::ValidationRecord heldOutViewsRecord(const HeldOutViews& views);

// The text report's section: the sentence, the worst frames and the skipped ones, or why it was
// not done; empty for no validation.
std::string formatHeldOutViewsSection(const HeldOutViews& views, const std::string& unit,
                                      const std::vector<std::string>& image_names = {});

}  // namespace velk::calibration
