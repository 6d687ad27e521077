// The target's size measured at a solution held at the described size, from the linearised problem, against
// the solve that frees the size: the same size and 1-sigma to a small fraction of that sigma.
#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "errors_in_variables_scene.hpp"

namespace {

using velk::calibration::ErrorsInVariablesProblem;
using velk::calibration::NoiseEstimation;
using velk::test::BoardScene;
using velk::test::boardScene;
using velk::test::SceneCamera;

// The scene's pictures of a board `scale` times the described one, with corner noise.
BoardScene largerBoard(double scale, double noise_px) {
    BoardScene scene = boardScene(true, SceneCamera{false, {2.0, 2.5, 3.0, 1.5}});
    cv::RNG random(7);
    for (size_t v = 0; v < scene.pixels_px.size(); ++v) {
        const cv::Mat camera_T_target =
            scene.camera_mount_T_camera.inv() * scene.corrections[v] * scene.mounts[v] * scene.target_mount_T_target;
        cv::Mat rotation, pixels;
        cv::Rodrigues(camera_T_target(cv::Rect(0, 0, 3, 3)), rotation);
        cv::projectPoints(scene.board_m * scale, rotation, camera_T_target(cv::Rect(3, 0, 1, 3)),
                          scene.intrinsic_matrix, scene.distortion, pixels);
        pixels = pixels.reshape(1, scene.board_m.rows);
        cv::Mat noise(pixels.size(), CV_64F);
        random.fill(noise, cv::RNG::NORMAL, 0.0, noise_px);
        scene.pixels_px[v] = pixels + noise;
    }
    return scene;
}

// Both start their noise levels where the held solution settled: on five views the levels of the robot's
// rotation and translation trade off, and a solve from elsewhere may settle at another split of them.
TEST(TargetScaleMeasurement, AgreesWithTheSolveThatFreesTheSize) {
    const BoardScene scene = largerBoard(1.01, 0.3);
    std::string reason;
    velk::calibration::RefinementSummary summary;

    ErrorsInVariablesProblem held(1.0, scene.noise, NoiseEstimation());
    held.carryTargetScale(1.0);
    velk::test::addScene(held, scene, {0, 1, 2, 3, 4});
    ASSERT_TRUE(held.solve(100, summary, reason)) << reason;
    const cv::Mat cameraPose = held.pose(0);
    const ErrorsInVariablesProblem::ScaleMeasurement measured = held.measureTargetScale(100);
    ASSERT_TRUE(measured.ok);
    // The solution itself stays at the described size, as solved.
    EXPECT_EQ(held.targetScale(), 1.0);
    EXPECT_EQ(cv::norm(held.pose(0), cameraPose, cv::NORM_INF), 0.0);

    ErrorsInVariablesProblem freed(1.0, held.noise(), NoiseEstimation());
    freed.estimateTargetScale(1.0);
    velk::test::addScene(freed, scene, {0, 1, 2, 3, 4});
    ASSERT_TRUE(freed.solve(100, summary, reason)) << reason;

    const double sigma = freed.targetScaleSigma();
    ASSERT_GT(sigma, 0.0);
    EXPECT_LT(std::abs(freed.targetScale() - 1.01), 4.0 * sigma);
    EXPECT_LT(std::abs(measured.scale - freed.targetScale()), 0.05 * sigma);
    EXPECT_NEAR(measured.sigma / sigma, 1.0, 0.05);
    EXPECT_NEAR(measured.noise.translation_m / freed.noise().translation_m, 1.0, 0.05);
}

TEST(TargetScaleMeasurement, NeedsACarriedSizeAndASolution) {
    const BoardScene scene = largerBoard(1.0, 0.3);
    ErrorsInVariablesProblem plain(1.0, scene.noise, NoiseEstimation());
    velk::test::addScene(plain, scene, {0, 1, 2, 3, 4});
    EXPECT_FALSE(plain.measureTargetScale(100).ok);
    ErrorsInVariablesProblem unsolved(1.0, scene.noise, NoiseEstimation());
    unsolved.carryTargetScale(1.0);
    velk::test::addScene(unsolved, scene, {0, 1, 2, 3, 4});
    EXPECT_FALSE(unsolved.measureTargetScale(100).ok);
}

}  // namespace
