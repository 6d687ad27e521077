#include "targets/aruco_target.hpp"

#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

#include "targets/target_checks.hpp"

namespace velk {
namespace {

const char* const kOwner = "ArucoTarget";

}  // namespace

void ArucoTarget::validate() const {
    requirePositiveGrid(kOwner, "board_size", board_size, "marker");
    requireBoardLength(kOwner, "marker_length", marker_length);
    requireBoardLength(kOwner, "marker_separation", marker_separation);
    const long long markers = static_cast<long long>(board_size.width) * board_size.height;
    if (first_marker_id < 0) {
        throw std::invalid_argument(std::string(kOwner) + ": first_marker_id must be 0 or more, got " +
                                    std::to_string(first_marker_id));
    }
    requireMarkersInDictionary(kOwner, "board_size " + gridText(board_size), markers, aruco_dict_id);
    const int available = createDictionary().bytesList.rows;
    if (first_marker_id + markers > available) {
        throw std::invalid_argument(std::string(kOwner) + ": first_marker_id " + std::to_string(first_marker_id) +
                                    " with board_size " + gridText(board_size) + " needs ids up to " +
                                    std::to_string(first_marker_id + markers - 1) + ", but aruco_dict_id " +
                                    std::to_string(aruco_dict_id) + " holds ids 0 to " + std::to_string(available - 1));
    }
}

cv::aruco::Dictionary ArucoTarget::createDictionary() const {
    return predefinedDictionary(aruco_dict_id, kOwner);
}

cv::aruco::GridBoard ArucoTarget::createBoard() const {
    validate();
    std::vector<int> ids(static_cast<size_t>(markerCount()));
    std::iota(ids.begin(), ids.end(), first_marker_id);
    return cv::aruco::GridBoard(board_size, static_cast<float>(marker_length), static_cast<float>(marker_separation),
                                createDictionary(), ids);
}

}  // namespace velk
