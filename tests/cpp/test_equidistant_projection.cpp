// The equidistant projection the refinement minimises against cv::fisheye, and the camera-model
// helpers every calibrator poses and projects with.
#include <cmath>
#include <random>

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>

#include "calibration/refinement/equidistant_projection.hpp"
#include "core/camera_projection.hpp"

namespace {

using velk::CameraModel;

const cv::Matx33d kCamera(458.4, 0.0, 639.5, 0.0, 457.9, 479.5, 0.0, 0.0, 1.0);
const cv::Vec4d kDistortion(0.02, -0.01, 0.003, -0.0005);

// Points in front of the camera up to 80 degrees off its axis, and one on the axis.
std::vector<cv::Point3d> cameraPoints() {
    std::mt19937 random(7);
    std::uniform_real_distribution<double> angle(0.0, 80.0 * CV_PI / 180.0), azimuth(0.0, 2.0 * CV_PI), depth(0.2, 2.0);
    std::vector<cv::Point3d> points{{0.0, 0.0, 0.5}};
    for (int k = 0; k < 200; ++k) {
        const double theta = angle(random), phi = azimuth(random), range = depth(random);
        points.emplace_back(range * std::sin(theta) * std::cos(phi), range * std::sin(theta) * std::sin(phi),
                            range * std::cos(theta));
    }
    return points;
}

TEST(EquidistantProjection, AgreesWithOpenCvFisheye) {
    const std::vector<cv::Point3d> points = cameraPoints();
    std::vector<cv::Point2d> expected;
    cv::fisheye::projectPoints(points, expected, cv::Vec3d(0, 0, 0), cv::Vec3d(0, 0, 0), kCamera, kDistortion);
    const double intrinsics[4] = {kCamera(0, 0), kCamera(1, 1), kCamera(0, 2), kCamera(1, 2)};
    for (size_t k = 0; k < points.size(); ++k) {
        const double point[3] = {points[k].x, points[k].y, points[k].z};
        double pixel[2];
        velk::calibration::projectEquidistantPoint(point, intrinsics, kDistortion.val, pixel);
        EXPECT_NEAR(pixel[0], expected[k].x, 1e-9) << k;
        EXPECT_NEAR(pixel[1], expected[k].y, 1e-9) << k;
    }
}

TEST(EquidistantProjection, DerivativesMatchFiniteDifferencesOnAndOffTheAxis) {
    using Jet = ceres::Jet<double, 3>;
    const double intrinsics[4] = {kCamera(0, 0), kCamera(1, 1), kCamera(0, 2), kCamera(1, 2)};
    for (const cv::Point3d& p : {cv::Point3d(0.0, 0.0, 0.7), cv::Point3d(1e-12, -1e-12, 0.7),
                                 cv::Point3d(0.3, -0.2, 0.4), cv::Point3d(1.5, 0.4, 0.2)}) {
        const Jet point[3] = {Jet(p.x, 0), Jet(p.y, 1), Jet(p.z, 2)};
        const Jet jetIntrinsics[4] = {Jet(intrinsics[0]), Jet(intrinsics[1]), Jet(intrinsics[2]), Jet(intrinsics[3])};
        const Jet jetDistortion[4] = {Jet(kDistortion[0]), Jet(kDistortion[1]), Jet(kDistortion[2]),
                                      Jet(kDistortion[3])};
        Jet pixel[2];
        velk::calibration::projectEquidistantPoint(point, jetIntrinsics, jetDistortion, pixel);
        const double step = 1e-7;
        for (int axis = 0; axis < 3; ++axis) {
            double plus[3] = {p.x, p.y, p.z}, minus[3] = {p.x, p.y, p.z};
            plus[axis] += step;
            minus[axis] -= step;
            double high[2], low[2];
            velk::calibration::projectEquidistantPoint(plus, intrinsics, kDistortion.val, high);
            velk::calibration::projectEquidistantPoint(minus, intrinsics, kDistortion.val, low);
            for (int c = 0; c < 2; ++c) {
                const double numeric = (high[c] - low[c]) / (2 * step);
                EXPECT_NEAR(pixel[c].v[axis], numeric, 1e-4 * (1.0 + std::abs(numeric))) << p << " axis " << axis;
            }
        }
    }
}

TEST(CameraProjection, NormalisedCoordinatesUndoTheProjection) {
    const std::vector<cv::Point3d> points = cameraPoints();
    const cv::Mat objects(points, true);
    for (CameraModel model : {CameraModel::Pinhole, CameraModel::Fisheye}) {
        const cv::Mat distortion = model == CameraModel::Fisheye
                                       ? cv::Mat(kDistortion, true)
                                       : (cv::Mat_<double>(1, 5) << -0.1, 0.01, 0.0, 0.0, 0.0);
        // The pinhole lens is tried within 45 degrees, where its distortion is invertible.
        cv::Mat chosen = objects;
        if (model == CameraModel::Pinhole) {
            std::vector<cv::Point3d> narrow;
            for (const auto& p : points) {
                if (std::hypot(p.x, p.y) < p.z)
                    narrow.push_back(p);
            }
            chosen = cv::Mat(narrow, true);
        }
        const cv::Mat pixels = velk::projectObjectPoints(model, chosen, cv::Mat::zeros(3, 1, CV_64F),
                                                         cv::Mat::zeros(3, 1, CV_64F), cv::Mat(kCamera), distortion);
        const cv::Mat normalised = velk::normalisedCoordinates(model, pixels, cv::Mat(kCamera), distortion);
        // cv::undistortPoints stops after a few fixed-point steps; the fisheye inversion converges.
        const double tolerance = model == CameraModel::Fisheye ? 1e-6 : 1e-4;
        ASSERT_EQ(normalised.rows, chosen.rows);
        for (int k = 0; k < chosen.rows; ++k) {
            const cv::Point3d p = chosen.at<cv::Point3d>(k);
            const cv::Vec2d n = normalised.at<cv::Vec2d>(k);
            EXPECT_NEAR(n[0], p.x / p.z, tolerance * (1.0 + std::abs(p.x / p.z))) << velk::cameraModelName(model) << k;
            EXPECT_NEAR(n[1], p.y / p.z, tolerance * (1.0 + std::abs(p.y / p.z))) << velk::cameraModelName(model) << k;
        }
    }
}

TEST(CameraProjection, FisheyePoseIsRecoveredFromItsOwnProjection) {
    std::vector<cv::Point3d> board;
    for (int r = 0; r < 6; ++r) {
        for (int c = 0; c < 4; ++c)
            board.emplace_back(0.04 * c, 0.04 * r, 0.0);
    }
    const cv::Vec3d rotation(0.4, -0.9, 0.2), translation(0.25, -0.1, 0.2);  // far off the axis
    const cv::Mat pixels = velk::projectObjectPoints(CameraModel::Fisheye, cv::Mat(board, true), cv::Mat(rotation),
                                                     cv::Mat(translation), cv::Mat(kCamera), cv::Mat(kDistortion));
    cv::Mat foundRotation, foundTranslation;
    ASSERT_TRUE(velk::solvePoseWithModel(CameraModel::Fisheye, cv::Mat(board, true), pixels, cv::Mat(kCamera),
                                         cv::Mat(kDistortion), foundRotation, foundTranslation));
    EXPECT_LT(cv::norm(foundRotation, cv::Mat(rotation)), 1e-8);
    EXPECT_LT(cv::norm(foundTranslation, cv::Mat(translation)), 1e-8);
}

TEST(CameraProjection, ModelNamesRoundTripAndUnknownNamesAreRefused) {
    for (CameraModel model : {CameraModel::Pinhole, CameraModel::Fisheye}) {
        EXPECT_EQ(velk::cameraModelFromName(velk::cameraModelName(model), "test"), model);
    }
    EXPECT_THROW(velk::cameraModelFromName("Fisheye", "test"), std::invalid_argument);
    EXPECT_THROW(velk::checkDistortionForModel(CameraModel::Fisheye, cv::Mat::zeros(1, 5, CV_64F), "test"),
                 std::invalid_argument);
    EXPECT_NO_THROW(velk::checkDistortionForModel(CameraModel::Pinhole, cv::Mat::zeros(1, 5, CV_64F), "test"));
}

}  // namespace
