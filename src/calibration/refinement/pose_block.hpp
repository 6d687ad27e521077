#pragma once

#include <opencv2/core.hpp>

#include "calibration/refinement/refinement_statistics.hpp"

namespace velk::calibration {

constexpr int kPoseParameterCount = 6;  // [w, t]

// A rigid transform as the solver sees it: a fixed base rotation (angle-axis) and six free
// parameters [w, t], the transform being [exp(w) * R_base | t]. The rotation update w lives in
// the parent frame, so at w = 0 the covariance of [w, t] is that of the transform's rotation and
// translation as they are reported.
struct PoseBlock {
    double base_rotation[3] = {0.0, 0.0, 0.0};
    double parameters[kPoseParameterCount] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};

    static PoseBlock fromMatrix(const cv::Mat& transformation);
    cv::Mat matrix() const;
    // Moves the rotation update into the base rotation, leaving the transform unchanged and w = 0.
    void absorbRotationUpdate();
    bool isFinite() const;
};

// 1-sigma of a pose block from the 6 x 6 covariance of its [w, t] (row-major) times scale.
PoseSigma poseSigmaFromCovariance(const double* covariance, double scale);

}  // namespace velk::calibration
