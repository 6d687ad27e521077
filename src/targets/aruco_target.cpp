#include "targets/aruco_target.hpp"

namespace velk {

cv::aruco::Dictionary ArucoTarget::createDictionary() const {
    return predefinedDictionary(aruco_dict_id, "ArucoTarget");
}

cv::aruco::GridBoard ArucoTarget::createBoard() const {
    return cv::aruco::GridBoard(board_size, static_cast<float>(marker_length), static_cast<float>(marker_separation),
                                createDictionary());
}

}  // namespace velk
