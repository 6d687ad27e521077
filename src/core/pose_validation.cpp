#include "core/pose_validation.hpp"

#include <cmath>
#include <sstream>
#include <stdexcept>

namespace velk {
namespace {

std::string shapeOf(const cv::Mat& matrix) {
    std::ostringstream text;
    text << matrix.rows << "x" << matrix.cols;
    if (matrix.channels() != 1) {
        text << " with " << matrix.channels() << " channels";
    }
    return text.str();
}

// What is wrong with the pose, or an empty text when it is a rigid transform.
std::string problemOf(const cv::Mat& pose) {
    if (pose.dims != 2 || pose.rows != 4 || pose.cols != 4 || pose.channels() != 1) {
        return "is not a 4x4 pose (got " + shapeOf(pose) + ")";
    }
    cv::Mat p;
    pose.convertTo(p, CV_64F);
    if (!cv::checkRange(p)) {
        return "holds NaN or infinity";
    }
    const cv::Mat rotation = p(cv::Rect(0, 0, 3, 3));
    const double det = cv::determinant(rotation);
    const double orthonormality = cv::norm(rotation.t() * rotation, cv::Mat::eye(3, 3, CV_64F), cv::NORM_INF);
    if (std::abs(det - 1.0) > kRigidTransformTolerance || orthonormality > kRigidTransformTolerance) {
        std::ostringstream text;
        text << "has a rotation block that is not a rotation (det " << det << ", max |R^T R - I| " << orthonormality
             << ")";
        return text.str();
    }
    const cv::Mat bottom = p.row(3);
    const cv::Mat expected = (cv::Mat_<double>(1, 4) << 0.0, 0.0, 0.0, 1.0);
    if (cv::norm(bottom, expected, cv::NORM_INF) > kRigidTransformTolerance) {
        return "has a bottom row that is not [0 0 0 1]";
    }
    return {};
}

}  // namespace

void validateRigidTransform(const cv::Mat& pose, const std::string& operation, const std::string& name) {
    const std::string problem = problemOf(pose);
    if (!problem.empty()) {
        throw std::invalid_argument(operation + ": " + name + " " + problem);
    }
}

void validateRigidTransforms(const std::vector<cv::Mat>& poses, const std::string& operation,
                             const std::string& listName) {
    for (size_t i = 0; i < poses.size(); ++i) {
        validateRigidTransform(poses[i], operation, listName + "[" + std::to_string(i) + "]");
    }
}

}  // namespace velk
