#pragma once

#include <string>

#include <opencv2/core.hpp>
#include <opencv2/objdetect/aruco_board.hpp>
#include <opencv2/objdetect/aruco_dictionary.hpp>

#include "targets/aruco_dictionaries.hpp"

namespace velk {

// A grid of ArUco markers.
struct ArucoTarget {
    cv::Size board_size;              // markers along x (width) and y (height)
    double marker_length = 0.0;       // metres
    double marker_separation = 0.0;   // metres
    int aruco_dict_id = kDefaultArucoDictionaryId;

    ArucoTarget() = default;
    ArucoTarget(cv::Size board_size, double marker_length, double marker_separation,
                int aruco_dict_id = kDefaultArucoDictionaryId)
        : board_size(board_size),
          marker_length(marker_length),
          marker_separation(marker_separation),
          aruco_dict_id(aruco_dict_id) {}
    ArucoTarget(cv::Size board_size, double marker_length, double marker_separation,
                const std::string& aruco_dict_name)
        : ArucoTarget(board_size, marker_length, marker_separation, arucoDictionaryIdFromName(aruco_dict_name)) {}

    // Throws std::invalid_argument naming the first field that makes the board unusable
    // (a marker count or length that is not positive, more markers than the dictionary
    // holds), std::runtime_error for an unknown dictionary id.
    void validate() const;

    cv::aruco::Dictionary createDictionary() const;
    // The OpenCV board; validates first.
    cv::aruco::GridBoard createBoard() const;
};

}  // namespace velk
