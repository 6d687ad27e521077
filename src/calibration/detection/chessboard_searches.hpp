#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace velk::calibration {

// The OpenCV searches a chessboard is looked for with, in the order they are tried.
enum class ChessboardSearchKind {
    Plain,     // findChessboardCorners with the caller's flags
    Adaptive,  // findChessboardCorners with adaptive threshold and normalisation added to them
    Sector,    // findChessboardCornersSB, exhaustive and accurate, its corners put in the Plain order (a grid
               // that does not lie on the board's corners refused: outerLinesAreBoardCorners)
};

// The word results and log lines name a search by: "plain", "adaptive" or "sector".
const char* chessboardSearchName(ChessboardSearchKind kind);

// The searches tried in turn on a picture until one finds the board: the plain search alone when
// fallback is false; otherwise also the adaptive one (unless flags already hold both of its
// additions, which makes it the plain search again) and then the sector-based one.
std::vector<ChessboardSearchKind> chessboardSearches(int flags, bool fallback);

// Runs one search on a grey picture. The corners come as findChessboardCorners orders them (see
// orientLikeQuadSearch), unrefined beyond what the search itself does.
bool runChessboardSearch(const cv::Mat& grey, cv::Size size, int flags, ChessboardSearchKind kind,
                         std::vector<cv::Point2f>& corners);

}  // namespace velk::calibration
