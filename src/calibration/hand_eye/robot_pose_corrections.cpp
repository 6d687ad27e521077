#include "calibration/hand_eye/robot_pose_corrections.hpp"

#include <algorithm>
#include <cmath>

#include <opencv2/calib3d.hpp>

namespace velk::calibration {

cv::Mat startingCorrection(const cv::Mat& cameraMount, const cv::Mat& mount, const cv::Mat& targetPose,
                           const cv::Mat& viewPose, bool onLeft) {
    if (viewPose.empty()) {
        return cv::Mat();
    }
    cv::Mat c, m, g;
    cameraMount.convertTo(c, CV_64F);
    mount.convertTo(m, CV_64F);
    targetPose.convertTo(g, CV_64F);
    const cv::Mat inner = c * viewPose * g.inv(cv::DECOMP_LU);
    return onLeft ? cv::Mat(inner * m.inv(cv::DECOMP_LU)) : cv::Mat(m.inv(cv::DECOMP_LU) * inner);
}

cv::Mat knownTransform(const cv::Mat& robot_T_tcp, bool eyeToHand) {
    cv::Mat pose;
    robot_T_tcp.convertTo(pose, CV_64F);
    return eyeToHand ? pose : cv::Mat(pose.inv(cv::DECOMP_LU));
}

ObservationNoise startingNoise(const std::vector<cv::Mat>& corrections) {
    constexpr double kFloorTranslation = 5e-5, kFloorRotation = 1e-4;
    double translation = 0.0, rotation = 0.0;
    int count = 0;
    for (const cv::Mat& correction : corrections) {
        if (correction.empty()) {
            continue;
        }
        cv::Mat angleAxis;
        cv::Rodrigues(correction(cv::Rect(0, 0, 3, 3)).clone(), angleAxis);
        translation += cv::norm(correction(cv::Rect(3, 0, 1, 3)), cv::NORM_L2SQR);
        rotation += cv::norm(angleAxis, cv::NORM_L2SQR);
        ++count;
    }
    ObservationNoise start;
    if (count > 0) {
        start.translation_m = std::max(kFloorTranslation, std::sqrt(translation / (3.0 * count)));
        start.rotation_rad = std::max(kFloorRotation, std::sqrt(rotation / (3.0 * count)));
    }
    return start;
}

std::pair<ObservationNoise, NoiseEstimation> robotNoiseSettings(const RefinementOptions& options,
                                                                const ObservationNoise& disagreement) {
    ObservationNoise start = disagreement;
    NoiseEstimation estimation;
    if (options.robot_translation_sigma_mm >= 0.0) {
        start.translation_m = options.robot_translation_sigma_mm / 1000.0;
        estimation.translation = false;
    }
    if (options.robot_rotation_sigma_deg >= 0.0) {
        start.rotation_rad = options.robot_rotation_sigma_deg * CV_PI / 180.0;
        estimation.rotation = false;
    }
    if (options.pixel_sigma_px > 0.0) {
        start.pixel_px = options.pixel_sigma_px;
        estimation.pixel = false;
    }
    return {start, estimation};
}

std::vector<double> flangeCorrection(const cv::Mat& correction, bool eyeToHand) {
    // Eye-to-hand corrects robot_T_tcp on its right; eye-in-hand corrects tcp_T_robot on its left,
    // so the flange pose itself moves by the inverse.
    const cv::Mat flange = eyeToHand ? correction : correction.inv(cv::DECOMP_SVD);
    cv::Mat rotationVector;
    cv::Rodrigues(flange(cv::Rect(0, 0, 3, 3)).clone(), rotationVector);
    std::vector<double> values;
    for (int k = 0; k < 3; ++k) {
        values.push_back(flange.at<double>(k, 3) * 1000.0);
    }
    for (int k = 0; k < 3; ++k) {
        values.push_back(rotationVector.at<double>(k) * 180.0 / CV_PI);
    }
    return values;
}

}  // namespace velk::calibration
