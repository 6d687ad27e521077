#include "calibration/refinement/camera_block.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>

#include <opencv2/calib3d.hpp>

namespace velk::calibration {
namespace {

// Parameters that stay at their starting values for a free camera.
void collectFixedParameters(CameraBlock& camera, int flags) {
    if (flags & (cv::CALIB_FIX_FOCAL_LENGTH | cv::CALIB_FIX_ASPECT_RATIO)) {
        camera.fixed_intrinsics.insert(camera.fixed_intrinsics.end(), {0, 1});
    }
    if (flags & cv::CALIB_FIX_PRINCIPAL_POINT) {
        camera.fixed_intrinsics.insert(camera.fixed_intrinsics.end(), {2, 3});
    }
    const std::pair<int, std::vector<int>> distortionFlags[] = {{cv::CALIB_FIX_K1, {0}},
                                                                {cv::CALIB_FIX_K2, {1}},
                                                                {cv::CALIB_ZERO_TANGENT_DIST, {2, 3}},
                                                                {cv::CALIB_FIX_K3, {4}},
                                                                {cv::CALIB_FIX_K4, {5}},
                                                                {cv::CALIB_FIX_K5, {6}},
                                                                {cv::CALIB_FIX_K6, {7}},
                                                                {cv::CALIB_FIX_S1_S2_S3_S4, {8, 9, 10, 11}}};
    for (int k = 0; k < kModelledDistortion; ++k) {
        bool fixed = k >= camera.distortion_count;
        for (const auto& [flag, indices] : distortionFlags) {
            fixed = fixed || ((flags & flag) && std::find(indices.begin(), indices.end(), k) != indices.end());
        }
        if (fixed) {
            camera.fixed_distortion.push_back(k);
        }
    }
}

// The fisheye camera's fixed parameters: the coefficients past k4 always, and those its flags fix.
void collectFixedFisheyeParameters(CameraBlock& camera, int flags) {
    if (flags & (cv::fisheye::CALIB_FIX_FOCAL_LENGTH | cv::fisheye::CALIB_FIX_INTRINSIC)) {
        camera.fixed_intrinsics.insert(camera.fixed_intrinsics.end(), {0, 1});
    }
    if (flags & (cv::fisheye::CALIB_FIX_PRINCIPAL_POINT | cv::fisheye::CALIB_FIX_INTRINSIC)) {
        camera.fixed_intrinsics.insert(camera.fixed_intrinsics.end(), {2, 3});
    }
    const int radial[kFisheyeCoefficientCount] = {cv::fisheye::CALIB_FIX_K1, cv::fisheye::CALIB_FIX_K2,
                                                  cv::fisheye::CALIB_FIX_K3, cv::fisheye::CALIB_FIX_K4};
    for (int k = 0; k < kModelledDistortion; ++k) {
        if (k >= kFisheyeCoefficientCount || (flags & cv::fisheye::CALIB_FIX_INTRINSIC) || (flags & radial[k])) {
            camera.fixed_distortion.push_back(k);
        }
    }
}

}  // namespace

CameraBlock CameraBlock::fromMatrices(const cv::Mat& intrinsic_matrix, const cv::Mat& distortion, bool free,
                                      int calibration_flags, const char* owner, CameraModel model) {
    if (intrinsic_matrix.rows != 3 || intrinsic_matrix.cols != 3) {
        throw std::invalid_argument(std::string(owner) + ": the intrinsic matrix must be 3 x 3");
    }
    cv::Mat k, d;
    intrinsic_matrix.convertTo(k, CV_64F);
    if (!distortion.empty()) {
        distortion.convertTo(d, CV_64F);
        d = d.reshape(1, 1);
    }
    if (d.total() > static_cast<size_t>(kModelledDistortion)) {
        throw std::invalid_argument(std::string(owner) +
                                    ": distortion models with more than 12 coefficients "
                                    "(tilted sensors) cannot be refined");
    }
    if (model == CameraModel::Fisheye) {
        checkDistortionForModel(model, d, owner);
    }
    CameraBlock camera;
    camera.model = model;
    camera.intrinsics[0] = k.at<double>(0, 0);
    camera.intrinsics[1] = k.at<double>(1, 1);
    camera.intrinsics[2] = k.at<double>(0, 2);
    camera.intrinsics[3] = k.at<double>(1, 2);
    camera.skew = k.at<double>(0, 1);
    camera.distortion_count = static_cast<int>(d.total());
    for (int c = 0; c < camera.distortion_count; ++c) {
        camera.distortion[c] = d.at<double>(c);
    }
    camera.free = free;
    if (model == CameraModel::Fisheye) {
        collectFixedFisheyeParameters(camera, calibration_flags);
    } else {
        collectFixedParameters(camera, calibration_flags);
    }
    return camera;
}

cv::Mat CameraBlock::intrinsicMatrix() const {
    return cv::Mat(cv::Matx33d(intrinsics[0], skew, intrinsics[2], 0.0, intrinsics[1], intrinsics[3], 0.0, 0.0, 1.0));
}

cv::Mat CameraBlock::distortionCoefficients() const {
    cv::Mat coefficients(1, distortion_count, CV_64F);
    for (int k = 0; k < distortion_count; ++k) {
        coefficients.at<double>(k) = distortion[k];
    }
    return coefficients;
}

bool CameraBlock::isFinite() const {
    double sum = 0.0;
    for (double v : intrinsics) {
        sum += v * v;
    }
    for (double v : distortion) {
        sum += v * v;
    }
    return std::isfinite(sum);
}

int CameraBlock::freeParameterCount() const {
    return kIntrinsicCount - static_cast<int>(fixed_intrinsics.size()) + kModelledDistortion -
           static_cast<int>(fixed_distortion.size());
}

}  // namespace velk::calibration
