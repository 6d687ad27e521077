#include "quality/cross_validation_folds.hpp"

#include <algorithm>
#include <numeric>
#include <random>
#include <utility>

namespace velk::quality {
namespace {

constexpr std::uint32_t kEngineMax = 0xFFFFFFFFu;

// Uniform in 0 .. bound - 1: outputs in the incomplete top bucket are drawn again.
std::uint32_t drawBelow(std::mt19937& engine, std::uint32_t bound) {
    for (;;) {
        const auto r = static_cast<std::uint32_t>(engine());
        if (r / bound < kEngineMax / bound || kEngineMax % bound == bound - 1) {
            return r % bound;
        }
    }
}

}  // namespace

std::vector<int> shuffledIndices(int count, std::uint32_t seed) {
    std::vector<int> order(static_cast<size_t>(std::max(count, 0)));
    std::iota(order.begin(), order.end(), 0);
    std::mt19937 engine(seed);
    for (size_t i = 1; i < order.size(); ++i) {
        const std::uint32_t j = drawBelow(engine, static_cast<std::uint32_t>(i + 1));
        if (j != i) {
            std::swap(order[i], order[j]);
        }
    }
    return order;
}

std::vector<CrossValidationFold> crossValidationFolds(int count, int splits, std::uint32_t seed) {
    std::vector<CrossValidationFold> folds;
    if (splits <= 0 || count <= 0) {
        return folds;
    }
    const std::vector<int> order = shuffledIndices(count, seed);
    const long long n = count;
    const long long size = std::max<long long>(n / splits, 1);
    for (long long f = 0; f < splits && f * size < n; ++f) {
        const long long first = f * size;
        const long long end = std::min(first + size, n);
        CrossValidationFold fold;
        for (long long position = 0; position < n; ++position) {
            const bool tested = position >= first && position < end;
            (tested ? fold.test : fold.training).push_back(order[static_cast<size_t>(position)]);
        }
        folds.push_back(std::move(fold));
    }
    return folds;
}

}  // namespace velk::quality
