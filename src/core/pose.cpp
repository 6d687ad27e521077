#include "core/pose.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace velk {
namespace {

constexpr double kPi = 3.141592653589793;

double degreesToRadians(double degrees) {
    return degrees * kPi / 180.0;
}
double radiansToDegrees(double radians) {
    return radians * 180.0 / kPi;
}

cv::Mat asDouble(const cv::Mat& matrix) {
    cv::Mat converted;
    matrix.convertTo(converted, CV_64F);
    return converted;
}

}  // namespace

cv::Mat poseToTransformationMatrix(const std::vector<double>& pose) {
    if (pose.size() != 6) {
        throw std::invalid_argument("poseToTransformationMatrix: expected 6 elements [x,y,z,rx,ry,rz]");
    }
    const double rx = degreesToRadians(pose[3]);
    const double ry = degreesToRadians(pose[4]);
    const double rz = degreesToRadians(pose[5]);
    const double cx = std::cos(rx), sx = std::sin(rx);
    const double cy = std::cos(ry), sy = std::sin(ry);
    const double cz = std::cos(rz), sz = std::sin(rz);

    cv::Mat transformation = cv::Mat::eye(4, 4, CV_64F);
    auto* t = transformation.ptr<double>();
    t[0] = cz * cy;
    t[1] = cz * sy * sx - sz * cx;
    t[2] = cz * sy * cx + sz * sx;
    t[3] = pose[0];
    t[4] = sz * cy;
    t[5] = sz * sy * sx + cz * cx;
    t[6] = sz * sy * cx - cz * sx;
    t[7] = pose[1];
    t[8] = -sy;
    t[9] = cy * sx;
    t[10] = cy * cx;
    t[11] = pose[2];
    return transformation;
}

std::vector<double> transformationMatrixToPose(const cv::Mat& transformation) {
    if (transformation.rows != 4 || transformation.cols != 4 || transformation.channels() != 1) {
        throw std::invalid_argument("transformationMatrixToPose: expected a 4x4 matrix");
    }
    const cv::Mat t = asDouble(transformation);
    auto r = [&t](int row, int col) { return t.at<double>(row, col); };

    const double ry = std::asin(std::clamp(-r(2, 0), -1.0, 1.0));
    double rx = 0.0;
    double rz = 0.0;
    if (std::abs(std::cos(ry)) > 1e-9) {
        rx = std::atan2(r(2, 1), r(2, 2));
        rz = std::atan2(r(1, 0), r(0, 0));
    } else {
        // Gimbal lock: rotations about x and z are indistinguishable; report them all in rz.
        rz = std::atan2(-r(0, 1), r(1, 1));
    }
    return {r(0, 3), r(1, 3), r(2, 3), radiansToDegrees(rx), radiansToDegrees(ry), radiansToDegrees(rz)};
}

cv::Mat averagePose(const std::vector<cv::Mat>& poses) {
    if (poses.empty()) {
        throw std::invalid_argument("averagePose: poses must be non-empty");
    }
    cv::Mat rotationSum = cv::Mat::zeros(3, 3, CV_64F);
    cv::Mat translationSum = cv::Mat::zeros(3, 1, CV_64F);
    for (const cv::Mat& pose : poses) {
        if (pose.rows < 4 || pose.cols < 4) {
            throw std::invalid_argument("averagePose: every pose must be a 4x4 matrix");
        }
        const cv::Mat p = asDouble(pose);
        rotationSum += p(cv::Rect(0, 0, 3, 3));
        translationSum += p(cv::Rect(3, 0, 1, 3));
    }
    translationSum /= static_cast<double>(poses.size());

    cv::Mat w, u, vt;
    cv::SVD::compute(rotationSum, w, u, vt);
    cv::Mat rotation = u * vt;
    if (cv::determinant(rotation) < 0) {
        vt.row(2) *= -1.0;
        rotation = u * vt;
    }

    cv::Mat mean = cv::Mat::eye(4, 4, CV_64F);
    rotation.copyTo(mean(cv::Rect(0, 0, 3, 3)));
    translationSum.copyTo(mean(cv::Rect(3, 0, 1, 3)));
    return mean;
}

}  // namespace velk
