// Each view's information is read from the rows the jacobian layout names for it, so it stays the same
// whichever order the residual blocks are laid out or the views are added in.
#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "calibration/refinement/jacobian_layout.hpp"
#include "calibration/refinement/shared_information.hpp"
#include "errors_in_variables_scene.hpp"

namespace {

using velk::calibration::ErrorsInVariablesProblem;
using velk::calibration::GroupedLinearisation;
using velk::calibration::JacobianLayout;
using velk::calibration::kPoseParameterCount;
using velk::calibration::LocalColumns;
using velk::calibration::NoiseEstimation;
using velk::calibration::SharedColumns;
using velk::test::BoardScene;
using velk::test::SceneCamera;
using velk::test::SolverScene;

const SceneCamera kGivenCamera{false, {2.0, 2.5, 3.0, 1.5}};

double relativeDifference(const cv::Mat& a, const cv::Mat& b) {
    return cv::norm(a - b) / cv::norm(b);
}

// One set of residual blocks that the layout appends at once.
struct BlockSet {
    enum Kind { Corners, TranslationPrior, RotationPrior, IntrinsicPrior } kind;
    int view;
};

std::vector<BlockSet> blockSets(const SolverScene& solver) {
    std::vector<BlockSet> sets;
    for (int v = 0; v < static_cast<int>(solver.views.size()); ++v) {
        for (auto kind : {BlockSet::Corners, BlockSet::TranslationPrior, BlockSet::RotationPrior}) {
            sets.push_back({kind, v});
        }
    }
    sets.push_back({BlockSet::IntrinsicPrior, -1});
    return sets;
}

// The layout of the sets in the given order, each view's rows named as they are appended.
JacobianLayout layoutInOrder(const SolverScene& solver, const std::vector<BlockSet>& sets) {
    using namespace velk::calibration;
    JacobianLayout layout;
    layout.views.resize(solver.views.size());
    for (const BlockSet& set : sets) {
        if (set.kind == BlockSet::IntrinsicPrior) {
            layout.append(solver.problem, {solver.intrinsic_prior}, kIntrinsicPriorGroup);
            continue;
        }
        const auto& ids = solver.views[set.view];
        ViewRows& rows = layout.views[set.view];
        if (set.kind == BlockSet::Corners) {
            rows.corners = layout.append(solver.problem, ids.corners, kPixelGroup);
        } else if (set.kind == BlockSet::TranslationPrior) {
            rows.translation_prior = layout.append(solver.problem, {ids.translation_prior}, kTranslationGroup);
        } else {
            rows.rotation_prior = layout.append(solver.problem, {ids.rotation_prior}, kRotationGroup);
        }
    }
    return layout;
}

// Per view the information about the poses and the camera, and that of the intrinsic prior, from the
// solver scene's jacobian laid out in the given order.
struct Information {
    std::vector<cv::Mat> views;
    cv::Mat prior;
};

Information informationInLayout(SolverScene& solver, const BoardScene& scene, const JacobianLayout& layout) {
    GroupedLinearisation lin;
    const std::vector<double> sigmas = {scene.noise.pixel_px, scene.noise.translation_m, scene.noise.rotation_rad, 1.0};
    EXPECT_TRUE(lineariseInLayout(solver.problem, solver.free_blocks, solver.column_count, layout, sigmas, lin));
    // Columns: both poses, then each view's correction, then the camera.
    const int firstCorrection = 2 * kPoseParameterCount;
    const int views = static_cast<int>(solver.views.size());
    std::vector<LocalColumns> corrections;
    for (int v = 0; v < views; ++v) {
        corrections.push_back({firstCorrection + kPoseParameterCount * v, kPoseParameterCount});
    }
    SharedColumns shared;
    for (int column = 0; column < solver.column_count; ++column) {
        const bool local = column >= firstCorrection && column < firstCorrection + kPoseParameterCount * views;
        shared.index.push_back(local ? -1 : shared.count++);
    }
    return {velk::calibration::viewInformation(lin, layout, shared, corrections),
            velk::calibration::groupInformation(lin, layout, shared, velk::calibration::kIntrinsicPriorGroup)};
}

// Views whose corners are not where the problem itself lays them out: all views' corners first, in view order.
int viewsMoved(const JacobianLayout& layout, const BoardScene& scene) {
    int moved = 0;
    for (size_t v = 0; v < layout.views.size(); ++v) {
        moved += layout.views[v].corners.first != static_cast<int>(v) * 2 * scene.board_m.rows ? 1 : 0;
    }
    return moved;
}

TEST(ViewInformation, SameWhicheverOrderTheResidualBlocksAreLaidOutIn) {
    const BoardScene scene = velk::test::boardScene(true, kGivenCamera);
    ErrorsInVariablesProblem problem(1.0, scene.noise, NoiseEstimation());
    velk::test::addScene(problem, scene, {0, 1, 2, 3, 4});
    const std::vector<cv::Mat> expected = problem.viewInformation();
    const cv::Mat expectedPrior = problem.sharedPriorInformation();

    SolverScene solver(scene);
    const std::vector<BlockSet> inOrder = blockSets(solver);
    for (unsigned seed : {1u, 2u, 3u}) {
        std::vector<BlockSet> shuffled = inOrder;
        std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(seed));
        const JacobianLayout moved = layoutInOrder(solver, shuffled);
        ASSERT_GT(viewsMoved(moved, scene), 0) << "seed " << seed;
        const Information information = informationInLayout(solver, scene, moved);
        ASSERT_EQ(information.views.size(), expected.size());
        for (size_t v = 0; v < expected.size(); ++v) {
            ASSERT_GT(cv::norm(expected[v]), 0.0);
            EXPECT_LT(relativeDifference(information.views[v], expected[v]), 1e-12) << "seed " << seed << " view " << v;
        }
        EXPECT_LT(relativeDifference(information.prior, expectedPrior), 1e-12) << "seed " << seed;
    }
}

TEST(ViewInformation, FollowsEachViewWhenTheViewsAreAddedInAnotherOrder) {
    const BoardScene scene = velk::test::boardScene(false, kGivenCamera);
    ErrorsInVariablesProblem inOrder(1.0, scene.noise, NoiseEstimation());
    ErrorsInVariablesProblem reversed(1.0, scene.noise, NoiseEstimation());
    const auto first = velk::test::addScene(inOrder, scene, {0, 1, 2, 3, 4});
    const auto second = velk::test::addScene(reversed, scene, {4, 3, 2, 1, 0});
    const std::vector<cv::Mat> expected = inOrder.viewInformation();
    const std::vector<cv::Mat> information = reversed.viewInformation();
    ASSERT_NE(first.views, second.views);
    for (size_t v = 0; v < scene.corrections.size(); ++v) {
        EXPECT_LT(relativeDifference(information[second.views[v]], expected[first.views[v]]), 1e-12) << "view " << v;
    }
    EXPECT_LT(relativeDifference(reversed.sharedPriorInformation(), inOrder.sharedPriorInformation()), 1e-12);
}

}  // namespace
