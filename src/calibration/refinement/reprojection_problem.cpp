#include "calibration/refinement/reprojection_problem.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <deque>
#include <limits>
#include <map>
#include <stdexcept>
#include <utility>

#include <opencv2/calib3d.hpp>

#include "calibration/refinement/pose_block.hpp"
#include "calibration/refinement/reprojection_cost.hpp"
#include "calibration/refinement/robust_outliers.hpp"

namespace velk::calibration {
namespace {

constexpr double kRadiansToDegrees = 180.0 / CV_PI;
constexpr int kIntrinsicCount = 4;
constexpr int kPoseParameterCount = 6;
constexpr double kSolverTolerance = 1e-10;

struct CameraBlock {
    double intrinsics[kIntrinsicCount] = {0.0, 0.0, 0.0, 0.0};
    double distortion[kModelledDistortion] = {};
    int distortion_count = 0;  // coefficients the caller gave
    double skew = 0.0;
    std::vector<int> fixed_intrinsics;
    std::vector<int> fixed_distortion;
    bool free = false;
};

struct ViewBlocks {
    std::vector<ceres::ResidualBlockId> residuals;
};

cv::Mat asDoubleRows(const cv::Mat& points, int columns) {
    cv::Mat converted;
    points.convertTo(converted, CV_64F);
    return converted.reshape(1, static_cast<int>(converted.total() * converted.channels() / columns)).clone();
}

cv::Mat mountOrIdentity(const cv::Mat& mount) {
    cv::Mat converted;
    if (mount.empty()) {
        return cv::Mat::eye(4, 4, CV_64F);
    }
    mount.convertTo(converted, CV_64F);
    return converted;
}

// Parameters that stay at their starting values for a free camera.
void collectFixedParameters(CameraBlock& camera, int flags) {
    if (flags & (cv::CALIB_FIX_FOCAL_LENGTH | cv::CALIB_FIX_ASPECT_RATIO)) {
        camera.fixed_intrinsics.insert(camera.fixed_intrinsics.end(), {0, 1});
    }
    if (flags & cv::CALIB_FIX_PRINCIPAL_POINT) {
        camera.fixed_intrinsics.insert(camera.fixed_intrinsics.end(), {2, 3});
    }
    const std::pair<int, std::vector<int>> distortionFlags[] = {
        {cv::CALIB_FIX_K1, {0}},     {cv::CALIB_FIX_K2, {1}},        {cv::CALIB_ZERO_TANGENT_DIST, {2, 3}},
        {cv::CALIB_FIX_K3, {4}},     {cv::CALIB_FIX_K4, {5}},        {cv::CALIB_FIX_K5, {6}},
        {cv::CALIB_FIX_K6, {7}},     {cv::CALIB_FIX_S1_S2_S3_S4, {8, 9, 10, 11}}};
    for (int k = 0; k < kModelledDistortion; ++k) {
        bool fixed = k >= camera.distortion_count;
        for (const auto& [flag, indices] : distortionFlags) {
            fixed = fixed || ((flags & flag) && std::find(indices.begin(), indices.end(), k) != indices.end());
        }
        if (fixed) {
            camera.fixed_distortion.push_back(k);
        }
    }
}

double squaredNorm(const double* values, int count) {
    double sum = 0.0;
    for (int k = 0; k < count; ++k) {
        sum += values[k] * values[k];
    }
    return sum;
}

}  // namespace

struct ReprojectionProblem::State {
    explicit State(double huberScale) : loss(huberScale) {
        ceres::Problem::Options options;
        options.loss_function_ownership = ceres::DO_NOT_TAKE_OWNERSHIP;
        problem = std::make_unique<ceres::Problem>(options);
    }

    ceres::HuberLoss loss;
    std::unique_ptr<ceres::Problem> problem;
    std::deque<PoseBlock> poses;
    std::vector<bool> constant_poses;
    std::vector<int> pose_uses;
    std::deque<CameraBlock> cameras;
    std::vector<int> camera_uses;
    std::vector<ViewBlocks> views;
    std::map<int, std::array<double, 36>> pose_covariances;
    std::map<int, std::array<double, 16>> intrinsic_covariances;
    double covariance_scale = 0.0;

    void addCameraBlocks(CameraBlock& camera) {
        problem->AddParameterBlock(camera.intrinsics, kIntrinsicCount);
        problem->AddParameterBlock(camera.distortion, kModelledDistortion);
        fixParameters(camera.intrinsics, kIntrinsicCount, camera.free ? camera.fixed_intrinsics : std::vector<int>{},
                      !camera.free);
        fixParameters(camera.distortion, kModelledDistortion,
                      camera.free ? camera.fixed_distortion : std::vector<int>{}, !camera.free);
    }

    void fixParameters(double* block, int size, const std::vector<int>& fixed, bool allFixed) {
        if (allFixed || static_cast<int>(fixed.size()) == size) {
            problem->SetParameterBlockConstant(block);
        } else if (!fixed.empty()) {
            problem->SetManifold(block, new ceres::SubsetManifold(size, fixed));
        }
    }
};

ReprojectionProblem::ReprojectionProblem(double huber_scale_px) {
    if (!(huber_scale_px > 0.0) || !std::isfinite(huber_scale_px)) {
        throw std::invalid_argument("ReprojectionProblem: huber_scale_px must be a positive number of pixels");
    }
    state_ = std::make_unique<State>(huber_scale_px);
}

ReprojectionProblem::~ReprojectionProblem() = default;

int ReprojectionProblem::addCamera(const cv::Mat& intrinsic_matrix, const cv::Mat& distortion, bool free,
                                   int calibration_flags) {
    if (intrinsic_matrix.rows != 3 || intrinsic_matrix.cols != 3) {
        throw std::invalid_argument("ReprojectionProblem: the intrinsic matrix must be 3 x 3");
    }
    cv::Mat k, d;
    intrinsic_matrix.convertTo(k, CV_64F);
    if (!distortion.empty()) {
        distortion.convertTo(d, CV_64F);
        d = d.reshape(1, 1);
    }
    if (d.total() > static_cast<size_t>(kModelledDistortion)) {
        throw std::invalid_argument("ReprojectionProblem: distortion models with more than 12 coefficients "
                                    "(tilted sensors) cannot be refined");
    }
    CameraBlock& camera = state_->cameras.emplace_back();
    camera.intrinsics[0] = k.at<double>(0, 0);
    camera.intrinsics[1] = k.at<double>(1, 1);
    camera.intrinsics[2] = k.at<double>(0, 2);
    camera.intrinsics[3] = k.at<double>(1, 2);
    camera.skew = k.at<double>(0, 1);
    camera.distortion_count = static_cast<int>(d.total());
    for (int c = 0; c < camera.distortion_count; ++c) {
        camera.distortion[c] = d.at<double>(c);
    }
    camera.free = free;
    collectFixedParameters(camera, calibration_flags);
    state_->addCameraBlocks(camera);
    state_->camera_uses.push_back(0);
    return static_cast<int>(state_->cameras.size()) - 1;
}

int ReprojectionProblem::addPose(const cv::Mat& transformation, bool constant) {
    PoseBlock& pose = state_->poses.emplace_back(PoseBlock::fromMatrix(transformation));
    state_->problem->AddParameterBlock(pose.parameters, kPoseParameterCount);
    if (constant) {
        state_->problem->SetParameterBlockConstant(pose.parameters);
    }
    state_->constant_poses.push_back(constant);
    state_->pose_uses.push_back(0);
    return static_cast<int>(state_->poses.size()) - 1;
}

int ReprojectionProblem::addView(int camera, int camera_pose, const cv::Mat& mount, int target_pose,
                                 const cv::Mat& object_points, const cv::Mat& image_points) {
    const cv::Mat objects = asDoubleRows(object_points, 3);
    const cv::Mat pixels = asDoubleRows(image_points, 2);
    if (objects.rows != pixels.rows) {
        throw std::invalid_argument("ReprojectionProblem: a view needs as many object points as image points");
    }
    const cv::Mat m = mountOrIdentity(mount);
    CameraBlock& cameraBlock = state_->cameras.at(camera);
    PoseBlock& cameraPose = state_->poses.at(camera_pose);
    PoseBlock& targetPose = state_->poses.at(target_pose);
    ViewBlocks view;
    for (int p = 0; p < objects.rows; ++p) {
        auto* cost = new ReprojectionCost{};
        for (int k = 0; k < 3; ++k) {
            cost->object[k] = objects.at<double>(p, k);
            cost->mount_translation[k] = m.at<double>(k, 3);
            for (int c = 0; c < 3; ++c) {
                cost->mount_rotation[3 * k + c] = m.at<double>(k, c);
            }
        }
        cost->observed[0] = pixels.at<double>(p, 0);
        cost->observed[1] = pixels.at<double>(p, 1);
        cost->camera_base = cameraPose.base_rotation;
        cost->target_base = targetPose.base_rotation;
        auto* function =
            new ceres::AutoDiffCostFunction<ReprojectionCost, 2, kPoseParameterCount, kPoseParameterCount,
                                            kIntrinsicCount, kModelledDistortion>(cost);
        view.residuals.push_back(state_->problem->AddResidualBlock(function, &state_->loss, cameraPose.parameters,
                                                                   targetPose.parameters, cameraBlock.intrinsics,
                                                                   cameraBlock.distortion));
    }
    ++state_->camera_uses[camera];
    ++state_->pose_uses[camera_pose];
    ++state_->pose_uses[target_pose];
    state_->views.push_back(std::move(view));
    return static_cast<int>(state_->views.size()) - 1;
}

bool ReprojectionProblem::solve(int max_iterations, RefinementSummary& summary, std::string& reason) {
    holdUnusedBlocks();
    ceres::Solver::Options options;
    options.linear_solver_type = ceres::DENSE_SCHUR;
    options.max_num_iterations = std::max(1, max_iterations);
    options.num_threads = 1;
    options.logging_type = ceres::SILENT;
    options.minimizer_progress_to_stdout = false;
    options.function_tolerance = kSolverTolerance;
    options.parameter_tolerance = kSolverTolerance;
    ceres::Solver::Summary report;
    ceres::Solve(options, state_->problem.get(), &report);

    summary.iterations = report.num_successful_steps + report.num_unsuccessful_steps;
    summary.initial_cost = report.initial_cost;
    summary.final_cost = report.final_cost;
    summary.converged = report.termination_type == ceres::CONVERGENCE;
    summary.message = report.message;
    for (PoseBlock& pose : state_->poses) {
        pose.absorbRotationUpdate();
    }
    if (report.termination_type == ceres::NO_CONVERGENCE) {
        reason = "the solver did not converge within " + std::to_string(options.max_num_iterations) + " iterations";
        return false;
    }
    if (!summary.converged) {
        reason = "the solver failed: " + report.message;
        return false;
    }
    const bool finiteCost = std::isfinite(report.final_cost) && report.final_cost <= report.initial_cost;
    const bool finitePoses = std::all_of(state_->poses.begin(), state_->poses.end(),
                                         [](const PoseBlock& pose) { return pose.isFinite(); });
    const bool finiteCameras = std::all_of(state_->cameras.begin(), state_->cameras.end(), [](const CameraBlock& c) {
        return std::isfinite(squaredNorm(c.intrinsics, kIntrinsicCount) + squaredNorm(c.distortion, kModelledDistortion));
    });
    if (!finiteCost || !finitePoses || !finiteCameras) {
        reason = "the solver left non-finite values";
        summary.converged = false;
        return false;
    }
    return true;
}

// Blocks no corner depends on stay where they are: nothing determines them.
void ReprojectionProblem::holdUnusedBlocks() {
    for (size_t p = 0; p < state_->poses.size(); ++p) {
        if (state_->pose_uses[p] == 0 && !state_->constant_poses[p]) {
            state_->problem->SetParameterBlockConstant(state_->poses[p].parameters);
        }
    }
    for (size_t c = 0; c < state_->cameras.size(); ++c) {
        if (state_->camera_uses[c] == 0 && state_->cameras[c].free) {
            state_->problem->SetParameterBlockConstant(state_->cameras[c].intrinsics);
            state_->problem->SetParameterBlockConstant(state_->cameras[c].distortion);
        }
    }
}

ViewResiduals ReprojectionProblem::viewResiduals(double outlier_z_score) const {
    ViewResiduals result;
    double total = 0.0;
    size_t corners = 0;
    std::vector<double> cornerCounts;
    for (const ViewBlocks& view : state_->views) {
        cornerCounts.push_back(static_cast<double>(view.residuals.size()));
        double sum = 0.0;
        for (ceres::ResidualBlockId id : view.residuals) {
            double cost = 0.0;
            double residual[2];
            state_->problem->EvaluateResidualBlock(id, false, &cost, residual, nullptr);
            sum += squaredNorm(residual, 2);
        }
        total += sum;
        corners += view.residuals.size();
        result.per_view_rms_px.push_back(view.residuals.empty() ? 0.0
                                                                : std::sqrt(sum / view.residuals.size()));
    }
    result.rms_px = corners ? std::sqrt(total / corners) : 0.0;
    const double noiseMad = noiseMadOfRms(medianOf(result.per_view_rms_px), medianOf(cornerCounts));
    result.outlier_views = robustOutliers(result.per_view_rms_px, outlier_z_score, noiseMad);
    return result;
}

int ReprojectionProblem::residualCount() const {
    int count = 0;
    for (const ViewBlocks& view : state_->views) {
        count += 2 * static_cast<int>(view.residuals.size());
    }
    return count;
}

int ReprojectionProblem::freeParameterCount() const {
    int count = 0;
    for (size_t p = 0; p < state_->poses.size(); ++p) {
        if (!state_->constant_poses[p] && state_->pose_uses[p] > 0) {
            count += kPoseParameterCount;
        }
    }
    for (size_t c = 0; c < state_->cameras.size(); ++c) {
        const CameraBlock& camera = state_->cameras[c];
        if (camera.free && state_->camera_uses[c] > 0) {
            count += kIntrinsicCount - static_cast<int>(camera.fixed_intrinsics.size()) + kModelledDistortion -
                     static_cast<int>(camera.fixed_distortion.size());
        }
    }
    return count;
}

double ReprojectionProblem::residualVariance() const {
    const int degreesOfFreedom = residualCount() - freeParameterCount();
    if (degreesOfFreedom <= 0) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    double sum = 0.0;
    for (const ViewBlocks& view : state_->views) {
        for (ceres::ResidualBlockId id : view.residuals) {
            double cost = 0.0;
            double residual[2];
            state_->problem->EvaluateResidualBlock(id, false, &cost, residual, nullptr);
            sum += squaredNorm(residual, 2);
        }
    }
    return sum / degreesOfFreedom;
}

bool ReprojectionProblem::computeCovariance(const std::vector<int>& poses, const std::vector<int>& cameras,
                                            std::string& reason) {
    state_->pose_covariances.clear();
    state_->intrinsic_covariances.clear();
    const double scale = residualVariance();
    if (!std::isfinite(scale)) {
        reason = "too few corners for the number of parameters";
        return false;
    }
    std::vector<std::pair<const double*, const double*>> blocks;
    for (int p : poses) {
        if (!state_->constant_poses.at(p) && state_->pose_uses[p] > 0) {
            blocks.emplace_back(state_->poses[p].parameters, state_->poses[p].parameters);
        }
    }
    for (int c : cameras) {
        if (state_->cameras.at(c).free && state_->camera_uses[c] > 0) {
            blocks.emplace_back(state_->cameras[c].intrinsics, state_->cameras[c].intrinsics);
        }
    }
    ceres::Covariance::Options options;
    options.algorithm_type = ceres::DENSE_SVD;
    options.num_threads = 1;
    ceres::Covariance covariance(options);
    if (!covariance.Compute(blocks, state_->problem.get())) {
        reason = "the covariance at the solution is singular";
        return false;
    }
    for (int p : poses) {
        std::array<double, 36> values{};
        if (!state_->constant_poses[p] && state_->pose_uses[p] > 0) {
            covariance.GetCovarianceBlock(state_->poses[p].parameters, state_->poses[p].parameters, values.data());
        }
        state_->pose_covariances[p] = values;
    }
    for (int c : cameras) {
        std::array<double, 16> values{};
        if (state_->cameras[c].free && state_->camera_uses[c] > 0) {
            covariance.GetCovarianceBlock(state_->cameras[c].intrinsics, state_->cameras[c].intrinsics,
                                          values.data());
        }
        state_->intrinsic_covariances[c] = values;
    }
    for (const auto& entry : state_->pose_covariances) {
        for (double v : entry.second) {
            if (!std::isfinite(v)) {
                reason = "the covariance at the solution is not finite";
                return false;
            }
        }
    }
    state_->covariance_scale = scale;
    return true;
}

PoseSigma ReprojectionProblem::poseSigma(int pose) const {
    const std::array<double, 36>& c = state_->pose_covariances.at(pose);
    const double s = state_->covariance_scale;
    PoseSigma sigma;
    double rotationTrace = 0.0, translationTrace = 0.0;
    for (int k = 0; k < 3; ++k) {
        const double rotationVariance = std::max(0.0, s * c[7 * k]);
        const double translationVariance = std::max(0.0, s * c[7 * (k + 3)]);
        sigma.rotation_deg[k] = std::sqrt(rotationVariance) * kRadiansToDegrees;
        sigma.translation_mm[k] = std::sqrt(translationVariance) * 1000.0;
        rotationTrace += rotationVariance;
        translationTrace += translationVariance;
    }
    sigma.rotation_norm_deg = std::sqrt(rotationTrace) * kRadiansToDegrees;
    sigma.translation_norm_mm = std::sqrt(translationTrace) * 1000.0;
    return sigma;
}

std::vector<double> ReprojectionProblem::intrinsicSigmas(int camera) const {
    const std::array<double, 16>& c = state_->intrinsic_covariances.at(camera);
    std::vector<double> sigmas;
    for (int k = 0; k < kIntrinsicCount; ++k) {
        sigmas.push_back(std::sqrt(std::max(0.0, state_->covariance_scale * c[5 * k])));
    }
    return sigmas;
}

cv::Mat ReprojectionProblem::pose(int index) const { return state_->poses.at(index).matrix(); }

cv::Mat ReprojectionProblem::intrinsicMatrix(int camera) const {
    const CameraBlock& c = state_->cameras.at(camera);
    return cv::Mat(cv::Matx33d(c.intrinsics[0], c.skew, c.intrinsics[2], 0.0, c.intrinsics[1], c.intrinsics[3], 0.0,
                               0.0, 1.0));
}

cv::Mat ReprojectionProblem::distortion(int camera) const {
    const CameraBlock& c = state_->cameras.at(camera);
    cv::Mat coefficients(1, c.distortion_count, CV_64F);
    for (int k = 0; k < c.distortion_count; ++k) {
        coefficients.at<double>(k) = c.distortion[k];
    }
    return coefficients;
}

}  // namespace velk::calibration
