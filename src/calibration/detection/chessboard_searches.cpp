#include "calibration/detection/chessboard_searches.hpp"

#include <opencv2/calib3d.hpp>

#include "calibration/detection/chessboard_grid_check.hpp"
#include "calibration/detection/chessboard_orientation.hpp"

namespace velk::calibration {
namespace {

constexpr int kAdaptiveAdditions = cv::CALIB_CB_ADAPTIVE_THRESH | cv::CALIB_CB_NORMALIZE_IMAGE;
// The sector-based search tried when the others found nothing: every grid hypothesis checked and
// corners located on the full picture. Its own flags, since the caller's are those of the quad
// search. Where it finds nothing it looks again at the picture with its contrast normalised, which
// finds boards under uneven light and low contrast but places corners of a clean board less
// closely (up to a few pixels), so it comes second.
constexpr int kSectorFlags = cv::CALIB_CB_EXHAUSTIVE | cv::CALIB_CB_ACCURACY;
constexpr int kNormalisedSectorFlags = kSectorFlags | cv::CALIB_CB_NORMALIZE_IMAGE;

}  // namespace

const char* chessboardSearchName(ChessboardSearchKind kind) {
    switch (kind) {
        case ChessboardSearchKind::Adaptive: return "adaptive";
        case ChessboardSearchKind::Sector: return "sector";
        case ChessboardSearchKind::Plain: break;
    }
    return "plain";
}

std::vector<ChessboardSearchKind> chessboardSearches(int flags, bool fallback) {
    std::vector<ChessboardSearchKind> searches{ChessboardSearchKind::Plain};
    if (!fallback) {
        return searches;
    }
    if ((flags & kAdaptiveAdditions) != kAdaptiveAdditions) {
        searches.push_back(ChessboardSearchKind::Adaptive);
    }
    searches.push_back(ChessboardSearchKind::Sector);
    return searches;
}

namespace {

// The sector-based search, as found and then with the contrast normalised; a grid that does not lie
// on the board's corners is no board found.
bool findBySectors(const cv::Mat& grey, cv::Size size, std::vector<cv::Point2f>& corners) {
    for (const int flags : {kSectorFlags, kNormalisedSectorFlags}) {
        if (cv::findChessboardCornersSB(grey, size, corners, flags)) {
            orientLikeQuadSearch(grey, size, corners);
            if (outerLinesAreBoardCorners(grey, size, corners)) {
                return true;
            }
        }
    }
    corners.clear();
    return false;
}

bool runSearch(const cv::Mat& grey, cv::Size size, int flags, ChessboardSearchKind kind,
               std::vector<cv::Point2f>& corners) {
    switch (kind) {
        case ChessboardSearchKind::Plain: return cv::findChessboardCorners(grey, size, corners, flags);
        case ChessboardSearchKind::Adaptive:
            return cv::findChessboardCorners(grey, size, corners, flags | kAdaptiveAdditions);
        case ChessboardSearchKind::Sector: return findBySectors(grey, size, corners);
    }
    return false;
}

}  // namespace

// The searches after the plain one refuse some pictures the plain search merely finds nothing in
// (the adaptive threshold of a picture a few pixels across has no valid window): a board they
// cannot look for is a board they did not find.
bool runChessboardSearch(const cv::Mat& grey, cv::Size size, int flags, ChessboardSearchKind kind,
                         std::vector<cv::Point2f>& corners) {
    if (kind == ChessboardSearchKind::Plain) {
        return runSearch(grey, size, flags, kind, corners);
    }
    try {
        return runSearch(grey, size, flags, kind, corners);
    } catch (const cv::Exception&) {
        corners.clear();
        return false;
    }
}

}  // namespace velk::calibration
