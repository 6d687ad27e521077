#include "calibration/refinement/relative_pose_covariance.hpp"

#include <stdexcept>

#include <Eigen/Dense>

namespace velk::calibration {
namespace {

Eigen::Matrix3d rotationOf(const cv::Mat& pose) {
    cv::Mat p;
    pose.convertTo(p, CV_64F);
    Eigen::Matrix3d rotation;
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            rotation(r, c) = p.at<double>(r, c);
        }
    }
    return rotation;
}

Eigen::Vector3d translationOf(const cv::Mat& pose) {
    cv::Mat p;
    pose.convertTo(p, CV_64F);
    return {p.at<double>(0, 3), p.at<double>(1, 3), p.at<double>(2, 3)};
}

Eigen::Matrix3d crossMatrix(const Eigen::Vector3d& v) {
    Eigen::Matrix3d m;
    m << 0.0, -v.z(), v.y(), v.z(), 0.0, -v.x(), -v.y(), v.x(), 0.0;
    return m;
}

}  // namespace

// With R = R1^T R2 and t = R1^T (t2 - t1), to first order:
//   a turn w2 of the second turns the relative pose by R1^T w2; a shift t2 shifts it by R1^T t2;
//   a turn w1 of the first turns it by -R1^T w1 and shifts it by R1^T [t2 - t1]x w1; a shift t1 by -R1^T t1.
std::vector<double> relativePoseCovariance(const cv::Mat& first, const cv::Mat& second,
                                           const std::vector<double>& joint_covariance) {
    if (joint_covariance.size() != 144) {
        throw std::invalid_argument("relativePoseCovariance: the joint covariance of two poses is 12 x 12");
    }
    const Eigen::Matrix3d back = rotationOf(first).transpose();
    const Eigen::Vector3d offset = translationOf(second) - translationOf(first);
    Eigen::Matrix<double, 6, 12> jacobian = Eigen::Matrix<double, 6, 12>::Zero();
    jacobian.block<3, 3>(0, 0) = -back;
    jacobian.block<3, 3>(3, 0) = back * crossMatrix(offset);
    jacobian.block<3, 3>(3, 3) = -back;
    jacobian.block<3, 3>(0, 6) = back;
    jacobian.block<3, 3>(3, 9) = back;
    const Eigen::Map<const Eigen::Matrix<double, 12, 12, Eigen::RowMajor>> joint(joint_covariance.data());
    const Eigen::Matrix<double, 6, 6, Eigen::RowMajor> relative = jacobian * joint * jacobian.transpose();
    return std::vector<double>(relative.data(), relative.data() + 36);
}

}  // namespace velk::calibration
