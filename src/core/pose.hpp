#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace velk {

// [x, y, z, rx, ry, rz] (extrinsic x-y-z Euler angles in degrees) to a 4x4 CV_64F matrix.
cv::Mat poseToTransformationMatrix(const std::vector<double>& pose);

// A 4x4 matrix of any depth to [x, y, z, rx, ry, rz] in degrees.
std::vector<double> transformationMatrixToPose(const cv::Mat& transformation);

// Mean of rigid transforms: translations averaged, the summed rotation projected onto SO(3).
cv::Mat averagePose(const std::vector<cv::Mat>& poses);

}  // namespace velk
