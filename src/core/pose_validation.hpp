#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace velk {

// Largest tolerated deviation of a rotation block from a proper rotation: |det - 1| and
// every entry of R^T R - I. The bottom row must be [0 0 0 1] to the same tolerance.
constexpr double kRigidTransformTolerance = 1e-6;

// Throws std::invalid_argument "<operation>: <name> <problem>" unless pose is a one-channel
// 4 x 4 matrix of finite numbers whose rotation block is a rotation and whose bottom row is
// [0 0 0 1].
void validateRigidTransform(const cv::Mat& pose, const std::string& operation, const std::string& name);

// The same check for every entry; the message names the list and the index ("robot_T_tcp_list[3]").
void validateRigidTransforms(const std::vector<cv::Mat>& poses, const std::string& operation,
                             const std::string& listName);

}  // namespace velk
