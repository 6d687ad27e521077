#include "calibration/detection/full_resolution_patches.hpp"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

namespace velk::calibration {
namespace {

// One thread's grey patch; pool threads live as long as the process, so it is allocated once
// per thread and only grows.
cv::Mat& threadPatchBuffer() {
    thread_local cv::Mat patch;
    return patch;
}

}  // namespace

cv::Rect refinementPatch(cv::Point2f corner, int halfWindow, cv::Size pictureSize) {
    const int reach = 3 * halfWindow + 2;
    // Clamped into the picture first, so that a corner at (or beyond) the border still gets the
    // pixels next to it: cornerSubPix repeats the border pixels of whatever it is given.
    const int x = std::clamp(static_cast<int>(std::lround(corner.x)), 0, pictureSize.width - 1);
    const int y = std::clamp(static_cast<int>(std::lround(corner.y)), 0, pictureSize.height - 1);
    return cv::Rect(x - reach, y - reach, 2 * reach + 1, 2 * reach + 1) & cv::Rect(cv::Point(0, 0), pictureSize);
}

void refineCornersOnPatches(const cv::Mat& image, std::vector<cv::Point2f>& corners, int halfWindow, int zeroZone,
                            const cv::TermCriteria& criteria) {
    const int zero = zeroZone < 0 ? -1 : std::min(zeroZone, halfWindow - 1);
    cv::Mat& grey = threadPatchBuffer();
    for (cv::Point2f& corner : corners) {
        const cv::Rect patch = refinementPatch(corner, halfWindow, image.size());
        if (patch.empty()) {
            continue;
        }
        cv::cvtColor(image(patch), grey, cv::COLOR_BGR2GRAY);
        const cv::Point2f origin(static_cast<float>(patch.x), static_cast<float>(patch.y));
        std::vector<cv::Point2f> one{corner - origin};
        cv::cornerSubPix(grey, one, cv::Size(halfWindow, halfWindow), cv::Size(zero, zero), criteria);
        corner = one.front() + origin;
    }
}

}  // namespace velk::calibration
