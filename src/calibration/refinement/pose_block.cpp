#include "calibration/refinement/pose_block.hpp"

#include <algorithm>
#include <cmath>

#include <opencv2/calib3d.hpp>

namespace velk::calibration {
namespace {

cv::Mat rotationFromAngleAxis(const double* angleAxis) {
    cv::Mat rotation;
    cv::Rodrigues(cv::Mat(3, 1, CV_64F, const_cast<double*>(angleAxis)).clone(), rotation);
    return rotation;
}

}  // namespace

PoseBlock PoseBlock::fromMatrix(const cv::Mat& transformation) {
    cv::Mat pose;
    transformation.convertTo(pose, CV_64F);
    cv::Mat angleAxis;
    cv::Rodrigues(pose(cv::Rect(0, 0, 3, 3)).clone(), angleAxis);
    PoseBlock block;
    for (int k = 0; k < 3; ++k) {
        block.base_rotation[k] = angleAxis.at<double>(k);
        block.parameters[3 + k] = pose.at<double>(k, 3);
    }
    return block;
}

cv::Mat PoseBlock::matrix() const {
    const cv::Mat rotation = rotationFromAngleAxis(parameters) * rotationFromAngleAxis(base_rotation);
    cv::Mat pose = cv::Mat::eye(4, 4, CV_64F);
    rotation.copyTo(pose(cv::Rect(0, 0, 3, 3)));
    for (int k = 0; k < 3; ++k) {
        pose.at<double>(k, 3) = parameters[3 + k];
    }
    return pose;
}

void PoseBlock::absorbRotationUpdate() {
    const cv::Mat rotation = rotationFromAngleAxis(parameters) * rotationFromAngleAxis(base_rotation);
    cv::Mat angleAxis;
    cv::Rodrigues(rotation, angleAxis);
    for (int k = 0; k < 3; ++k) {
        base_rotation[k] = angleAxis.at<double>(k);
        parameters[k] = 0.0;
    }
}

bool PoseBlock::isFinite() const {
    for (int k = 0; k < 6; ++k) {
        if (!std::isfinite(parameters[k]) || (k < 3 && !std::isfinite(base_rotation[k]))) {
            return false;
        }
    }
    return true;
}

PoseSigma poseSigmaFromCovariance(const double* c, double scale) {
    constexpr double kRadiansToDegrees = 180.0 / CV_PI;
    PoseSigma sigma;
    double rotationTrace = 0.0, translationTrace = 0.0;
    for (int k = 0; k < 3; ++k) {
        const double rotationVariance = std::max(0.0, scale * c[7 * k]);
        const double translationVariance = std::max(0.0, scale * c[7 * (k + 3)]);
        sigma.rotation_deg[k] = std::sqrt(rotationVariance) * kRadiansToDegrees;
        sigma.translation_mm[k] = std::sqrt(translationVariance) * 1000.0;
        rotationTrace += rotationVariance;
        translationTrace += translationVariance;
    }
    sigma.rotation_norm_deg = std::sqrt(rotationTrace) * kRadiansToDegrees;
    sigma.translation_norm_mm = std::sqrt(translationTrace) * 1000.0;
    return sigma;
}

}  // namespace velk::calibration
