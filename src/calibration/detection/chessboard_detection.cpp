#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "calibration/detection/chessboard_later_searches.hpp"
#include "calibration/detection/chessboard_searches.hpp"
#include "calibration/detection/full_resolution_patches.hpp"
#include "calibration/detection/image_detection.hpp"
#include "calibration/detection/later_searches.hpp"
#include "calibration/detection/reduced_scale.hpp"
#include "calibration/detection/target_detection.hpp"
#include "targets/annotation.hpp"

namespace velk::calibration {
namespace {

// A refinement window reaches at most this share of the way to the closest neighbouring corner.
constexpr double kCornerSpacingFraction = 0.4;
// The glance is searched only when its shorter side has at least this many pixels.
constexpr int kMinimumGlanceSide = 64;
// Half side of the window that refines corners on the reduced picture they were found on.
constexpr int kFoundScaleHalfWindow = 5;

enum class CornerFinder { Default, SectorBased };

CornerFinder cornerFinderFromName(const std::string& name) {
    if (name == "Default") {
        return CornerFinder::Default;
    }
    if (name == "Sector Based") {
        return CornerFinder::SectorBased;
    }
    throw std::invalid_argument(
        "IntrinsicCalibrator: chessboard_corner_detector must be 'Default' or 'Sector Based', got '" + name + "'");
}

struct ChessboardSearch {
    const ChessboardTarget& target;
    const IntrinsicOptions& options;
    CornerFinder finder;
    cv::Mat objectPoints;
    Annotation annotation;
};

// The searches the Default finder tries after the plain one, in turn; none for the Sector Based
// finder, which searches once, with the caller's flags.
std::vector<ChessboardSearchKind> laterSearchesOf(const ChessboardSearch& search) {
    const bool fallback = search.finder == CornerFinder::Default && search.options.fallback_searches;
    std::vector<ChessboardSearchKind> searches = chessboardSearches(search.options.chessboard_flags, fallback);
    searches.erase(searches.begin());
    return searches;
}

// The first search: the plain one of the Default finder, or the Sector Based finder's.
bool findCorners(const cv::Mat& grey, const ChessboardSearch& search, std::vector<cv::Point2f>& corners) {
    const int flags = search.options.chessboard_flags;
    return search.finder == CornerFinder::Default
               ? runChessboardSearch(grey, search.target.size, flags, ChessboardSearchKind::Plain, corners)
               : cv::findChessboardCornersSB(grey, search.target.size, corners, flags);
}

// cornerSubPix on the full-resolution grey picture with the caller's window.
void refineOnGrey(const cv::Mat& grey, const ChessboardSearch& search, std::vector<cv::Point2f>& corners) {
    const int window = search.options.sub_pixel_detection_window_size;
    const int zeroZone = search.options.sub_pixel_detection_zero_zone_size;
    cv::cornerSubPix(grey, corners, cv::Size(window, window), cv::Size(zeroZone, zeroZone), search.options.criteria);
}

// Corners of the full-resolution picture by the first search, refined when the Default finder's
// plain search found them.
bool findAtFullResolution(const cv::Mat& grey, const ChessboardSearch& search, std::vector<cv::Point2f>& corners) {
    if (!findCorners(grey, search, corners)) {
        return false;
    }
    if (search.finder == CornerFinder::Default) {
        refineOnGrey(grey, search, corners);
    }
    return true;
}

// The board on a grey picture by the first search, after the quick structural check, so that a
// picture without the board is rejected without the costly search.
bool checkAndFind(const cv::Mat& grey, const ChessboardSearch& search, std::vector<cv::Point2f>& found) {
    return cv::checkChessboard(grey, search.target.size) && findCorners(grey, search, found);
}

// Whether the quick structural check sees the board on the reduced copy or, failing that, on the
// picture reduced half as much (the full-resolution one when the copy is halved once). The check
// counts only squares whose box is at least 10 px after an erosion, about 12 px squares, while the
// search finds boards whose squares are much smaller: a board of many small squares (28 x 17 corners
// 20 px apart in a 1928 x 1208 picture, 10 px on its halved copy) passes only at the finer scale.
bool mayShowBoard(const cv::Mat& image, const ReducedPicture& reduced, const ChessboardSearch& search) {
    if (cv::checkChessboard(reduced.grey, search.target.size)) {
        return true;
    }
    const ReducedPicture finer = reduceToGrey(image, 2 * search.options.detection_max_side);
    return cv::checkChessboard(finer.grey, search.target.size);
}

// Corners the Default finder found on a reduced picture, refined there with a small window
// (narrowed further to the corner spacing of that picture): the finder's own corners can be a
// few reduced pixels off, which mapped up is further than the full-resolution window reaches,
// while a larger window can be pulled onto a neighbouring edge of a steeply tilted board.
void refineWhereFound(const cv::Mat& grey, const ChessboardSearch& search, std::vector<cv::Point2f>& found) {
    if (search.finder != CornerFinder::Default) {
        return;
    }
    const int halfWindow =
        fullResolutionHalfWindow(kFoundScaleHalfWindow, 1, nearestDistances(found), kCornerSpacingFraction);
    refineCorners(grey, found, halfWindow, -1, search.options.criteria);
}

// The board's corners in full-resolution pixels by the first search, found on reduced copies. The
// Default finder first glances at the picture reduced twice as much as the reduced copy, which reads
// a quarter of the rows and finds a board with large squares at a quarter of the search's cost; only
// a board that the glance does not show (small squares, or none at all) is looked for on the reduced
// copy, once the structural check saw it there or on the copy reduced half as much.
bool findReduced(const cv::Mat& image, const ChessboardSearch& search, std::vector<cv::Point2f>& corners) {
    const int factor = reductionFactor(image.size(), search.options.detection_max_side);
    std::vector<cv::Point2f> found;
    if (search.finder == CornerFinder::Default) {
        const ReducedPicture glance = glanceAtGrey(image, 2 * factor);
        if (std::min(glance.grey.cols, glance.grey.rows) >= kMinimumGlanceSide &&
            checkAndFind(glance.grey, search, found)) {
            refineWhereFound(glance.grey, search, found);
            corners = mapToFullResolution(found, glance.factor);
            return true;
        }
    }
    const ReducedPicture reduced = reduceToGrey(image, search.options.detection_max_side);
    if (!mayShowBoard(image, reduced, search) || !findCorners(reduced.grey, search, found)) {
        return false;
    }
    refineWhereFound(reduced.grey, search, found);
    corners = mapToFullResolution(found, reduced.factor);
    return true;
}

// Indices of the corners that cornerSubPix left where they started: it gives a corner back
// unchanged when it could not converge within its window (the patch's offset is taken off and
// put back, hence the tolerance; a corner that truly started on its own position only gets
// refined once more).
std::vector<size_t> unmovedCorners(const std::vector<cv::Point2f>& refined, const std::vector<cv::Point2f>& starts) {
    constexpr float kUnmoved = 1e-4f;  // pixels
    std::vector<size_t> unmoved;
    for (size_t k = 0; k < refined.size(); ++k) {
        if (std::abs(refined[k].x - starts[k].x) < kUnmoved && std::abs(refined[k].y - starts[k].y) < kUnmoved) {
            unmoved.push_back(k);
        }
    }
    return unmoved;
}

// Corners mapped up from a reduced picture, refined on grey patches of the full-resolution
// picture with the same window as a full-resolution search (so both paths settle on the same
// corners), kept within 0.4 of the closest corner spacing so that it stays on the corner's own
// squares. A corner the window could not reach is first brought closer with a window twice as
// large (within the same bound), then refined with the same window again.
void refineAtFullResolution(const cv::Mat& image, const ChessboardSearch& search, std::vector<cv::Point2f>& corners) {
    const std::vector<double> spacing = nearestDistances(corners);
    const int window = search.options.sub_pixel_detection_window_size;
    const int zeroZone = search.options.sub_pixel_detection_zero_zone_size;
    const int halfWindow = fullResolutionHalfWindow(window, 1, spacing, kCornerSpacingFraction);
    const std::vector<cv::Point2f> starts = corners;
    refineCornersOnPatches(image, corners, halfWindow, zeroZone, search.options.criteria);
    const std::vector<size_t> unmoved = unmovedCorners(corners, starts);
    if (unmoved.empty()) {
        return;
    }
    std::vector<cv::Point2f> retried;
    for (size_t k : unmoved) {
        retried.push_back(starts[k]);
    }
    const int wideHalfWindow = fullResolutionHalfWindow(window, 2, spacing, kCornerSpacingFraction);
    refineCornersOnPatches(image, retried, wideHalfWindow, zeroZone, search.options.criteria);
    refineCornersOnPatches(image, retried, halfWindow, zeroZone, search.options.criteria);
    for (size_t i = 0; i < unmoved.size(); ++i) {
        corners[unmoved[i]] = retried[i];
    }
}

// Corners found by the first search on a reduced grey copy of the caller's picture and refined on
// the full-resolution picture; no full-size grey copy is made.
bool findAtReducedScale(const cv::Mat& image, const ChessboardSearch& search, std::vector<cv::Point2f>& corners) {
    if (!findReduced(image, search, corners)) {
        return false;
    }
    refineAtFullResolution(image, search, corners);
    return true;
}

// The later searches on the full-resolution grey picture; their corners refined there as the plain
// search's are, but for the sector search's own.
std::optional<ChessboardSearchKind> findLaterAtFullResolution(const cv::Mat& grey, const ChessboardSearch& search,
                                                              const std::vector<ChessboardSearchKind>& later,
                                                              std::vector<cv::Point2f>& corners) {
    const std::optional<ChessboardSearchKind> kind =
        findByLaterSearches(grey, search.target.size, search.options.chessboard_flags, later, corners);
    if (kind && *kind != ChessboardSearchKind::Sector) {
        refineOnGrey(grey, search, corners);
    }
    return kind;
}

// The later searches on the reduced grey copy; their corners refined there and on the
// full-resolution picture as the plain search's are.
std::optional<ChessboardSearchKind> findLaterAtReducedScale(const cv::Mat& image, const ChessboardSearch& search,
                                                            const std::vector<ChessboardSearchKind>& later,
                                                            std::vector<cv::Point2f>& corners) {
    const ReducedPicture reduced = reduceToGrey(image, search.options.detection_max_side);
    std::vector<cv::Point2f> found;
    const std::optional<ChessboardSearchKind> kind =
        findByLaterSearches(reduced.grey, search.target.size, search.options.chessboard_flags, later, found);
    if (!kind) {
        return std::nullopt;
    }
    refineWhereFound(reduced.grey, search, found);
    corners = mapToFullResolution(found, reduced.factor);
    refineAtFullResolution(image, search, corners);
    return kind;
}

// The corners of the board by the first search that finds it (the first one, then the later ones),
// and that search; nullopt when none does.
std::optional<ChessboardSearchKind> findBoard(const cv::Mat& image, const ChessboardSearch& search,
                                              std::vector<cv::Point2f>& corners) {
    const bool reduced = searchesReduced(image.size(), search.options.detection_max_side);
    const cv::Mat grey = reduced ? cv::Mat() : toGrey(image);
    if (reduced ? findAtReducedScale(image, search, corners) : findAtFullResolution(grey, search, corners)) {
        return ChessboardSearchKind::Plain;
    }
    corners.clear();
    const std::vector<ChessboardSearchKind> later = laterSearchesOf(search);
    if (later.empty()) {
        return std::nullopt;
    }
    return reduced ? findLaterAtReducedScale(image, search, later, corners)
                   : findLaterAtFullResolution(grey, search, later, corners);
}

ImageDetection detectChessboardImage(const cv::Mat& image, int index, const ChessboardSearch& search) {
    std::vector<cv::Point2f> corners;
    const std::optional<ChessboardSearchKind> foundBy = findBoard(image, search, corners);
    if (!foundBy) {
        return skippedImage("IntrinsicCalibrator", "Chessboard not found");
    }
    const std::string searchName = chessboardSearchName(*foundBy);
    if (*foundBy != ChessboardSearchKind::Plain) {
        logFoundByLaterSearch("IntrinsicCalibrator", "Chessboard", searchName, search.options, index);
    }
    ImageDetection detection;
    detection.found = true;
    detection.found_by = searchName;
    if (search.annotation == Annotation::Draw) {
        detection.annotated_image = annotatedCopy(
            image, [&](cv::Mat& canvas) { cv::drawChessboardCorners(canvas, search.target.size, corners, true); });
    }
    detection.image_points = cv::Mat(corners, true).reshape(2, static_cast<int>(corners.size()));
    detection.object_points = search.objectPoints.clone();
    return detection;
}

}  // namespace

TargetDetections detectChessboard(const std::vector<cv::Mat>& images, const ChessboardTarget& target,
                                  const IntrinsicOptions& options, Annotation annotation) {
    // The detector name is checked only when there is an image to look at.
    const CornerFinder finder =
        images.empty() ? CornerFinder::Default : cornerFinderFromName(options.chessboard_corner_detector);
    const ChessboardSearch search{target, options, finder, target.objectPoints(), annotation};
    return detectBatch(
        images, [&](const cv::Mat& image, int i) { return detectChessboardImage(image, i, search); }, options);
}

}  // namespace velk::calibration
