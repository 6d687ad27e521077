#pragma once

#include <string>
#include <utility>

#include <opencv2/core.hpp>
#include <opencv2/objdetect/charuco_detector.hpp>

#include "targets/aruco_dictionaries.hpp"

namespace velk {

// A chessboard with ArUco markers in its white squares.
struct CharucoTarget {
    int squares_x = 0;
    int squares_y = 0;
    double square_length = 0.0;  // metres
    double marker_length = 0.0;  // metres
    int aruco_dict_id = kDefaultArucoDictionaryId;

    CharucoTarget() = default;
    CharucoTarget(int squares_x, int squares_y, double square_length, double marker_length,
                  int aruco_dict_id = kDefaultArucoDictionaryId)
        : squares_x(squares_x),
          squares_y(squares_y),
          square_length(square_length),
          marker_length(marker_length),
          aruco_dict_id(aruco_dict_id) {}
    CharucoTarget(int squares_x, int squares_y, double square_length, double marker_length,
                  const std::string& aruco_dict_name)
        : CharucoTarget(squares_x, squares_y, square_length, marker_length,
                        arucoDictionaryIdFromName(aruco_dict_name)) {}

    // Throws std::invalid_argument naming the first field that makes the board unusable
    // (fewer than 2 squares per side, a length that is not positive, a marker not smaller
    // than its square, more markers than the dictionary holds), std::runtime_error for an
    // unknown dictionary id.
    void validate() const;

    // The OpenCV board; validates first.
    cv::aruco::CharucoBoard createBoard() const;
    // A detector for this board with the parameter sets every calibrator shares.
    cv::aruco::CharucoDetector createDetector() const;
    // The detector of the search after the first (widerMarkerSearchParameters), which also completes
    // the markers found against the board.
    cv::aruco::CharucoDetector createWiderDetector() const;
    // Detects the ChArUco corners in a BGR image and draws markers (green) and
    // corners (blue) on a deep copy; returns the copy and the number of corners.
    std::pair<cv::Mat, int> detectAndAnnotate(const cv::Mat& image) const;
};

}  // namespace velk
