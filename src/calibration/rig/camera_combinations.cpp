#include "calibration/rig/camera_combinations.hpp"

#include <numeric>
#include <stdexcept>
#include <string>

namespace velk::calibration {
namespace {

// Advances to the lexicographic successor; false after the last combination.
bool advance(std::vector<int>& combination, int count) {
    const int size = static_cast<int>(combination.size());
    for (int i = size - 1; i >= 0; --i) {
        if (combination[i] != count - size + i) {
            ++combination[i];
            for (int j = i + 1; j < size; ++j) {
                combination[j] = combination[j - 1] + 1;
            }
            return true;
        }
    }
    return false;
}

}  // namespace

std::vector<std::vector<int>> cameraCombinations(int count, int size) {
    if (size < 0) {
        throw std::length_error("MultiCameraCalibrator: subset size must not be negative, got " + std::to_string(size));
    }
    std::vector<std::vector<int>> combinations;
    if (size > count) {
        return combinations;
    }
    std::vector<int> combination(static_cast<size_t>(size));
    std::iota(combination.begin(), combination.end(), 0);
    do {
        combinations.push_back(combination);
    } while (advance(combination, count));
    return combinations;
}

}  // namespace velk::calibration
