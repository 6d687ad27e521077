#include "calibration/intrinsic/fisheye_start.hpp"

#include <algorithm>

#include <opencv2/calib3d.hpp>

namespace velk::calibration {
namespace {

// The camera cv::fisheye::calibrate starts from when it is given no guess.
void defaultStart(const cv::Size& imageSize, cv::Mat& intrinsics, cv::Mat& distortion) {
    const double focal = std::max(imageSize.width, imageSize.height) / CV_PI;
    intrinsics = (cv::Mat_<double>(3, 3) << focal, 0.0, imageSize.width / 2.0 - 0.5, 0.0, focal,
                  imageSize.height / 2.0 - 0.5, 0.0, 0.0, 1.0);
    distortion = cv::Mat::zeros(1, 4, CV_64F);
}

bool startsAlone(const cv::Mat& objects, const cv::Mat& pixels, const cv::Size& imageSize, const cv::Mat& intrinsics,
                 const cv::Mat& distortion) {
    cv::Mat k = intrinsics.clone(), d = distortion.clone();
    std::vector<cv::Mat> rotations, translations;
    try {
        cv::fisheye::calibrate(std::vector<cv::Mat>{objects}, std::vector<cv::Mat>{pixels}, imageSize, k, d, rotations,
                               translations, cv::fisheye::CALIB_USE_INTRINSIC_GUESS | cv::fisheye::CALIB_FIX_INTRINSIC,
                               cv::TermCriteria(cv::TermCriteria::COUNT, 1, 0.0));
    } catch (const cv::Exception&) {
        return false;
    }
    return true;
}

}  // namespace

std::vector<int> fisheyeStartableViews(const FisheyeInput& input, const cv::Size& imageSize,
                                       const cv::Mat& intrinsicGuess, const cv::Mat& distortionGuess, int flags) {
    cv::Mat intrinsics, distortion;
    if ((flags & cv::fisheye::CALIB_USE_INTRINSIC_GUESS) && !intrinsicGuess.empty()) {
        intrinsicGuess.convertTo(intrinsics, CV_64F);
        distortion = distortionGuess.empty() ? cv::Mat::zeros(1, 4, CV_64F) : distortionGuess.reshape(1, 1).clone();
        distortion.convertTo(distortion, CV_64F);
    } else {
        defaultStart(imageSize, intrinsics, distortion);
    }
    std::vector<int> startable;
    for (size_t v = 0; v < input.object_points.size(); ++v) {
        if (startsAlone(input.object_points[v], input.image_points[v], imageSize, intrinsics, distortion)) {
            startable.push_back(static_cast<int>(v));
        }
    }
    return startable;
}

}  // namespace velk::calibration
