#pragma once

#include <string>

#include <opencv2/core.hpp>
#include <opencv2/objdetect/aruco_board.hpp>
#include <opencv2/objdetect/aruco_dictionary.hpp>

#include "targets/aruco_dictionaries.hpp"

namespace velk {

// A grid of ArUco markers. The markers carry the ids first_marker_id, first_marker_id + 1, ...
// row by row; a 1 x 1 grid is a single printed marker.
struct ArucoTarget {
    cv::Size board_size;             // markers along x (width) and y (height)
    double marker_length = 0.0;      // metres
    double marker_separation = 0.0;  // metres
    int aruco_dict_id = kDefaultArucoDictionaryId;
    int first_marker_id = 0;

    ArucoTarget() = default;
    ArucoTarget(cv::Size board_size, double marker_length, double marker_separation,
                int aruco_dict_id = kDefaultArucoDictionaryId, int first_marker_id = 0)
        : board_size(board_size),
          marker_length(marker_length),
          marker_separation(marker_separation),
          aruco_dict_id(aruco_dict_id),
          first_marker_id(first_marker_id) {}
    ArucoTarget(cv::Size board_size, double marker_length, double marker_separation, const std::string& aruco_dict_name,
                int first_marker_id = 0)
        : ArucoTarget(board_size, marker_length, marker_separation, arucoDictionaryIdFromName(aruco_dict_name),
                      first_marker_id) {}

    // Throws std::invalid_argument naming the first field that makes the board unusable
    // (a marker count or length that is not positive, a negative first_marker_id, ids
    // first_marker_id + markers - 1 past the dictionary's last id), std::runtime_error for an
    // unknown dictionary id.
    void validate() const;

    // Markers on the board (board_size.width * board_size.height).
    int markerCount() const { return board_size.width * board_size.height; }
    // Markers a picture must show for the board to count as found: four, or the one marker of a
    // 1 x 1 board (a single printed marker, four corners).
    int markersNeededPerPicture() const { return markerCount() == 1 ? 1 : 4; }
    // Position on the board (0 for the first marker) of the marker with this dictionary id,
    // -1 for an id the board does not carry.
    int boardIndexOf(int markerId) const {
        const int index = markerId - first_marker_id;
        return index >= 0 && index < markerCount() ? index : -1;
    }

    cv::aruco::Dictionary createDictionary() const;
    // The OpenCV board; validates first.
    cv::aruco::GridBoard createBoard() const;
};

}  // namespace velk
