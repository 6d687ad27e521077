#include "calibration/hand_eye/translating_hand_eye.hpp"

#include <cmath>

#include <opencv2/calib3d.hpp>

#include "core/pose.hpp"

namespace velk::calibration {
namespace {

// Turns below this angle between two poses are taken as none: a tool that does not turn, and the robot's
// own error.
constexpr double kVisibleTurnDeg = 1.0;
// The translations span a plane when their second singular value is at least this share of the first.
constexpr double kPlanarSpread = 1e-3;

cv::Mat asDouble(const cv::Mat& pose) {
    cv::Mat copy;
    pose.convertTo(copy, CV_64F);
    return copy;
}

cv::Mat relative(const cv::Mat& to, const cv::Mat& from) {
    return asDouble(to).inv(cv::DECOMP_LU) * asDouble(from);
}

double turnDeg(const cv::Mat& pose) {
    cv::Mat turn;
    cv::Rodrigues(rotationBlock(pose), turn);
    return cv::norm(turn) * 180.0 / CV_PI;
}

cv::Vec3d column(const cv::Mat& pose) {
    return cv::Vec3d(translationColumn(pose));
}

// The rotation R minimising sum |a_k - R b_k|^2 from the correlation sum b_k a_k^T; empty when the
// displacements do not span a plane.
cv::Mat procrustes(const cv::Matx33d& correlation) {
    cv::Mat w, u, vt;
    cv::SVD::compute(cv::Mat(correlation), w, u, vt, cv::SVD::FULL_UV);
    if (!(w.at<double>(1) > kPlanarSpread * w.at<double>(0))) {
        return cv::Mat();
    }
    // correlation = U W V^T; R = V diag(1, 1, det(V U^T)) U^T.
    const cv::Mat v = vt.t();
    cv::Mat flip = cv::Mat::eye(3, 3, CV_64F);
    flip.at<double>(2, 2) = cv::determinant(v * u.t()) < 0.0 ? -1.0 : 1.0;
    return v * flip * u.t();
}

}  // namespace

bool onlyTranslates(const std::vector<cv::Mat>& motions) {
    if (motions.size() < 3) {
        return false;
    }
    cv::Matx33d scatter = cv::Matx33d::zeros();
    for (size_t i = 1; i < motions.size(); ++i) {
        const cv::Mat moved = relative(motions.front(), motions[i]);
        // Every pair's turn is at most the sum of both poses' turns from the first.
        if (turnDeg(moved) >= 0.5 * kVisibleTurnDeg) {
            return false;
        }
        const cv::Vec3d step = column(moved);
        scatter += step * step.t();
    }
    cv::Mat spread;
    cv::SVD::compute(cv::Mat(scatter), spread, cv::SVD::NO_UV);
    return spread.at<double>(1) > kPlanarSpread * kPlanarSpread * spread.at<double>(0);
}

std::optional<HandEyeSolution> solveTranslatingHandEye(const std::vector<cv::Mat>& motions,
                                                       const std::vector<cv::Mat>& camera_T_target_list,
                                                       bool zero_target_offset) {
    if (!onlyTranslates(motions) || camera_T_target_list.size() != motions.size()) {
        return std::nullopt;
    }
    // A X = X B with A = inv(motion_j) * motion_i, B = camera_j * inv(camera_i) and no turn in A: a = R_X b.
    cv::Matx33d correlation = cv::Matx33d::zeros();
    for (size_t i = 0; i < motions.size(); ++i) {
        for (size_t j = i + 1; j < motions.size(); ++j) {
            const cv::Vec3d a = column(relative(motions[j], motions[i]));
            const cv::Vec3d b = column(asDouble(camera_T_target_list[j]) * asDouble(camera_T_target_list[i]).inv());
            correlation += cv::Matx33d(b[0] * a[0], b[0] * a[1], b[0] * a[2], b[1] * a[0], b[1] * a[1], b[1] * a[2],
                                       b[2] * a[0], b[2] * a[1], b[2] * a[2]);
        }
    }
    const cv::Mat rotation = procrustes(correlation);
    if (rotation.empty()) {
        return std::nullopt;
    }
    cv::Mat camera = cv::Mat::eye(4, 4, CV_64F);
    rotation.copyTo(camera(cv::Rect(0, 0, 3, 3)));
    std::vector<cv::Mat> targets;
    for (size_t i = 0; i < motions.size(); ++i) {
        targets.push_back(asDouble(motions[i]) * camera * asDouble(camera_T_target_list[i]));
    }
    cv::Mat target = averagePose(targets);
    if (zero_target_offset) {
        // X moved by d moves Y by R_motion d, the same rotation in every view: d = -R_motion^T t_Y takes Y's
        // offset to zero.
        const cv::Mat shift = -rotationBlock(asDouble(motions.front())).t() * cv::Mat(column(target));
        for (int k = 0; k < 3; ++k) {
            camera.at<double>(k, 3) = shift.at<double>(k);
            target.at<double>(k, 3) = 0.0;
        }
    }
    return HandEyeSolution{camera, target};
}

}  // namespace velk::calibration
