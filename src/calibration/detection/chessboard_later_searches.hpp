#pragma once

#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/detection/chessboard_searches.hpp"

namespace velk::calibration {

// Longer side (pixels) of the coarse copy the later searches look at first.
constexpr int kCoarseSearchMaxSide = 800;

// Looks for a whole chessboard, with the searches after the plain one (`kinds`, in order), on a
// grey picture the plain search found nothing in (the search scale: the picture itself, or its
// reduced copy). The corners come in the plain search's order, at the search scale, as the search
// that found them gave them (the quad searches' unrefined).
//
// - The searches look first at a coarse copy (halved until its longer side is at most
//   kCoarseSearchMaxSide), where they cost a fraction and find boards under noise that the
//   search scale breaks up. Where one finds the board, it looks again at the search scale around
//   the board, and its corners there are taken when they are those of the same board; otherwise
//   the next search is tried.
// - Where no search finds the board both ways (glare over its corners can hide it from one
//   scale), the sector search looks at the whole picture at the search scale.
// - Before either, the picture must pass the plain search's structural check, with its histogram
//   equalised, both on the coarse copy and at the search scale: a picture without the board is
//   turned down in milliseconds, where the searches take seconds on it (the adaptive threshold of
//   a noisy picture makes thousands of quads; the exhaustive sector search tries a hundred seeds
//   on a board of markers). A board with squares under about 7 coarse pixels fails the check.
//
// nullopt when no search finds the board, or none can look for it (a picture a few pixels across).
std::optional<ChessboardSearchKind> findByLaterSearches(const cv::Mat& grey, cv::Size size, int flags,
                                                        const std::vector<ChessboardSearchKind>& kinds,
                                                        std::vector<cv::Point2f>& corners);

}  // namespace velk::calibration
