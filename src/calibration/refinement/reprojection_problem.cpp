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

#include "calibration/refinement/camera_block.hpp"
#include "calibration/refinement/corner_rows.hpp"
#include "calibration/refinement/jacobian_layout.hpp"
#include "calibration/refinement/leave_one_out.hpp"
#include "calibration/refinement/pose_block.hpp"
#include "calibration/refinement/reprojection_cost.hpp"
#include "calibration/refinement/solver_run.hpp"
#include "calibration/refinement/view_corner_cost.hpp"
#include "calibration/refinement/view_residuals.hpp"

namespace velk::calibration {
namespace {

struct ViewBlocks {
    std::vector<ceres::ResidualBlockId> residuals;
    cv::Mat observed;  // N x 2 CV_64F pixels, one row per residual block
    int target_pose = 0;
};

// A block the solver moves: where its columns start and which of its parameters they are.
struct FreeBlock {
    double* values = nullptr;
    int size = 0;
    std::vector<int> parameters;
    int offset = 0;
};

}  // namespace

struct ReprojectionProblem::State {
    explicit State(double huberScale) : huber_scale(huberScale), loss(huberScale) {
        ceres::Problem::Options options;
        options.loss_function_ownership = ceres::DO_NOT_TAKE_OWNERSHIP;
        problem = std::make_unique<ceres::Problem>(options);
    }

    double huber_scale;
    ceres::HuberLoss loss;
    std::unique_ptr<ceres::Problem> problem;
    std::deque<PoseBlock> poses;
    std::vector<bool> constant_poses;
    std::vector<int> pose_uses;
    std::deque<CameraBlock> cameras;
    std::vector<int> camera_uses;
    std::vector<ViewBlocks> views;
    // Each view's camera_T_target, shared by its corners' costs.
    std::deque<ViewTransform> view_transforms;
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

    // The blocks the solver moves, in column order: the poses, then each camera's intrinsics and distortion.
    std::vector<FreeBlock> freeBlocks() const {
        std::vector<FreeBlock> free;
        int columns = 0;
        const auto add = [this, &free, &columns](double* block, int size, const std::vector<int>& fixed) {
            if (problem->IsParameterBlockConstant(block)) {
                return;
            }
            FreeBlock entry{block, size, {}, columns};
            for (int k = 0; k < size; ++k) {
                if (std::find(fixed.begin(), fixed.end(), k) == fixed.end()) {
                    entry.parameters.push_back(k);
                }
            }
            columns += static_cast<int>(entry.parameters.size());
            free.push_back(std::move(entry));
        };
        for (const PoseBlock& pose : poses) {
            add(const_cast<double*>(pose.parameters), kPoseParameterCount, {});
        }
        for (const CameraBlock& camera : cameras) {
            add(const_cast<double*>(camera.intrinsics), kIntrinsicCount, camera.fixed_intrinsics);
            add(const_cast<double*>(camera.distortion), kModelledDistortion, camera.fixed_distortion);
        }
        return free;
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
                                   int calibration_flags, CameraModel model) {
    CameraBlock& camera = state_->cameras.emplace_back(
        CameraBlock::fromMatrices(intrinsic_matrix, distortion, free, calibration_flags, "ReprojectionProblem", model));
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
    view.observed = pixels;
    ViewTransform* transform = nullptr;
    for (int p = 0; p < objects.rows; ++p) {
        const ReprojectionCost corner = cornerCost(objects, pixels, p, m, cameraPose, targetPose, cameraBlock);
        if (transform == nullptr) {
            transform = &state_->view_transforms.emplace_back(CorrectedReprojectionCost{corner, true}, nullptr);
        }
        view.residuals.push_back(state_->problem->AddResidualBlock(
            new MountedViewCornerCost(corner, transform), &state_->loss, cameraPose.parameters, targetPose.parameters,
            cameraBlock.intrinsics, cameraBlock.distortion));
    }
    view.target_pose = target_pose;
    ++state_->camera_uses[camera];
    ++state_->pose_uses[camera_pose];
    ++state_->pose_uses[target_pose];
    state_->views.push_back(std::move(view));
    return static_cast<int>(state_->views.size()) - 1;
}

bool ReprojectionProblem::solve(int max_iterations, RefinementSummary& summary, std::string& reason, double tolerance) {
    holdUnusedBlocks();
    return runSolver(*state_->problem, max_iterations, state_->poses, state_->cameras, summary, reason, tolerance);
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
    ViewResidualBlocks views;
    std::vector<cv::Mat> observed;
    for (const ViewBlocks& view : state_->views) {
        views.push_back(view.residuals);
        observed.push_back(view.observed);
    }
    ViewResiduals residuals = summarizeViewResiduals(*state_->problem, views, outlier_z_score);
    residuals.projected_corners = projectedCorners(*state_->problem, views, observed);
    return residuals;
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
            count += camera.freeParameterCount();
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
        sum += squaredPixelResiduals(*state_->problem, view.residuals);
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
            covariance.GetCovarianceBlock(state_->cameras[c].intrinsics, state_->cameras[c].intrinsics, values.data());
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
    return poseSigmaFromCovariance(state_->pose_covariances.at(pose).data(), state_->covariance_scale);
}

std::vector<double> ReprojectionProblem::intrinsicSigmas(int camera) const {
    const std::array<double, 16>& c = state_->intrinsic_covariances.at(camera);
    std::vector<double> sigmas;
    for (int k = 0; k < kIntrinsicCount; ++k) {
        sigmas.push_back(std::sqrt(std::max(0.0, state_->covariance_scale * c[5 * k])));
    }
    return sigmas;
}

std::vector<LeftOutBundle> ReprojectionProblem::leaveEachTargetPoseOut(const std::vector<int>& target_poses) {
    State& s = *state_;
    holdUnusedBlocks();
    const std::vector<FreeBlock> free = s.freeBlocks();
    // The rows of each target pose's views together, as one left-out group.
    JacobianLayout rows;
    rows.views.resize(target_poses.size());
    size_t placed = 0;
    for (size_t g = 0; g < target_poses.size(); ++g) {
        std::vector<ceres::ResidualBlockId> blocks;
        for (const ViewBlocks& view : s.views) {
            if (view.target_pose == target_poses[g]) {
                blocks.insert(blocks.end(), view.residuals.begin(), view.residuals.end());
                ++placed;
            }
        }
        rows.views[g].corners = rows.append(*s.problem, blocks, 0);
    }
    if (placed != s.views.size()) {
        throw std::invalid_argument("ReprojectionProblem: every view's target pose must be left out in turn");
    }
    // Columns: the target poses' own are local to their group, every other one is shared.
    int columnCount = 0;
    std::vector<double*> blockValues;
    std::vector<LocalColumns> local(target_poses.size());
    for (const FreeBlock& block : free) {
        columnCount += static_cast<int>(block.parameters.size());
        blockValues.push_back(block.values);
        for (size_t g = 0; g < target_poses.size(); ++g) {
            if (block.values == s.poses.at(target_poses[g]).parameters) {
                local[g] = {block.offset, static_cast<int>(block.parameters.size())};
            }
        }
    }
    SharedColumns shared;
    shared.index.assign(columnCount, -1);
    for (int c = 0; c < columnCount; ++c) {
        const bool own = std::any_of(local.begin(), local.end(), [c](const LocalColumns& l) { return l.contains(c); });
        shared.index[c] = own ? -1 : shared.count++;
    }
    GroupedLinearisation lin;
    if (!lineariseInLayout(*s.problem, blockValues, columnCount, rows, {1.0, 1.0, 1.0, 1.0}, lin)) {
        throw std::runtime_error("ReprojectionProblem: the problem could not be evaluated at its values");
    }
    const std::vector<LeftOutStep> steps = leaveOneViewOut(lin, rows, shared, local, s.huber_scale);

    std::vector<std::vector<double>> solution;
    for (const FreeBlock& block : free) {
        solution.emplace_back(block.values, block.values + block.size);
    }
    std::vector<LeftOutBundle> bundles(steps.size());
    for (size_t g = 0; g < steps.size(); ++g) {
        if (!steps[g].ok) {
            continue;
        }
        for (const FreeBlock& block : free) {
            for (size_t k = 0; k < block.parameters.size(); ++k) {
                const int place = shared.index[block.offset + static_cast<int>(k)];
                if (place >= 0) {
                    block.values[block.parameters[k]] += steps[g].step[place];
                }
            }
        }
        LeftOutBundle& bundle = bundles[g];
        bundle.ok = true;
        for (size_t p = 0; p < s.poses.size(); ++p) {
            bundle.poses.push_back(pose(static_cast<int>(p)));
        }
        for (size_t c = 0; c < s.cameras.size(); ++c) {
            bundle.intrinsic_matrices.push_back(intrinsicMatrix(static_cast<int>(c)));
            bundle.distortions.push_back(distortion(static_cast<int>(c)));
        }
        for (size_t b = 0; b < free.size(); ++b) {
            std::copy(solution[b].begin(), solution[b].end(), free[b].values);
        }
    }
    return bundles;
}

cv::Mat ReprojectionProblem::pose(int index) const {
    return state_->poses.at(index).matrix();
}

cv::Mat ReprojectionProblem::intrinsicMatrix(int camera) const {
    return state_->cameras.at(camera).intrinsicMatrix();
}

cv::Mat ReprojectionProblem::distortion(int camera) const {
    return state_->cameras.at(camera).distortionCoefficients();
}

}  // namespace velk::calibration
