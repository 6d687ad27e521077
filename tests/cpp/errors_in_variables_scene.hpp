#pragma once

// A small errors-in-variables scene with exact data: a planar board seen in a few views through a
// known transform with a small error, and the same problem built directly on the solver from the
// library's cost functions, weighted as the problem weights its groups, for the solver's own
// covariance and for laying its jacobian out in any order.

#include <array>
#include <deque>
#include <utility>
#include <vector>

#include <ceres/ceres.h>
#include <opencv2/calib3d.hpp>

#include "calibration/refinement/camera_block.hpp"
#include "calibration/refinement/corner_rows.hpp"
#include "calibration/refinement/corrected_reprojection_cost.hpp"
#include "calibration/refinement/correction_prior_cost.hpp"
#include "calibration/refinement/errors_in_variables_problem.hpp"
#include "calibration/refinement/intrinsic_prior_cost.hpp"
#include "calibration/refinement/pose_block.hpp"

namespace velk::test {

using calibration::CameraBlock;
using calibration::CorrectedReprojectionCost;
using calibration::CorrectionPriorCost;
using calibration::ErrorsInVariablesProblem;
using calibration::IntrinsicPriorCost;
using calibration::kIntrinsicCount;
using calibration::kModelledDistortion;
using calibration::kPoseParameterCount;
using calibration::ObservationNoise;
using calibration::PoseBlock;

inline cv::Mat transform(const cv::Vec3d& rotation_rad, const cv::Vec3d& translation_m) {
    cv::Mat a_T_b = cv::Mat::eye(4, 4, CV_64F);
    cv::Mat rotation;
    cv::Rodrigues(rotation_rad, rotation);
    rotation.copyTo(a_T_b(cv::Rect(0, 0, 3, 3)));
    for (int k = 0; k < 3; ++k) {
        a_T_b.at<double>(k, 3) = translation_m[k];
    }
    return a_T_b;
}

// How the scene's camera is treated: estimated with every coefficient its model has, or given with a
// prior on [fx, fy, cx, cy].
struct SceneCamera {
    bool free = false;
    std::vector<double> intrinsic_sigmas_px;  // used when not free
};

// Views of a 6 x 5 board (30 mm squares) under
//   camera_T_target = inv(camera_mount_T_camera) * E * mount * target_mount_T_target   (correction on the left)
//   camera_T_target = inv(camera_mount_T_camera) * mount * E * target_mount_T_target   (on the right)
// with each view's correction E a fraction of a millimetre and of a milliradian, and the corners
// projected exactly.
struct BoardScene {
    cv::Mat intrinsic_matrix = cv::Mat(cv::Matx33d(800.0, 0.0, 320.0, 0.0, 790.0, 240.0, 0.0, 0.0, 1.0));
    cv::Mat distortion = cv::Mat(cv::Matx14d(-0.12, 0.08, 0.001, -0.0005));  // k1 k2 p1 p2
    cv::Mat board_m;                                                         // corners, one per row, z = 0
    cv::Mat camera_mount_T_camera = transform({0.1, -0.2, 0.3}, {0.05, -0.03, 0.1});
    cv::Mat target_mount_T_target = transform({2.9, 0.1, -0.2}, {0.6, 0.2, -0.1});
    bool correction_on_left = true;
    SceneCamera camera;
    ObservationNoise noise{0.4, 4e-4, 1.5e-3};
    std::vector<cv::Mat> mounts;       // per view, camera mount <- target mount, as known
    std::vector<cv::Mat> corrections;  // per view, E
    std::vector<cv::Mat> pixels_px;    // per view, one corner per row
};

inline BoardScene boardScene(bool correction_on_left, const SceneCamera& camera) {
    BoardScene scene;
    scene.correction_on_left = correction_on_left;
    scene.camera = camera;
    std::vector<cv::Point3d> corners;
    for (int row = 0; row < 5; ++row) {
        for (int column = 0; column < 6; ++column) {
            corners.emplace_back(0.03 * column, 0.03 * row, 0.0);
        }
    }
    scene.board_m = cv::Mat(corners, true).reshape(1, static_cast<int>(corners.size()));
    const cv::Vec3d boardCentre_m(0.075, 0.06, 0.0);
    const std::vector<cv::Vec3d> tilts_rad = {
        {0.35, -0.1, 0.05}, {-0.3, 0.25, -0.2}, {0.1, 0.4, 0.6}, {-0.2, -0.35, -0.4}, {0.25, 0.3, 1.2}};
    const std::vector<double> distances_m = {0.45, 0.5, 0.55, 0.48, 0.6};
    for (size_t v = 0; v < tilts_rad.size(); ++v) {
        // The board's centre on the optical axis at the view's distance, turned by its tilt.
        cv::Mat rotation;
        cv::Rodrigues(tilts_rad[v], rotation);
        const cv::Mat centre = rotation * cv::Mat(boardCentre_m);
        const cv::Vec3d translation_m(-centre.at<double>(0), -centre.at<double>(1),
                                      distances_m[v] - centre.at<double>(2));
        const cv::Mat camera_T_target = transform(tilts_rad[v], translation_m);
        const double step = static_cast<double>(v) - 2.0;
        const cv::Mat E = transform({2e-4 * step, -3e-4, 1e-4 * step}, {3e-4, -2e-4 * step, 1e-4});
        const cv::Mat cameraMount_T_targetMount =
            scene.camera_mount_T_camera * camera_T_target * scene.target_mount_T_target.inv();
        scene.mounts.push_back(correction_on_left ? cv::Mat(E.inv() * cameraMount_T_targetMount)
                                                  : cv::Mat(cameraMount_T_targetMount * E.inv()));
        scene.corrections.push_back(E);
        cv::Mat pixels;
        cv::projectPoints(scene.board_m, tilts_rad[v], translation_m, scene.intrinsic_matrix, scene.distortion, pixels);
        scene.pixels_px.push_back(pixels.reshape(1, scene.board_m.rows));
    }
    return scene;
}

// The pose, camera and view indices of the scene in an ErrorsInVariablesProblem.
struct ProblemIndices {
    int camera = -1;
    int camera_pose = -1;
    int target_pose = -1;
    std::vector<int> views;  // per scene view
};

// Adds the scene's camera, both poses and the views in view_order (every view once) to the problem.
inline ProblemIndices addScene(ErrorsInVariablesProblem& problem, const BoardScene& scene,
                               const std::vector<int>& view_order) {
    ProblemIndices indices;
    indices.camera = problem.addCamera(scene.intrinsic_matrix, scene.distortion, scene.camera.free, 0,
                                       scene.camera.free ? std::vector<double>() : scene.camera.intrinsic_sigmas_px);
    indices.camera_pose = problem.addPose(scene.camera_mount_T_camera);
    indices.target_pose = problem.addPose(scene.target_mount_T_target);
    indices.views.assign(view_order.size(), -1);
    for (int v : view_order) {
        indices.views[v] =
            problem.addView(indices.camera, indices.camera_pose, scene.mounts[v], scene.correction_on_left,
                            indices.target_pose, scene.board_m, scene.pixels_px[v], scene.corrections[v]);
    }
    return indices;
}

// The scene's residual blocks of one view.
struct ViewResidualIds {
    std::vector<ceres::ResidualBlockId> corners;
    ceres::ResidualBlockId translation_prior = nullptr;
    ceres::ResidualBlockId rotation_prior = nullptr;
};

// The scene built directly on ceres::Problem from the same cost functions, each group's residuals
// weighted by 1 / sigma^2 through a scaled loss, and the free blocks in the order the
// errors-in-variables problem gives them columns: the poses, the corrections, the camera.
struct SolverScene {
    ceres::Problem problem;
    PoseBlock camera_pose;
    PoseBlock target_pose;
    CameraBlock camera;
    std::deque<std::array<double, kPoseParameterCount>> corrections;
    std::vector<ViewResidualIds> views;
    ceres::ResidualBlockId intrinsic_prior = nullptr;  // none for a free camera
    std::vector<double*> free_blocks;
    int column_count = 0;

    explicit SolverScene(const BoardScene& scene)
        : camera_pose(PoseBlock::fromMatrix(scene.camera_mount_T_camera)),
          target_pose(PoseBlock::fromMatrix(scene.target_mount_T_target)),
          camera(CameraBlock::fromMatrices(scene.intrinsic_matrix, scene.distortion, scene.camera.free, 0,
                                           "SolverScene")) {
        const ObservationNoise& noise = scene.noise;
        for (size_t v = 0; v < scene.corrections.size(); ++v) {
            double* correction = addCorrection(scene.corrections[v]);
            ViewResidualIds ids;
            for (int p = 0; p < scene.board_m.rows; ++p) {
                const auto corner = calibration::cornerCost(scene.board_m, scene.pixels_px[v], p, scene.mounts[v],
                                                            camera_pose, target_pose, camera);
                ids.corners.push_back(problem.AddResidualBlock(
                    CorrectedReprojectionCost::Create(corner, scene.correction_on_left), weight(noise.pixel_px),
                    camera_pose.parameters, target_pose.parameters, correction, camera.intrinsics, camera.distortion));
            }
            ids.rotation_prior =
                problem.AddResidualBlock(CorrectionPriorCost::Create(CorrectionPriorCost::Half::Rotation),
                                         weight(noise.rotation_rad), correction);
            ids.translation_prior =
                problem.AddResidualBlock(CorrectionPriorCost::Create(CorrectionPriorCost::Half::Translation),
                                         weight(noise.translation_m), correction);
            views.push_back(ids);
        }
        freeBlocks(scene.camera);
    }

    // The covariance of both poses' [w, t] and [fx, fy, cx, cy], 16 x 16 like
    // ErrorsInVariablesProblem::jointCovariance, from ceres::Covariance.
    bool covariance(cv::Mat& joint) {
        ceres::Covariance::Options options;
        options.algorithm_type = ceres::DENSE_SVD;
        ceres::Covariance covariance(options);
        const std::vector<std::pair<double*, int>> blocks = {{camera_pose.parameters, kPoseParameterCount},
                                                             {target_pose.parameters, kPoseParameterCount},
                                                             {camera.intrinsics, kIntrinsicCount}};
        std::vector<std::pair<const double*, const double*>> pairs;
        for (size_t a = 0; a < blocks.size(); ++a) {
            for (size_t b = a; b < blocks.size(); ++b) {
                pairs.emplace_back(blocks[a].first, blocks[b].first);
            }
        }
        if (!covariance.Compute(pairs, &problem)) {
            return false;
        }
        joint = cv::Mat::zeros(16, 16, CV_64F);
        int rowOffset = 0;
        for (size_t a = 0; a < blocks.size(); ++a) {
            int columnOffset = 0;
            for (size_t b = 0; b < blocks.size(); ++b) {
                cv::Mat block(blocks[a].second, blocks[b].second, CV_64F);
                covariance.GetCovarianceBlock(blocks[a].first, blocks[b].first, block.ptr<double>());
                block.copyTo(joint(cv::Rect(columnOffset, rowOffset, block.cols, block.rows)));
                columnOffset += blocks[b].second;
            }
            rowOffset += blocks[a].second;
        }
        return true;
    }

private:
    static ceres::LossFunction* weight(double sigma) {
        return new ceres::ScaledLoss(nullptr, 1.0 / (sigma * sigma), ceres::TAKE_OWNERSHIP);
    }

    double* addCorrection(const cv::Mat& E) {
        cv::Mat rotation_rad;
        cv::Rodrigues(E(cv::Rect(0, 0, 3, 3)).clone(), rotation_rad);
        std::array<double, kPoseParameterCount> w_t{};
        for (int k = 0; k < 3; ++k) {
            w_t[k] = rotation_rad.at<double>(k);
            w_t[3 + k] = E.at<double>(k, 3);
        }
        return corrections.emplace_back(w_t).data();
    }

    void freeBlock(double* block, int size, const std::vector<int>& fixed) {
        if (!fixed.empty()) {
            problem.SetManifold(block, new ceres::SubsetManifold(size, fixed));
        }
        free_blocks.push_back(block);
        column_count += size - static_cast<int>(fixed.size());
    }

    void freeBlocks(const SceneCamera& given) {
        freeBlock(camera_pose.parameters, kPoseParameterCount, {});
        freeBlock(target_pose.parameters, kPoseParameterCount, {});
        for (auto& correction : corrections) {
            freeBlock(correction.data(), kPoseParameterCount, {});
        }
        if (given.free) {
            freeBlock(camera.intrinsics, kIntrinsicCount, camera.fixed_intrinsics);
            freeBlock(camera.distortion, kModelledDistortion, camera.fixed_distortion);
            return;
        }
        intrinsic_prior = problem.AddResidualBlock(
            IntrinsicPriorCost::Create(camera.intrinsics, given.intrinsic_sigmas_px), nullptr, camera.intrinsics);
        freeBlock(camera.intrinsics, kIntrinsicCount, {});
        problem.SetParameterBlockConstant(camera.distortion);
    }
};

}  // namespace velk::test
