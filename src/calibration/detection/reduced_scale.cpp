#include "calibration/detection/reduced_scale.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

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

int reductionFactor(cv::Size size, int maxSide) {
    int factor = 1;
    while (searchesReduced(size, maxSide)) {
        size = cv::Size(size.width / 2, size.height / 2);
        factor *= 2;
    }
    return factor;
}

namespace {

// The picture halved `times` times into out. Halving by area averaging takes OpenCV's fast
// two-by-two path; an odd last row or column is dropped so that every reduced pixel covers
// exactly 2 x 2 pixels. levels holds the intermediate halvings.
void halve(const cv::Mat& picture, int times, std::vector<cv::Mat>& levels, cv::Mat& out) {
    cv::Mat current = picture;
    for (int k = 0; k < times; ++k) {
        const cv::Size even(current.cols & ~1, current.rows & ~1);
        cv::Mat& next = k + 1 == times ? out : levels[static_cast<size_t>(k)];
        cv::resize(current(cv::Rect(cv::Point(0, 0), even)), next, cv::Size(even.width / 2, even.height / 2), 0, 0,
                   cv::INTER_AREA);
        current = next;
    }
}

int halvings(int factor) {
    int times = 0;
    for (int f = factor; f > 1; f /= 2) {
        ++times;
    }
    return times;
}

// Reduced rows made from one band of the picture: the band is factor times as many rows of the
// caller's picture, read once, its halved copy a few hundred kilobytes that stay in the cache.
constexpr int kReducedRowsPerBand = 16;

// Buffers of one thread's reduction: a band halved in colour, or a picture sampled in colour,
// and the intermediate halvings of a sampled picture. Pool threads live as long as the process,
// so the buffers are allocated once per thread.
struct BandBuffers {
    cv::Mat colour;
    std::vector<cv::Mat> levels;
};

BandBuffers& threadBandBuffers() {
    thread_local BandBuffers buffers;
    return buffers;
}

// The picture halved once, band by band: each band is halved in colour (averaging 2 x 2 pixels
// of three channels costs little more than reading them) and then converted to grey, so that
// the conversion has a quarter of the pixels.
void halveToGrey(const cv::Mat& image, cv::Mat& out) {
    BandBuffers& buffers = threadBandBuffers();
    for (int row = 0; row < out.rows; row += kReducedRowsPerBand) {
        const int rows = std::min(kReducedRowsPerBand, out.rows - row);
        const cv::Rect band(0, row * 2, out.cols * 2, rows * 2);
        cv::resize(image(band), buffers.colour, cv::Size(out.cols, rows), 0, 0, cv::INTER_AREA);
        cv::cvtColor(buffers.colour, out.rowRange(row, row + rows), cv::COLOR_BGR2GRAY);
    }
}

}  // namespace

ReducedPicture glanceAtGrey(const cv::Mat& image, int factor) {
    ReducedPicture glance{cv::Mat(), factor};
    const cv::Size size(image.cols / factor, image.rows / factor);
    if (size.empty()) {
        glance.grey.create(size, CV_8UC1);
        return glance;
    }
    BandBuffers& buffers = threadBandBuffers();
    cv::resize(image(cv::Rect(0, 0, size.width * factor, size.height * factor)), buffers.colour, size, 0, 0,
               factor == 2 ? cv::INTER_AREA : cv::INTER_LINEAR);
    cv::cvtColor(buffers.colour, glance.grey, cv::COLOR_BGR2GRAY);
    return glance;
}

ReducedPicture reducePicture(const cv::Mat& grey, int maxSide) {
    const int factor = reductionFactor(grey.size(), maxSide);
    if (factor == 1) {
        return {grey, 1};
    }
    std::vector<cv::Mat> levels(static_cast<size_t>(halvings(factor)));
    ReducedPicture reduced{cv::Mat(), factor};
    halve(grey, halvings(factor), levels, reduced.grey);
    return reduced;
}

ReducedPicture reduceToGrey(const cv::Mat& image, int maxSide) {
    const int factor = reductionFactor(image.size(), maxSide);
    ReducedPicture reduced{cv::Mat(), factor};
    if (factor == 1) {
        cv::cvtColor(image, reduced.grey, cv::COLOR_BGR2GRAY);
        return reduced;
    }
    if (factor == 2) {
        reduced.grey.create(cv::Size(image.cols / 2, image.rows / 2), CV_8UC1);
        halveToGrey(image, reduced.grey);
        return reduced;
    }
    // Averaging every pixel costs four times as long as the search on the result, so the quarter
    // picture is sampled at its block centres instead (which halves the noise and keeps the
    // centres), then halved by area averaging down to the factor; each halving drops an odd last
    // row or column, so the blocks are those of reducePicture.
    const ReducedPicture quarter = glanceAtGrey(image, 4);
    if (factor == 4) {
        return quarter;
    }
    BandBuffers& buffers = threadBandBuffers();
    const int times = halvings(factor / 4);
    buffers.levels.resize(static_cast<size_t>(times));
    halve(quarter.grey, times, buffers.levels, reduced.grey);
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
