#include "targets/target_checks.hpp"

#include <cmath>
#include <sstream>
#include <stdexcept>

#include "targets/aruco_dictionaries.hpp"

namespace velk {

void requireBoardLength(const std::string& owner, const std::string& field, double value) {
    const float narrowed = static_cast<float>(value);
    if (!(narrowed > 0.0f) || !std::isfinite(narrowed)) {
        throw std::invalid_argument(owner + ": " + field + " must be a positive, finite length in metres, got " +
                                    lengthText(value));
    }
}

void requirePositiveGrid(const std::string& owner, const std::string& field, const cv::Size& size,
                         const std::string& unit) {
    if (size.width <= 0 || size.height <= 0) {
        throw std::invalid_argument(owner + ": " + field + " must count at least one " + unit + " per side, got " +
                                    gridText(size));
    }
}

void requireMarkersInDictionary(const std::string& owner, const std::string& boardText, long long markers,
                                int aruco_dict_id) {
    const int available = predefinedDictionary(aruco_dict_id, owner).bytesList.rows;
    if (markers > available) {
        throw std::invalid_argument(owner + ": " + boardText + " needs " + std::to_string(markers) +
                                    " markers, but aruco_dict_id " + std::to_string(aruco_dict_id) + " holds only " +
                                    std::to_string(available));
    }
}

std::string gridText(const cv::Size& size) {
    return "(" + std::to_string(size.width) + ", " + std::to_string(size.height) + ")";
}

std::string lengthText(double value) {
    std::ostringstream text;
    text << value;
    return text.str();
}

}  // namespace velk
