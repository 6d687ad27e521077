// The corner cost that shares its view's transform gives the residual and every jacobian block of
// the corner-by-corner automatic differentiation it replaces.
#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "calibration/refinement/view_corner_cost.hpp"
#include "kinematics/chain_corrections.hpp"

namespace {

using velk::calibration::ChainReprojectionCost;
using velk::calibration::ChainViewMount;
using velk::calibration::CorrectedReprojectionCost;
using velk::calibration::MountedViewCornerCost;
using velk::calibration::ReprojectionCost;
using velk::calibration::ScaledCorrectedReprojectionCost;
using velk::calibration::ViewCornerCost;
using velk::calibration::ViewTransform;
using Extra = ViewCornerCost::Extra;

struct Case {
    bool equidistant;
    bool on_left;
    Extra extra;
    std::string name;
};

class ViewCornerCostTest : public ::testing::TestWithParam<Case> {};

std::vector<double> uniform(std::mt19937& random, int count, double low, double high) {
    std::uniform_real_distribution<double> draw(low, high);
    std::vector<double> values(count);
    for (double& v : values) {
        v = draw(random);
    }
    return values;
}

// A corner whose mount puts the target distance_m ahead of the camera, with base rotations [camera, target].
ReprojectionCost cornerAhead(const std::vector<double>& base, double distance_m) {
    ReprojectionCost corner{};
    corner.camera_base = base.data();
    corner.target_base = base.data() + 3;
    for (int k = 0; k < 9; ++k) {
        corner.mount_rotation[k] = k % 4 == 0 ? 1.0 : 0.0;
    }
    corner.mount_translation[2] = distance_m;
    corner.observed[0] = 300.0;
    corner.observed[1] = 200.0;
    return corner;
}

velk::kinematics::KinematicChain twoJointChain() {
    using velk::kinematics::JointType;
    velk::kinematics::KinematicChain chain;
    chain.links.push_back(velk::kinematics::dhLink("a", JointType::kRevolute, false, 0.3, 0.1, 0.2, 0.5));
    chain.links.push_back(velk::kinematics::dhLink("b", JointType::kRevolute, false, 0.1, -0.2, 0.4, -1.1));
    return chain;
}

TEST_P(ViewCornerCostTest, ResidualAndJacobiansMatchTheCornerByCornerCost) {
    const Case& c = GetParam();
    std::mt19937 random(11);
    // The camera sits about a metre from the target: the mount and the poses keep it in front.
    const std::vector<double> base = uniform(random, 6, -0.3, 0.3);
    ReprojectionCost corner = cornerAhead(base, 1.0);
    corner.equidistant = c.equidistant;

    std::vector<double> camera = uniform(random, 6, -0.05, 0.05), target = uniform(random, 6, -0.05, 0.05);
    std::vector<double> correction = uniform(random, 6, -0.01, 0.01);
    std::vector<double> intrinsics = {900.0, 880.0, 640.0, 480.0};
    std::vector<double> distortion = c.equidistant
                                         ? std::vector<double>{0.02, -0.01, 0.003, -0.0005, 0, 0, 0, 0, 0, 0, 0, 0}
                                         : uniform(random, 12, -0.05, 0.05);
    std::vector<double> extra = {1.03};

    const velk::kinematics::KinematicChain chain = twoJointChain();
    const velk::kinematics::CorrectionLayout layout =
        velk::kinematics::correctionLayout(chain, velk::kinematics::CorrectionMode::kOffsets);
    const std::vector<int> free = {0, 1};
    ChainViewMount mount(&chain, &layout, &free, {0.4, -0.7}, true);
    if (c.extra == Extra::Chain) {
        extra = {0.01, -0.02};
    }
    mount.update(extra.data());

    ViewTransform transform(CorrectedReprojectionCost{corner, c.on_left}, c.extra == Extra::Chain ? &mount : nullptr);

    for (int point = 0; point < 5; ++point) {
        const std::vector<double> object = uniform(random, 3, -0.2, 0.2);
        std::copy(object.begin(), object.end(), corner.object);
        std::unique_ptr<ceres::CostFunction> reference;
        if (c.extra == Extra::Chain) {
            reference = std::make_unique<ChainReprojectionCost>(corner, c.on_left, &mount);
        } else if (c.extra == Extra::Scale) {
            reference.reset(ScaledCorrectedReprojectionCost::Create(corner, c.on_left));
        } else {
            reference.reset(CorrectedReprojectionCost::Create(corner, c.on_left));
        }
        ViewCornerCost shared(corner, &transform, c.extra, &mount);
        const std::vector<double*> blocks = {camera.data(),     target.data(),     correction.data(),
                                             intrinsics.data(), distortion.data(), extra.data()};
        const int count = c.extra == Extra::None ? 5 : 6;
        const std::vector<int>& sizes = reference->parameter_block_sizes();
        std::vector<std::vector<double>> expected(count), actual(count);
        std::vector<double*> expectedPointers(count), actualPointers(count);
        for (int b = 0; b < count; ++b) {
            expected[b].assign(2 * sizes[b], 0.0);
            actual[b].assign(2 * sizes[b], 0.0);
            expectedPointers[b] = expected[b].data();
            actualPointers[b] = actual[b].data();
        }
        double expectedResidual[2], actualResidual[2], plainResidual[2];
        ASSERT_TRUE(reference->Evaluate(blocks.data(), expectedResidual, expectedPointers.data()));
        ASSERT_TRUE(shared.Evaluate(blocks.data(), actualResidual, actualPointers.data()));
        ASSERT_TRUE(shared.Evaluate(blocks.data(), plainResidual, nullptr));
        for (int r = 0; r < 2; ++r) {
            EXPECT_NEAR(actualResidual[r], expectedResidual[r], 1e-9 * (1.0 + std::abs(expectedResidual[r]))) << point;
            EXPECT_NEAR(plainResidual[r], expectedResidual[r], 1e-9 * (1.0 + std::abs(expectedResidual[r]))) << point;
        }
        for (int b = 0; b < count; ++b) {
            for (size_t k = 0; k < expected[b].size(); ++k) {
                EXPECT_NEAR(actual[b][k], expected[b][k], 1e-8 * (1.0 + std::abs(expected[b][k])))
                    << "point " << point << " block " << b << " entry " << k;
            }
        }
        // New values reach the shared transform: the next point is seen from elsewhere.
        camera[3] += 0.01;
        correction[1] -= 0.002;
    }
}

TEST(MountedViewCornerCost, MatchesTheCornerByCornerCostWithoutACorrection) {
    std::mt19937 random(3);
    const std::vector<double> base = uniform(random, 6, -0.3, 0.3);
    ReprojectionCost corner = cornerAhead(base, 0.8);
    std::vector<double> camera = uniform(random, 6, -0.05, 0.05), target = uniform(random, 6, -0.05, 0.05);
    std::vector<double> intrinsics = {900.0, 880.0, 640.0, 480.0}, distortion = uniform(random, 12, -0.05, 0.05);
    ViewTransform transform(CorrectedReprojectionCost{corner, true}, nullptr);
    for (int point = 0; point < 3; ++point) {
        const std::vector<double> object = uniform(random, 3, -0.2, 0.2);
        std::copy(object.begin(), object.end(), corner.object);
        std::unique_ptr<ceres::CostFunction> reference(ReprojectionCost::Create(corner));
        MountedViewCornerCost shared(corner, &transform);
        const double* blocks[4] = {camera.data(), target.data(), intrinsics.data(), distortion.data()};
        const int sizes[4] = {6, 6, 4, 12};
        std::vector<std::vector<double>> expected(4), actual(4);
        double* expectedPointers[4];
        double* actualPointers[4];
        for (int b = 0; b < 4; ++b) {
            expected[b].assign(2 * sizes[b], 0.0);
            actual[b].assign(2 * sizes[b], 0.0);
            expectedPointers[b] = expected[b].data();
            actualPointers[b] = actual[b].data();
        }
        double expectedResidual[2], actualResidual[2];
        ASSERT_TRUE(reference->Evaluate(blocks, expectedResidual, expectedPointers));
        ASSERT_TRUE(shared.Evaluate(blocks, actualResidual, actualPointers));
        for (int r = 0; r < 2; ++r) {
            EXPECT_NEAR(actualResidual[r], expectedResidual[r], 1e-9 * (1.0 + std::abs(expectedResidual[r])));
        }
        for (int b = 0; b < 4; ++b) {
            for (size_t k = 0; k < expected[b].size(); ++k) {
                EXPECT_NEAR(actual[b][k], expected[b][k], 1e-8 * (1.0 + std::abs(expected[b][k]))) << b << " " << k;
            }
        }
        target[4] += 0.01;
    }
}

INSTANTIATE_TEST_SUITE_P(Lenses, ViewCornerCostTest,
                         ::testing::Values(Case{false, true, Extra::None, "pinhole_left"},
                                           Case{false, false, Extra::None, "pinhole_right"},
                                           Case{true, true, Extra::None, "fisheye_left"},
                                           Case{false, false, Extra::Scale, "pinhole_scaled"},
                                           Case{true, true, Extra::Chain, "fisheye_chain"},
                                           Case{false, true, Extra::Chain, "pinhole_chain"}),
                         [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

}  // namespace
