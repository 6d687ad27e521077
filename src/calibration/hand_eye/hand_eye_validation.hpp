#pragma once

#include <limits>
#include <string>
#include <vector>

namespace velk::calibration {

// How well a hand-eye calibration predicts pictures it did not see: each view left out in turn,
// the calibration solved again without it, and the view's board predicted from its robot pose.
struct HandEyeValidation {
    bool validated = false;
    std::string reason;  // why not, when validated is false
    // Per validated view, in view order.
    std::vector<int> frames;              // index in the caller's image list
    std::vector<double> held_out_rms_px;  // predicted against detected corners
    std::vector<double> fitted_rms_px;    // the same view's residual in the calibration itself
    std::vector<double> translation_mm;   // predicted board pose against the pose from the view's own corners
    std::vector<double> rotation_deg;
    std::vector<double> predicted_rms_px;  // what the model's uncertainty and noise expect; NaN without one
    std::vector<std::string> skipped;      // views that could not be validated, with the reason
    double median_px = std::numeric_limits<double>::quiet_NaN();
    double p90_px = std::numeric_limits<double>::quiet_NaN();
    double median_mm = std::numeric_limits<double>::quiet_NaN();
    double median_deg = std::numeric_limits<double>::quiet_NaN();
    std::vector<int> worst_frames;  // up to three frames, worst first
    // RMS of the held-out errors over the RMS of their predictions: near 1 when the sigmas are honest.
    double observed_over_predicted = std::numeric_limits<double>::quiet_NaN();
};

}  // namespace velk::calibration
