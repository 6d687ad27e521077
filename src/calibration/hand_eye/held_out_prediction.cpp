#include "calibration/hand_eye/held_out_prediction.hpp"

#include <cmath>

#include <opencv2/calib3d.hpp>

namespace velk::calibration {
namespace {

constexpr int kParameters = 22;  // X [w, t], Y [w, t], fx fy cx cy, E [w, t]

cv::Mat rotationOf(const double* angleAxis) {
    cv::Mat rotation;
    cv::Rodrigues(cv::Mat(cv::Vec3d(angleAxis[0], angleAxis[1], angleAxis[2])), rotation);
    return rotation;
}

// [exp(w) * R | t + dt], the update of a pose block.
cv::Mat updatedPose(const cv::Mat& pose, const double* update) {
    cv::Mat moved = pose.clone();
    moved(cv::Rect(0, 0, 3, 3)) = rotationOf(update) * pose(cv::Rect(0, 0, 3, 3));
    for (int k = 0; k < 3; ++k) {
        moved.at<double>(k, 3) += update[3 + k];
    }
    return moved;
}

// [R(w) | t], a small correction.
cv::Mat correctionOf(const double* values) {
    cv::Mat correction = cv::Mat::eye(4, 4, CV_64F);
    rotationOf(values).copyTo(correction(cv::Rect(0, 0, 3, 3)));
    for (int k = 0; k < 3; ++k) {
        correction.at<double>(k, 3) = values[3 + k];
    }
    return correction;
}

// The projected corners (N x 2, CV_64F) with every parameter moved by delta.
cv::Mat projectedCorners(const HeldOutPrediction& p, const double* delta) {
    const cv::Mat x = updatedPose(p.camera_mount_T_camera, delta);
    const cv::Mat y = updatedPose(p.target_mount_T_target, delta + 6);
    const cv::Mat e = correctionOf(delta + 16);
    const cv::Mat camera_T_target = x.inv(cv::DECOMP_SVD) * (p.correction_on_left ? e * p.mount : p.mount * e) * y;
    cv::Mat k = p.intrinsic_matrix.clone();
    k.at<double>(0, 0) += delta[12];
    k.at<double>(1, 1) += delta[13];
    k.at<double>(0, 2) += delta[14];
    k.at<double>(1, 2) += delta[15];
    cv::Mat rotationVector, pixels;
    cv::Rodrigues(camera_T_target(cv::Rect(0, 0, 3, 3)).clone(), rotationVector);
    if (p.camera_model == CameraModel::Fisheye) {
        pixels = projectObjectPoints(p.camera_model, p.object_points, rotationVector,
                                     camera_T_target(cv::Rect(3, 0, 1, 3)).clone(), k, p.distortion_coefficients);
    } else {
        cv::projectPoints(p.object_points, rotationVector, camera_T_target(cv::Rect(3, 0, 1, 3)).clone(), k,
                          p.distortion_coefficients, pixels);
    }
    pixels.convertTo(pixels, CV_64F);
    return pixels.reshape(1, static_cast<int>(pixels.total()));
}

double stepOf(int parameter) {
    return parameter >= 12 && parameter < 16 ? 1e-3 : 1e-7;  // pixels for the intrinsics, rad or m otherwise
}

// Covariance of all 22 parameters: the solution's, then the robot's noise for E.
cv::Mat parameterCovariance(const HeldOutPrediction& p) {
    cv::Mat covariance = cv::Mat::zeros(kParameters, kParameters, CV_64F);
    for (int r = 0; r < 16; ++r) {
        for (int c = 0; c < 16; ++c) {
            covariance.at<double>(r, c) = p.joint_covariance[16 * r + c];
        }
    }
    for (int k = 0; k < 3; ++k) {
        covariance.at<double>(16 + k, 16 + k) = p.robot_rotation_rad * p.robot_rotation_rad;
        covariance.at<double>(19 + k, 19 + k) = p.robot_translation_m * p.robot_translation_m;
    }
    return covariance;
}

}  // namespace

double predictedHeldOutRms(const HeldOutPrediction& p) {
    if (p.joint_covariance.size() != 16 * 16) {
        return std::nan("");
    }
    cv::Mat objects;
    p.object_points.convertTo(objects, CV_64F);
    HeldOutPrediction converted = p;
    converted.object_points = objects.reshape(3, static_cast<int>(objects.total() * objects.channels() / 3));
    p.intrinsic_matrix.convertTo(converted.intrinsic_matrix, CV_64F);
    // Jacobian of every corner coordinate by central differences.
    const int rows = 2 * converted.object_points.rows;
    cv::Mat jacobian(rows, kParameters, CV_64F);
    double delta[kParameters] = {};
    for (int k = 0; k < kParameters; ++k) {
        delta[k] = stepOf(k);
        const cv::Mat ahead = projectedCorners(converted, delta);
        delta[k] = -stepOf(k);
        const cv::Mat behind = projectedCorners(converted, delta);
        delta[k] = 0.0;
        const cv::Mat column = cv::Mat((ahead - behind) / (2.0 * stepOf(k))).reshape(1, rows);
        column.copyTo(jacobian.col(k));
    }
    const cv::Mat propagated = jacobian * parameterCovariance(p) * jacobian.t();
    const double meanPredictionVariance = cv::trace(propagated)[0] / converted.object_points.rows;
    return std::sqrt(2.0 * p.pixel_px * p.pixel_px + meanPredictionVariance);
}

}  // namespace velk::calibration
