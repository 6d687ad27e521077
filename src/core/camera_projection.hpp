#pragma once

#include <string>

#include <opencv2/core.hpp>

namespace velk {

// The lens models a camera may be calibrated with: OpenCV's pinhole model with
// radial-tangential distortion, or the equidistant fisheye model (r = f * theta_d with
// theta_d = theta * (1 + k1 theta^2 + k2 theta^4 + k3 theta^6 + k4 theta^8)).
enum class CameraModel { Pinhole, Fisheye };

// Distortion coefficients of the fisheye model: k1, k2, k3, k4.
constexpr int kFisheyeCoefficientCount = 4;

// "pinhole" or "fisheye"; anything else throws std::invalid_argument naming `owner`.
CameraModel cameraModelFromName(const std::string& name, const std::string& owner);
const char* cameraModelName(CameraModel model);

// Throws std::invalid_argument naming `owner` when a fisheye camera's distortion is not its
// four coefficients. Pinhole distortion is left to OpenCV's own checks.
void checkDistortionForModel(CameraModel model, const cv::Mat& distortion, const std::string& owner);

// Pixels of object points (N x 3, or N 3-channel points, any float depth) seen under the
// rotation vector and translation: N x 1 CV_64FC2.
cv::Mat projectObjectPoints(CameraModel model, const cv::Mat& objectPoints, const cv::Mat& rotationVector,
                            const cv::Mat& translation, const cv::Mat& intrinsicMatrix, const cv::Mat& distortion);

// Ideal normalised image coordinates (x / z, y / z) of pixels (N 2-channel points or N x 2):
// N x 1 CV_64FC2.
cv::Mat normalisedCoordinates(CameraModel model, const cv::Mat& pixels, const cv::Mat& intrinsicMatrix,
                              const cv::Mat& distortion);

// camera_T_target's rotation vector and translation from matching points by iterative
// solvePnP (the fisheye model poses the undistorted points); false when the solver fails.
bool solvePoseWithModel(CameraModel model, const cv::Mat& objectPoints, const cv::Mat& imagePoints,
                        const cv::Mat& intrinsicMatrix, const cv::Mat& distortion, cv::Mat& rotationVector,
                        cv::Mat& translation);

}  // namespace velk
