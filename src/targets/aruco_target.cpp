#include "targets/aruco_target.hpp"

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
    requireMarkersInDictionary(kOwner, "board_size " + gridText(board_size), markers, aruco_dict_id);
}

cv::aruco::Dictionary ArucoTarget::createDictionary() const {
    return predefinedDictionary(aruco_dict_id, kOwner);
}

cv::aruco::GridBoard ArucoTarget::createBoard() const {
    validate();
    return cv::aruco::GridBoard(board_size, static_cast<float>(marker_length), static_cast<float>(marker_separation),
                                createDictionary());
}

}  // namespace velk
