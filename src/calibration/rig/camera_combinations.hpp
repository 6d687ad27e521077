#pragma once

#include <vector>

namespace velk::calibration {

// All `size`-element combinations of 0 .. count-1 in lexicographic order. A size above count gives
// none, size 0 one empty combination; a negative size fails with std::length_error.
std::vector<std::vector<int>> cameraCombinations(int count, int size);

}  // namespace velk::calibration
