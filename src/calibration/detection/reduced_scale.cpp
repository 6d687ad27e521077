#include "calibration/detection/reduced_scale.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include <opencv2/imgproc.hpp>

namespace velk::calibration {
namespace {

// The full-resolution window grows with the reduction up to this factor: beyond it a larger
// window costs time (its area times the corners times the iterations) and gains no accuracy.
constexpr int kMaxWindowGrowth = 2;

}  // namespace

bool searchesReduced(cv::Size size, int maxSide) {
    return maxSide > 0 && std::max(size.width, size.height) > maxSide;
}

ReducedPicture reducePicture(const cv::Mat& grey, int maxSide) {
    ReducedPicture reduced{grey, 1};
    while (searchesReduced(reduced.grey.size(), maxSide)) {
        cv::Mat half;
        // Halving by area averaging takes OpenCV's fast two-by-two path; an odd last row or
        // column is dropped so that every reduced pixel covers exactly 2 x 2 pixels.
        const cv::Size even(reduced.grey.cols & ~1, reduced.grey.rows & ~1);
        cv::resize(reduced.grey(cv::Rect(cv::Point(0, 0), even)), half, cv::Size(even.width / 2, even.height / 2), 0,
                   0, cv::INTER_AREA);
        reduced.grey = half;
        reduced.factor *= 2;
    }
    return reduced;
}

std::vector<cv::Point2f> mapToFullResolution(const std::vector<cv::Point2f>& points, int factor) {
    const float f = static_cast<float>(factor);
    const float shift = 0.5f * (f - 1.0f);  // reduced pixel k covers full pixels f*k .. f*k + f - 1
    std::vector<cv::Point2f> mapped;
    mapped.reserve(points.size());
    for (const cv::Point2f& p : points) {
        mapped.emplace_back(p.x * f + shift, p.y * f + shift);
    }
    return mapped;
}

std::vector<double> nearestDistances(const std::vector<cv::Point2f>& points, const std::vector<cv::Point2f>& others) {
    std::vector<double> nearest(points.size(), std::numeric_limits<double>::infinity());
    for (size_t i = 0; i < points.size(); ++i) {
        for (const cv::Point2f& q : others) {
            const double d = std::hypot(points[i].x - q.x, points[i].y - q.y);
            if (d > 0.0) {
                nearest[i] = std::min(nearest[i], d);
            }
        }
    }
    return nearest;
}

std::vector<double> nearestDistances(const std::vector<cv::Point2f>& points) {
    return nearestDistances(points, points);
}

int fullResolutionHalfWindow(int reducedHalfWindow, int factor, const std::vector<double>& room, double fraction) {
    double limit = static_cast<double>(reducedHalfWindow) * std::min(factor, kMaxWindowGrowth);
    for (double d : room) {
        limit = std::min(limit, fraction * d);
    }
    return std::max(2, static_cast<int>(std::floor(limit)));
}

void refineCorners(const cv::Mat& grey, std::vector<cv::Point2f>& corners, int halfWindow, int zeroZone,
                   const cv::TermCriteria& criteria) {
    if (corners.empty()) {
        return;
    }
    const int zero = zeroZone < 0 ? -1 : std::min(zeroZone, halfWindow - 1);
    cv::cornerSubPix(grey, corners, cv::Size(halfWindow, halfWindow), cv::Size(zero, zero), criteria);
}

}  // namespace velk::calibration
