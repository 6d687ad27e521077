#pragma once

#include <cstdint>
#include <vector>

namespace velk::quality {

// Image indices 0 .. count - 1 in an order fixed by the seed: a Fisher-Yates pass
// over positions 1 .. count - 1 driven by std::mt19937, each swap partner drawn by
// rejection from the engine's full 32-bit range, so a seed gives the same order on
// every platform.
std::vector<int> shuffledIndices(int count, std::uint32_t seed);

// One fold of k-fold cross-validation; both lists follow the shuffled order.
struct CrossValidationFold {
    std::vector<int> training;
    std::vector<int> test;
};

// Folds of count / splits images (at least one); images past splits * fold size are
// always trained on, never tested. No folds for splits <= 0.
std::vector<CrossValidationFold> crossValidationFolds(int count, int splits, std::uint32_t seed);

}  // namespace velk::quality
