#include "targets/aruco_dictionaries.hpp"

#include <stdexcept>

namespace velk {

const std::map<std::string, int>& arucoDictionaryIdMap() {
    namespace aruco = cv::aruco;
    static const std::map<std::string, int> names = {
        {"DICT_4X4_50", aruco::DICT_4X4_50},
        {"DICT_4X4_100", aruco::DICT_4X4_100},
        {"DICT_4X4_250", aruco::DICT_4X4_250},
        {"DICT_4X4_1000", aruco::DICT_4X4_1000},
        {"DICT_5X5_50", aruco::DICT_5X5_50},
        {"DICT_5X5_100", aruco::DICT_5X5_100},
        {"DICT_5X5_250", aruco::DICT_5X5_250},
        {"DICT_5X5_1000", aruco::DICT_5X5_1000},
        {"DICT_6X6_50", aruco::DICT_6X6_50},
        {"DICT_6X6_100", aruco::DICT_6X6_100},
        {"DICT_6X6_250", aruco::DICT_6X6_250},
        {"DICT_6X6_1000", aruco::DICT_6X6_1000},
        {"DICT_7X7_50", aruco::DICT_7X7_50},
        {"DICT_7X7_100", aruco::DICT_7X7_100},
        {"DICT_7X7_250", aruco::DICT_7X7_250},
        {"DICT_7X7_1000", aruco::DICT_7X7_1000},
        {"DICT_ARUCO_ORIGINAL", aruco::DICT_ARUCO_ORIGINAL},
        {"DICT_APRILTAG_16H5", aruco::DICT_APRILTAG_16h5},
        {"DICT_APRILTAG_25H9", aruco::DICT_APRILTAG_25h9},
        {"DICT_APRILTAG_36H10", aruco::DICT_APRILTAG_36h10},
        {"DICT_APRILTAG_36H11", aruco::DICT_APRILTAG_36h11},
        {"DICT_ARUCO_MIP_36H12", aruco::DICT_ARUCO_MIP_36h12},
    };
    return names;
}

int arucoDictionaryIdFromName(const std::string& name) {
    const auto& names = arucoDictionaryIdMap();
    const auto found = names.find(name);
    if (found == names.end()) {
        throw std::invalid_argument("Unknown aruco_dict_id '" + name + "'");
    }
    return found->second;
}

cv::aruco::Dictionary predefinedDictionary(int id, const std::string& owner) {
    if (id < cv::aruco::DICT_4X4_50 || id > cv::aruco::DICT_ARUCO_MIP_36h12) {
        throw std::runtime_error(owner + ": aruco_dict_id " + std::to_string(id) +
                                 " is not a predefined ArUco dictionary id (0 to 21)");
    }
    return cv::aruco::getPredefinedDictionary(id);
}

}  // namespace velk
