#include <algorithm>
#include <numeric>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "quality/cross_validation_folds.hpp"

namespace {

using velk::quality::CrossValidationFold;
using velk::quality::crossValidationFolds;
using velk::quality::shuffledIndices;

bool isPermutation(std::vector<int> values, int count) {
    std::sort(values.begin(), values.end());
    std::vector<int> expected(static_cast<size_t>(count));
    std::iota(expected.begin(), expected.end(), 0);
    return values == expected;
}

struct FoldCase {
    int images;
    int splits;
    unsigned seed;
    size_t folds;
    size_t test_size;
    size_t never_tested;
};

class Folds : public ::testing::TestWithParam<FoldCase> {};

TEST_P(Folds, CutTheShuffledOrderIntoConsecutiveTestSets) {
    const FoldCase& c = GetParam();
    const std::vector<int> order = shuffledIndices(c.images, c.seed);
    ASSERT_TRUE(isPermutation(order, c.images));
    const std::vector<CrossValidationFold> folds = crossValidationFolds(c.images, c.splits, c.seed);
    ASSERT_EQ(folds.size(), c.folds);
    std::set<int> tested;
    for (size_t f = 0; f < folds.size(); ++f) {
        const CrossValidationFold& fold = folds[f];
        ASSERT_EQ(fold.test.size(), c.test_size);
        EXPECT_EQ(fold.training.size(), static_cast<size_t>(c.images) - c.test_size);
        const std::vector<int> expectedTest(order.begin() + f * c.test_size, order.begin() + (f + 1) * c.test_size);
        EXPECT_EQ(fold.test, expectedTest);
        // Training keeps the shuffled order of everything else.
        std::vector<int> expectedTraining;
        for (int index : order) {
            if (std::find(expectedTest.begin(), expectedTest.end(), index) == expectedTest.end()) {
                expectedTraining.push_back(index);
            }
        }
        EXPECT_EQ(fold.training, expectedTraining);
        tested.insert(fold.test.begin(), fold.test.end());
    }
    EXPECT_EQ(tested.size(), static_cast<size_t>(c.images) - c.never_tested);
    for (size_t k = c.images - c.never_tested; k < order.size(); ++k) {
        EXPECT_EQ(tested.count(order[k]), 0u) << "shuffled position " << k << " must stay in training";
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, Folds,
                         ::testing::Values(FoldCase{12, 5, 0, 5, 2, 2}, FoldCase{12, 5, 41, 5, 2, 2},
                                           FoldCase{7, 10, 0, 7, 1, 0}, FoldCase{10, 5, 3, 5, 2, 0},
                                           FoldCase{4, 5, 0, 4, 1, 0}, FoldCase{9, 1, 0, 1, 9, 0}),
                         [](const ::testing::TestParamInfo<FoldCase>& info) {
                             return std::to_string(info.param.images) + "images" + std::to_string(info.param.splits) +
                                    "splits_seed" + std::to_string(info.param.seed);
                         });

TEST(FoldEdges, NoFoldsWithoutSplitsOrImages) {
    EXPECT_TRUE(crossValidationFolds(12, 0, 0).empty());
    EXPECT_TRUE(crossValidationFolds(12, -3, 0).empty());
    EXPECT_TRUE(crossValidationFolds(0, 5, 0).empty());
}

TEST(Shuffle, SameSeedSameOrderOtherSeedOtherOrder) {
    EXPECT_EQ(shuffledIndices(12, 0), shuffledIndices(12, 0));
    EXPECT_EQ(shuffledIndices(12, 0xFFFFFFFFu), shuffledIndices(12, 0xFFFFFFFFu));
    std::set<std::vector<int>> orders;
    for (unsigned seed = 0; seed < 20; ++seed) {
        orders.insert(shuffledIndices(12, seed));
    }
    EXPECT_GT(orders.size(), 15u);
}

TEST(Shuffle, DegenerateCounts) {
    EXPECT_TRUE(shuffledIndices(0, 5).empty());
    EXPECT_TRUE(shuffledIndices(-2, 5).empty());
    EXPECT_EQ(shuffledIndices(1, 5), std::vector<int>{0});
}

}  // namespace
