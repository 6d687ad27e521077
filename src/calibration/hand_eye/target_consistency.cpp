#include "calibration/hand_eye/target_consistency.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include <opencv2/calib3d.hpp>

#include "core/pose.hpp"

namespace velk::calibration {
namespace {

constexpr double kPi = 3.141592653589793;

cv::Point3f meanOf(const std::vector<cv::Point3f>& points) {
    cv::Point3d sum(0, 0, 0);
    for (const cv::Point3f& p : points) {
        sum += cv::Point3d(p.x, p.y, p.z);
    }
    const double n = points.empty() ? 1.0 : static_cast<double>(points.size());
    return cv::Point3f(static_cast<float>(sum.x / n), static_cast<float>(sum.y / n), static_cast<float>(sum.z / n));
}

std::vector<cv::Point3f> targetPoints(const TargetVariant& target) {
    struct Points {
        std::vector<cv::Point3f> operator()(const ChessboardTarget& t) const {
            const cv::Mat points = t.objectPoints();
            if (points.empty()) {
                return {};
            }
            return std::vector<cv::Point3f>(points.reshape(3, points.rows));
        }
        std::vector<cv::Point3f> operator()(const CharucoTarget& t) const {
            return t.createBoard().getChessboardCorners();
        }
        std::vector<cv::Point3f> operator()(const ArucoTarget& t) const {
            std::vector<cv::Point3f> all;
            const cv::aruco::GridBoard board = t.createBoard();  // getObjPoints() refers into the board
            for (const auto& marker : board.getObjPoints()) {
                all.insert(all.end(), marker.begin(), marker.end());
            }
            return all;
        }
        std::vector<cv::Point3f> operator()(const CircleGridTarget& t) const {
            const cv::Mat points = t.objectPoints();
            if (points.empty()) {
                return {};
            }
            return std::vector<cv::Point3f>(points.reshape(3, points.rows));
        }
    };
    return std::visit(Points{}, target);
}

cv::Mat asDouble(const cv::Mat& m) {
    cv::Mat d;
    m.convertTo(d, CV_64F);
    return d;
}

double rotationAngleDeg(const cv::Mat& a, const cv::Mat& b) {
    const cv::Mat ra = asDouble(a)(cv::Rect(0, 0, 3, 3));
    const cv::Mat rb = asDouble(b)(cv::Rect(0, 0, 3, 3));
    const double c = std::clamp((cv::trace(ra.t() * rb)[0] - 1.0) / 2.0, -1.0, 1.0);
    return std::acos(c) * 180.0 / kPi;
}

double mean(const std::vector<double>& values) {
    return std::accumulate(values.begin(), values.end(), 0.0) / static_cast<double>(values.size());
}

double maximum(const std::vector<double>& values) {
    return *std::max_element(values.begin(), values.end());
}

// The target centre in pixels through a fisheye lens.
cv::Point2d fisheyeCentre(const cv::Point3f& centre, const cv::Mat& rotationVector, const cv::Mat& translation,
                          const cv::Mat& intrinsic_matrix, const cv::Mat& distortion_coefficients) {
    const cv::Mat pixels = projectObjectPoints(CameraModel::Fisheye, cv::Mat(cv::Point3d(centre)).reshape(3, 1),
                                               rotationVector, translation, intrinsic_matrix, distortion_coefficients);
    return pixels.at<cv::Point2d>(0);
}

void addProjectedCentres(const std::vector<cv::Mat>& camera_T_target_list, const cv::Mat& intrinsic_matrix,
                         const cv::Mat& distortion_coefficients, const cv::Point3f& centre, CameraModel model,
                         TargetConsistencyStats& stats) {
    const cv::Mat distortion = distortion_coefficients.empty() ? cv::Mat::zeros(1, 5, CV_64F) : distortion_coefficients;
    for (const cv::Mat& pose : camera_T_target_list) {
        const cv::Mat p = asDouble(pose);
        cv::Mat rotationVector;
        cv::Rodrigues(p(cv::Rect(0, 0, 3, 3)), rotationVector);
        const cv::Mat translation = p(cv::Rect(3, 0, 1, 3)).clone();
        stats.distances_m.push_back(cv::norm(translation, cv::NORM_L2));
        if (intrinsic_matrix.empty()) {
            stats.board_us.push_back(std::numeric_limits<double>::quiet_NaN());
            stats.board_vs.push_back(std::numeric_limits<double>::quiet_NaN());
            continue;
        }
        if (model == CameraModel::Fisheye) {
            const cv::Point2d pixel =
                fisheyeCentre(centre, rotationVector, translation, intrinsic_matrix, distortion_coefficients);
            stats.board_us.push_back(pixel.x);
            stats.board_vs.push_back(pixel.y);
            continue;
        }
        std::vector<cv::Point2f> projected;
        cv::projectPoints(std::vector<cv::Point3f>{centre}, rotationVector, translation, intrinsic_matrix, distortion,
                          projected);
        stats.board_us.push_back(projected[0].x);
        stats.board_vs.push_back(projected[0].y);
    }
}

}  // namespace

cv::Point3f targetCentre(const TargetVariant& target) {
    return meanOf(targetPoints(target));
}

TargetConsistencyStats computeTargetConsistency(const std::vector<cv::Mat>& motions, const cv::Mat& cameraTransform,
                                                const std::vector<cv::Mat>& camera_T_target_list,
                                                const cv::Mat& intrinsic_matrix, const cv::Mat& distortion_coefficients,
                                                const TargetVariant& target, CameraModel model) {
    TargetConsistencyStats stats;
    const cv::Mat x = asDouble(cameraTransform);
    std::vector<cv::Mat> targetEstimates;
    for (size_t i = 0; i < camera_T_target_list.size(); ++i) {
        targetEstimates.push_back(asDouble(motions[i]) * x * asDouble(camera_T_target_list[i]));
    }
    const cv::Mat meanPose = averagePose(targetEstimates);
    const cv::Mat meanTranslation = meanPose(cv::Rect(3, 0, 1, 3));
    for (const cv::Mat& pose : targetEstimates) {
        stats.translation_deviations_m.push_back(cv::norm(pose(cv::Rect(3, 0, 1, 3)), meanTranslation, cv::NORM_L2));
        stats.rotation_deviations_deg.push_back(rotationAngleDeg(pose, meanPose));
    }
    stats.mean_translation_m = mean(stats.translation_deviations_m);
    stats.max_translation_m = maximum(stats.translation_deviations_m);
    stats.mean_rotation_deg = mean(stats.rotation_deviations_deg);
    stats.max_rotation_deg = maximum(stats.rotation_deviations_deg);
    addProjectedCentres(camera_T_target_list, intrinsic_matrix, distortion_coefficients, targetCentre(target), model,
                        stats);
    return stats;
}

TargetConsistencyStats computeTargetConsistency(const HandEyeResult& result, const TargetVariant& target) {
    return computeTargetConsistency(result.valid_robot_T_tcp_list, result.tcp_T_camera, result.camera_T_target_list,
                                    result.intrinsic_matrix, result.distortion_coefficients, target,
                                    cameraModelFromName(result.camera_model, "computeTargetConsistency"));
}

}  // namespace velk::calibration
