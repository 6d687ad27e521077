#include "calibration/detection/chessboard_later_searches.hpp"

#include <algorithm>
#include <cmath>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "calibration/detection/reduced_scale.hpp"

namespace velk::calibration {
namespace {

// The region searched again at the search scale reaches this many corner spacings beyond the
// corners found on the coarse copy: the board's outer squares and the margin around them.
constexpr double kRegionMarginSpacings = 2.0;
// Corners found twice belong to the same board when they lie, at the median, within this share
// of a corner spacing of each other; a board found one row of squares over lies a whole spacing off.
constexpr double kSameBoardSpacingFraction = 0.25;

bool mayShowBoard(const cv::Mat& grey, cv::Size size) {
    cv::Mat equalised;
    cv::equalizeHist(grey, equalised);
    return cv::checkChessboard(equalised, size);
}

double median(std::vector<double> values) {
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// The part of the picture around corners, out to kRegionMarginSpacings of their largest spacing.
cv::Rect boardRegion(const std::vector<cv::Point2f>& corners, cv::Size pictureSize) {
    const std::vector<double> spacing = nearestDistances(corners);
    const double margin = kRegionMarginSpacings * *std::max_element(spacing.begin(), spacing.end());
    float left = corners[0].x, top = corners[0].y, right = left, bottom = top;
    for (const cv::Point2f& corner : corners) {
        left = std::min(left, corner.x);
        top = std::min(top, corner.y);
        right = std::max(right, corner.x);
        bottom = std::max(bottom, corner.y);
    }
    const cv::Point from(static_cast<int>(std::floor(left - margin)), static_cast<int>(std::floor(top - margin)));
    const cv::Point to(static_cast<int>(std::ceil(right + margin)) + 1,
                       static_cast<int>(std::ceil(bottom + margin)) + 1);
    return cv::Rect(from, to) & cv::Rect(cv::Point(0, 0), pictureSize);
}

double medianDistance(const std::vector<cv::Point2f>& a, const std::vector<cv::Point2f>& b) {
    std::vector<double> distances(a.size());
    for (size_t k = 0; k < a.size(); ++k) {
        distances[k] = std::hypot(a[k].x - b[k].x, a[k].y - b[k].y);
    }
    return median(distances);
}

// Whether found lies on the corners of the board expected, in their order or turned half round
// (a board whose sides both have an odd, or both an even, number of corners reads the same from
// two opposite corners); found is turned into the expected order.
bool sameBoard(std::vector<cv::Point2f>& found, const std::vector<cv::Point2f>& expected) {
    const double tolerance = kSameBoardSpacingFraction * median(nearestDistances(expected));
    if (medianDistance(found, expected) < tolerance) {
        return true;
    }
    std::vector<cv::Point2f> turned(found.rbegin(), found.rend());
    if (medianDistance(turned, expected) < tolerance) {
        found = std::move(turned);
        return true;
    }
    return false;
}

// The search looks again at the search scale, around the board it found on the coarse copy
// (mapped up: expected).
bool foundAgain(const cv::Mat& grey, cv::Size size, int flags, ChessboardSearchKind kind,
                const std::vector<cv::Point2f>& expected, std::vector<cv::Point2f>& corners) {
    const cv::Rect region = boardRegion(expected, grey.size());
    if (region.empty() || !runChessboardSearch(grey(region).clone(), size, flags, kind, corners)) {
        return false;
    }
    const cv::Point2f offset(static_cast<float>(region.x), static_cast<float>(region.y));
    for (cv::Point2f& corner : corners) {
        corner += offset;
    }
    return sameBoard(corners, expected);
}

// The searches on the coarse copy, each board found there looked for again at the search scale;
// the first search that finds it twice.
std::optional<ChessboardSearchKind> searchCoarseCopy(const cv::Mat& grey, const ReducedPicture& coarse, cv::Size size,
                                                     int flags, const std::vector<ChessboardSearchKind>& kinds,
                                                     std::vector<cv::Point2f>& corners) {
    for (const ChessboardSearchKind kind : kinds) {
        if (!runChessboardSearch(coarse.grey, size, flags, kind, corners)) {
            continue;
        }
        if (coarse.factor == 1) {
            return kind;
        }
        const std::vector<cv::Point2f> expected = mapToFullResolution(corners, coarse.factor);
        if (foundAgain(grey, size, flags, kind, expected, corners)) {
            return kind;
        }
    }
    return std::nullopt;
}

std::optional<ChessboardSearchKind> search(const cv::Mat& grey, cv::Size size, int flags,
                                           const std::vector<ChessboardSearchKind>& kinds,
                                           std::vector<cv::Point2f>& corners) {
    const ReducedPicture coarse = reducePicture(grey, kCoarseSearchMaxSide);
    if (!mayShowBoard(coarse.grey, size) || (coarse.factor > 1 && !mayShowBoard(grey, size))) {
        return std::nullopt;
    }
    if (const std::optional<ChessboardSearchKind> kind = searchCoarseCopy(grey, coarse, size, flags, kinds, corners)) {
        return kind;
    }
    const bool sector = std::find(kinds.begin(), kinds.end(), ChessboardSearchKind::Sector) != kinds.end();
    if (coarse.factor > 1 && sector && runChessboardSearch(grey, size, flags, ChessboardSearchKind::Sector, corners)) {
        return ChessboardSearchKind::Sector;
    }
    return std::nullopt;
}

}  // namespace

// A picture too small for the structural check or the searches is a picture without the board.
std::optional<ChessboardSearchKind> findByLaterSearches(const cv::Mat& grey, cv::Size size, int flags,
                                                        const std::vector<ChessboardSearchKind>& kinds,
                                                        std::vector<cv::Point2f>& corners) {
    std::optional<ChessboardSearchKind> kind;
    try {
        kind = search(grey, size, flags, kinds, corners);
    } catch (const cv::Exception&) {
        kind.reset();
    }
    if (!kind) {
        corners.clear();
    }
    return kind;
}

}  // namespace velk::calibration
