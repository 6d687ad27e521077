#include "calibration/refinement/errors_in_variables_problem.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <deque>
#include <map>
#include <stdexcept>
#include <utility>

#include <Eigen/Dense>
#include <opencv2/calib3d.hpp>

#include "calibration/refinement/camera_block.hpp"
#include "calibration/refinement/corner_rows.hpp"
#include "calibration/refinement/corrected_reprojection_cost.hpp"
#include "calibration/refinement/pose_block.hpp"
#include "calibration/refinement/solver_run.hpp"
#include "calibration/refinement/variance_components.hpp"
#include "calibration/refinement/view_residuals.hpp"

namespace velk::calibration {
namespace {

constexpr int kPoseParameterCount = 6;
constexpr int kMaxNoiseRounds = 30;
constexpr double kSettledChange = 0.01;
// Changes of a level below these count as settled whatever their relative size: a robot that is
// exact to a micrometre need not be pinned down further.
constexpr double kNegligiblePixel = 1e-4, kNegligibleTranslation = 1e-6, kNegligibleRotation = 2e-6;
// Each round is solved to this relative change: far below what moves the noise levels or the
// result against its uncertainty.
constexpr double kRoundTolerance = 1e-7;
constexpr double kFinalTolerance = 1e-10;  // relative change of every level below which they have settled

// Bounds of the estimated levels: below the lower ones the weights would swamp the solver,
// above the upper ones the data say nothing sensible anyway.
constexpr double kMinPixel = 1e-3, kMaxPixel = 1e3;
constexpr double kMinTranslation = 1e-5, kMaxTranslation = 1.0;
constexpr double kMinRotation = 1e-5, kMaxRotation = 1.0;

enum Group { kPixelGroup = 0, kTranslationGroup = 1, kRotationGroup = 2, kFixedPriorGroup = 3, kGroupCount = 4 };

// A residual group's weight 1 / sigma^2, with an optional Huber bound on the raw residual, that
// can change between solves.
class GroupLoss : public ceres::LossFunction {
public:
    explicit GroupLoss(double huber_bound) : huber_bound_(huber_bound) {}
    void setSigma(double sigma) { weight_ = 1.0 / (sigma * sigma); }

    void Evaluate(double s, double rho[3]) const override {
        if (huber_bound_ > 0.0 && s > huber_bound_ * huber_bound_) {
            const double r = std::sqrt(s);
            rho[0] = 2.0 * huber_bound_ * r - huber_bound_ * huber_bound_;
            rho[1] = huber_bound_ / r;
            rho[2] = -rho[1] / (2.0 * s);
        } else {
            rho[0] = s;
            rho[1] = 1.0;
            rho[2] = 0.0;
        }
        for (int k = 0; k < 3; ++k) {
            rho[k] *= weight_;
        }
    }

private:
    double huber_bound_;
    double weight_ = 1.0;
};

struct ViewBlocks {
    std::vector<ceres::ResidualBlockId> residuals;
    cv::Mat observed;  // N x 2 CV_64F pixels, one row per residual block
};

// Where a free parameter block sits among the jacobian's columns, and which of its parameters
// each of its columns is (blocks with fixed parameters have fewer columns than parameters).
struct BlockColumns {
    int offset = 0;
    std::vector<int> parameters;
};

// [w, t] of a 4 x 4 transform; zero for an empty one.
std::array<double, kPoseParameterCount> correctionParameters(const cv::Mat& transformation) {
    std::array<double, kPoseParameterCount> parameters{};
    if (transformation.empty()) {
        return parameters;
    }
    cv::Mat pose, angleAxis;
    transformation.convertTo(pose, CV_64F);
    cv::Rodrigues(pose(cv::Rect(0, 0, 3, 3)).clone(), angleAxis);
    for (int k = 0; k < 3; ++k) {
        parameters[k] = angleAxis.at<double>(k);
        parameters[3 + k] = pose.at<double>(k, 3);
    }
    return parameters;
}

double clamp(double value, double low, double high) { return std::min(high, std::max(low, value)); }

void checkIntrinsicSigmas(const std::vector<double>& sigmas) {
    if (sigmas.empty()) {
        return;
    }
    if (sigmas.size() != kIntrinsicCount) {
        throw std::invalid_argument("ErrorsInVariablesProblem: intrinsic_sigmas must hold [fx, fy, cx, cy]");
    }
    for (double sigma : sigmas) {
        if (!(sigma > 0.0) || !std::isfinite(sigma)) {
            throw std::invalid_argument("ErrorsInVariablesProblem: intrinsic sigmas must be positive pixels");
        }
    }
}

}  // namespace

struct ErrorsInVariablesProblem::State {
    State(double huberScale, const ObservationNoise& start, const NoiseEstimation& estimation)
        : pixel_loss(huberScale), translation_loss(0.0), rotation_loss(0.0), noise(start), estimate(estimation) {
        ceres::Problem::Options options;
        options.loss_function_ownership = ceres::DO_NOT_TAKE_OWNERSHIP;
        problem = std::make_unique<ceres::Problem>(options);
        noise.pixel_px = clamp(noise.pixel_px, kMinPixel, kMaxPixel);
        noise.translation_m = clamp(noise.translation_m, kMinTranslation, kMaxTranslation);
        noise.rotation_rad = clamp(noise.rotation_rad, kMinRotation, kMaxRotation);
    }

    GroupLoss pixel_loss;
    GroupLoss translation_loss;
    GroupLoss rotation_loss;
    ObservationNoise noise;
    NoiseEstimation estimate;
    bool settled = false;
    int rounds = 0;

    std::unique_ptr<ceres::Problem> problem;
    std::deque<PoseBlock> poses;
    std::vector<int> pose_uses;
    std::deque<CameraBlock> cameras;
    std::vector<bool> camera_has_prior;
    std::vector<int> camera_uses;
    std::deque<std::array<double, kPoseParameterCount>> corrections;  // [w, t] of each view's E
    std::vector<ViewBlocks> views;
    std::vector<ceres::ResidualBlockId> translation_priors;
    std::vector<ceres::ResidualBlockId> rotation_priors;
    std::vector<ceres::ResidualBlockId> fixed_priors;
    std::vector<int> fixed_prior_sizes;

    std::vector<double*> free_blocks;
    std::map<const double*, BlockColumns> columns;
    std::vector<double> covariance;
    int column_count = 0;

    void applyWeights() {
        pixel_loss.setSigma(noise.pixel_px);
        translation_loss.setSigma(noise.translation_m);
        rotation_loss.setSigma(noise.rotation_rad);
    }

    void addFreeBlock(double* block, int size, const std::vector<int>& fixed) {
        BlockColumns entry;
        entry.offset = column_count;
        for (int k = 0; k < size; ++k) {
            if (std::find(fixed.begin(), fixed.end(), k) == fixed.end()) {
                entry.parameters.push_back(k);
            }
        }
        if (entry.parameters.empty()) {
            problem->SetParameterBlockConstant(block);
            return;
        }
        if (static_cast<int>(entry.parameters.size()) < size) {
            problem->SetManifold(block, new ceres::SubsetManifold(size, fixed));
        }
        column_count += static_cast<int>(entry.parameters.size());
        columns[block] = entry;
        free_blocks.push_back(block);
    }

    // Decides, once before the first solve, which blocks are free and where their columns sit.
    void settleBlocks() {
        free_blocks.clear();
        columns.clear();
        column_count = 0;
        for (size_t p = 0; p < poses.size(); ++p) {
            if (pose_uses[p] > 0) {
                addFreeBlock(poses[p].parameters, kPoseParameterCount, {});
            } else {
                problem->SetParameterBlockConstant(poses[p].parameters);
            }
        }
        for (auto& correction : corrections) {
            addFreeBlock(correction.data(), kPoseParameterCount, {});
        }
        for (size_t c = 0; c < cameras.size(); ++c) {
            CameraBlock& camera = cameras[c];
            const bool used = camera_uses[c] > 0;
            if (used && camera.free) {
                addFreeBlock(camera.intrinsics, kIntrinsicCount, camera.fixed_intrinsics);
                addFreeBlock(camera.distortion, kModelledDistortion, camera.fixed_distortion);
            } else if (used && camera_has_prior[c]) {
                addFreeBlock(camera.intrinsics, kIntrinsicCount, {});
                problem->SetParameterBlockConstant(camera.distortion);
            } else {
                problem->SetParameterBlockConstant(camera.intrinsics);
                problem->SetParameterBlockConstant(camera.distortion);
            }
        }
    }

    bool linearise(GroupedLinearisation& lin) {
        ceres::Problem::EvaluateOptions options;
        options.parameter_blocks = free_blocks;
        options.apply_loss_function = false;
        std::vector<int> groups;
        for (const ViewBlocks& view : views) {
            options.residual_blocks.insert(options.residual_blocks.end(), view.residuals.begin(),
                                           view.residuals.end());
            groups.insert(groups.end(), 2 * view.residuals.size(), kPixelGroup);
        }
        options.residual_blocks.insert(options.residual_blocks.end(), translation_priors.begin(),
                                       translation_priors.end());
        groups.insert(groups.end(), 3 * translation_priors.size(), kTranslationGroup);
        options.residual_blocks.insert(options.residual_blocks.end(), rotation_priors.begin(), rotation_priors.end());
        groups.insert(groups.end(), 3 * rotation_priors.size(), kRotationGroup);
        options.residual_blocks.insert(options.residual_blocks.end(), fixed_priors.begin(), fixed_priors.end());
        for (int size : fixed_prior_sizes) {
            groups.insert(groups.end(), size, kFixedPriorGroup);
        }
        ceres::CRSMatrix jacobian;
        if (!problem->Evaluate(options, nullptr, &lin.residuals, nullptr, &jacobian) ||
            jacobian.num_cols != column_count || jacobian.num_rows != static_cast<int>(groups.size())) {
            return false;
        }
        lin.columns = jacobian.num_cols;
        lin.row_starts = std::move(jacobian.rows);
        lin.column_indices = std::move(jacobian.cols);
        lin.values = std::move(jacobian.values);
        lin.row_groups = std::move(groups);
        lin.group_sigmas = {noise.pixel_px, noise.translation_m, noise.rotation_rad, 1.0};
        return true;
    }

    // New levels from one round's variance factors; true when none moved by more than kSettledChange.
    bool updateNoise(const VarianceComponents& components) {
        ObservationNoise next = noise;
        const auto rescale = [&components](int group, double sigma, double low, double high) {
            const double factor = components.varianceFactor(group);
            return std::isfinite(factor) ? clamp(sigma * std::sqrt(factor), low, high) : sigma;
        };
        if (estimate.pixel) {
            next.pixel_px = rescale(kPixelGroup, noise.pixel_px, kMinPixel, kMaxPixel);
        }
        if (estimate.translation && !translation_priors.empty()) {
            next.translation_m = rescale(kTranslationGroup, noise.translation_m, kMinTranslation, kMaxTranslation);
        }
        if (estimate.rotation && !rotation_priors.empty()) {
            next.rotation_rad = rescale(kRotationGroup, noise.rotation_rad, kMinRotation, kMaxRotation);
        }
        const auto still = [](double now, double before, double negligible) {
            return std::abs(now / before - 1.0) < kSettledChange || std::abs(now - before) < negligible;
        };
        const bool settledNow = still(next.pixel_px, noise.pixel_px, kNegligiblePixel) &&
                                still(next.translation_m, noise.translation_m, kNegligibleTranslation) &&
                                still(next.rotation_rad, noise.rotation_rad, kNegligibleRotation);
        if (!settledNow) {
            noise = next;
        }
        return settledNow;
    }

    struct Values {
        std::deque<PoseBlock> poses;
        std::deque<CameraBlock> cameras;
        std::deque<std::array<double, kPoseParameterCount>> corrections;
    };

    // The parameter values in place, so that the cost functions (which point into the blocks) see them.
    Values values() const { return {poses, cameras, corrections}; }
    void setValues(const Values& v) {
        for (size_t k = 0; k < poses.size(); ++k) {
            std::copy(std::begin(v.poses[k].base_rotation), std::end(v.poses[k].base_rotation), poses[k].base_rotation);
            std::copy(std::begin(v.poses[k].parameters), std::end(v.poses[k].parameters), poses[k].parameters);
        }
        for (size_t k = 0; k < cameras.size(); ++k) {
            std::copy(std::begin(v.cameras[k].intrinsics), std::end(v.cameras[k].intrinsics), cameras[k].intrinsics);
            std::copy(std::begin(v.cameras[k].distortion), std::end(v.cameras[k].distortion), cameras[k].distortion);
        }
        for (size_t k = 0; k < corrections.size(); ++k) {
            corrections[k] = v.corrections[k];
        }
    }

    double totalCost() {
        double cost = 0.0;
        problem->Evaluate(ceres::Problem::EvaluateOptions(), &cost, nullptr, nullptr, nullptr);
        return cost;
    }

    // Initial and final cost both under the final weights, so that the two compare.
    void summarizeCosts(const Values& start, RefinementSummary& summary) {
        summary.final_cost = totalCost();
        const Values solution = values();
        setValues(start);
        summary.initial_cost = totalCost();
        setValues(solution);
    }

    // One solve under the current levels, then the variance components at its solution.
    bool solveRound(int maxIterations, RefinementSummary& summary, VarianceComponents& components,
                    std::string& reason, double tolerance = kRoundTolerance) {
        applyWeights();
        RefinementSummary round;
        const bool solved = runSolver(*problem, maxIterations, poses, cameras, round, reason, tolerance);
        summary.iterations += round.iterations;
        summary.initial_cost = round.initial_cost;
        summary.final_cost = round.final_cost;
        summary.message = round.message;
        if (!solved) {
            summary.converged = false;
            return false;
        }
        const bool finiteCorrections = std::all_of(corrections.begin(), corrections.end(), [](const auto& c) {
            return std::all_of(c.begin(), c.end(), [](double v) { return std::isfinite(v); });
        });
        GroupedLinearisation linearisation;
        if (!finiteCorrections || !linearise(linearisation)) {
            reason = "the solver left non-finite values";
            return false;
        }
        components = estimateVarianceComponents(linearisation);
        if (!components.ok) {
            reason = "the covariance at the solution is singular";
            return false;
        }
        return true;
    }

    bool blocks_settled = false;

    void settleOnce() {
        if (!blocks_settled) {
            settleBlocks();
            blocks_settled = true;
        }
    }

    // Per jacobian column: its place among the shared unknowns (every free block but the
    // corrections), or -1 for a correction's column.
    std::vector<int> sharedIndices(int& sharedCount) const {
        std::map<const double*, bool> isCorrection;
        for (const auto& correction : corrections) {
            isCorrection[correction.data()] = true;
        }
        std::vector<int> shared(column_count, -1);
        sharedCount = 0;
        for (double* block : free_blocks) {
            const BlockColumns& entry = columns.at(block);
            for (size_t k = 0; k < entry.parameters.size(); ++k) {
                if (!isCorrection.count(block)) {
                    shared[entry.offset + static_cast<int>(k)] = sharedCount++;
                }
            }
        }
        return shared;
    }

    int correctionOffset(int view) const {
        const auto found = columns.find(corrections.at(view).data());
        return found == columns.end() ? -1 : found->second.offset;
    }

    // Adds the weighted outer products of rows [first, last) to the shared block A, the mixed
    // block B (shared x correction) and the correction block C of one view.
    void accumulateRows(const GroupedLinearisation& lin, int first, int last, const std::vector<int>& shared,
                        int correction, Eigen::MatrixXd& a, Eigen::MatrixXd& b, Eigen::MatrixXd& c) const {
        for (int r = first; r < last; ++r) {
            const double sigma = lin.group_sigmas[lin.row_groups[r]];
            const double weight = 1.0 / (sigma * sigma);
            for (int i = lin.row_starts[r]; i < lin.row_starts[r + 1]; ++i) {
                const int ci = lin.column_indices[i];
                const double vi = weight * lin.values[i];
                const bool localI = correction >= 0 && ci >= correction && ci < correction + kPoseParameterCount;
                for (int j = lin.row_starts[r]; j < lin.row_starts[r + 1]; ++j) {
                    const int cj = lin.column_indices[j];
                    const bool localJ = correction >= 0 && cj >= correction && cj < correction + kPoseParameterCount;
                    const double value = vi * lin.values[j];
                    if (!localI && !localJ && shared[ci] >= 0 && shared[cj] >= 0) {
                        a(shared[ci], shared[cj]) += value;
                    } else if (!localI && localJ && shared[ci] >= 0) {
                        b(shared[ci], cj - correction) += value;
                    } else if (localI && localJ) {
                        c(ci - correction, cj - correction) += value;
                    }
                }
            }
        }
    }

    double covarianceAt(int row, int column) const {
        return covariance[static_cast<size_t>(row) * column_count + column];
    }
};

ErrorsInVariablesProblem::ErrorsInVariablesProblem(double huber_scale_px, const ObservationNoise& start,
                                                   const NoiseEstimation& estimation) {
    if (!(huber_scale_px > 0.0) || !std::isfinite(huber_scale_px)) {
        throw std::invalid_argument("ErrorsInVariablesProblem: huber_scale_px must be a positive number of pixels");
    }
    state_ = std::make_unique<State>(huber_scale_px, start, estimation);
}

ErrorsInVariablesProblem::~ErrorsInVariablesProblem() = default;

int ErrorsInVariablesProblem::addCamera(const cv::Mat& intrinsic_matrix, const cv::Mat& distortion, bool free,
                                        int calibration_flags, const std::vector<double>& intrinsic_sigmas,
                                        CameraModel model) {
    checkIntrinsicSigmas(intrinsic_sigmas);
    CameraBlock& camera = state_->cameras.emplace_back(CameraBlock::fromMatrices(
        intrinsic_matrix, distortion, free, calibration_flags, "ErrorsInVariablesProblem", model));
    state_->problem->AddParameterBlock(camera.intrinsics, kIntrinsicCount);
    state_->problem->AddParameterBlock(camera.distortion, kModelledDistortion);
    const bool prior = !free && !intrinsic_sigmas.empty();
    if (prior) {
        auto* cost = new PriorCost<kIntrinsicCount>();
        for (int k = 0; k < kIntrinsicCount; ++k) {
            cost->prior[k] = camera.intrinsics[k];
            cost->inverse_sigma[k] = 1.0 / intrinsic_sigmas[k];
        }
        state_->fixed_priors.push_back(state_->problem->AddResidualBlock(
            new ceres::AutoDiffCostFunction<PriorCost<kIntrinsicCount>, kIntrinsicCount, kIntrinsicCount>(cost),
            nullptr, camera.intrinsics));
        state_->fixed_prior_sizes.push_back(kIntrinsicCount);
    }
    state_->camera_has_prior.push_back(prior);
    state_->camera_uses.push_back(0);
    return static_cast<int>(state_->cameras.size()) - 1;
}

int ErrorsInVariablesProblem::addPose(const cv::Mat& transformation) {
    PoseBlock& pose = state_->poses.emplace_back(PoseBlock::fromMatrix(transformation));
    state_->problem->AddParameterBlock(pose.parameters, kPoseParameterCount);
    state_->pose_uses.push_back(0);
    return static_cast<int>(state_->poses.size()) - 1;
}

int ErrorsInVariablesProblem::addView(int camera, int camera_pose, const cv::Mat& mount, bool correction_on_left,
                                      int target_pose, const cv::Mat& object_points, const cv::Mat& image_points,
                                      const cv::Mat& starting_correction) {
    const cv::Mat objects = asDoubleRows(object_points, 3);
    const cv::Mat pixels = asDoubleRows(image_points, 2);
    if (objects.rows != pixels.rows) {
        throw std::invalid_argument("ErrorsInVariablesProblem: a view needs as many object points as image points");
    }
    const cv::Mat m = mountOrIdentity(mount);
    CameraBlock& cameraBlock = state_->cameras.at(camera);
    PoseBlock& cameraPose = state_->poses.at(camera_pose);
    PoseBlock& targetPose = state_->poses.at(target_pose);
    double* correction = state_->corrections.emplace_back(correctionParameters(starting_correction)).data();
    state_->problem->AddParameterBlock(correction, kPoseParameterCount);

    ViewBlocks view;
    view.observed = pixels;
    for (int p = 0; p < objects.rows; ++p) {
        auto* cost = new CorrectedReprojectionCost{cornerCost(objects, pixels, p, m, cameraPose, targetPose, cameraBlock),
                                                   correction_on_left};
        auto* function = new ceres::AutoDiffCostFunction<CorrectedReprojectionCost, 2, kPoseParameterCount,
                                                         kPoseParameterCount, kPoseParameterCount, kIntrinsicCount,
                                                         kModelledDistortion>(cost);
        view.residuals.push_back(state_->problem->AddResidualBlock(function, &state_->pixel_loss,
                                                                   cameraPose.parameters, targetPose.parameters,
                                                                   correction, cameraBlock.intrinsics,
                                                                   cameraBlock.distortion));
    }
    // Priors of the correction: zero, weighted by the translation and rotation noise.
    auto* rotationPrior = new PriorCost<3>();
    auto* translationPrior = new PriorCost<3>();
    translationPrior->offset = 3;
    for (int k = 0; k < 3; ++k) {
        rotationPrior->inverse_sigma[k] = 1.0;
        translationPrior->inverse_sigma[k] = 1.0;
    }
    state_->rotation_priors.push_back(state_->problem->AddResidualBlock(
        new ceres::AutoDiffCostFunction<PriorCost<3>, 3, kPoseParameterCount>(rotationPrior), &state_->rotation_loss,
        correction));
    state_->translation_priors.push_back(state_->problem->AddResidualBlock(
        new ceres::AutoDiffCostFunction<PriorCost<3>, 3, kPoseParameterCount>(translationPrior),
        &state_->translation_loss, correction));

    ++state_->camera_uses[camera];
    ++state_->pose_uses[camera_pose];
    ++state_->pose_uses[target_pose];
    state_->views.push_back(std::move(view));
    return static_cast<int>(state_->views.size()) - 1;
}

bool ErrorsInVariablesProblem::solve(int max_iterations, RefinementSummary& summary, std::string& reason) {
    State& s = *state_;
    s.settleOnce();
    summary = RefinementSummary();
    s.settled = false;
    const State::Values start = s.values();
    // With every level held there is nothing to settle: the one solve goes to the end at once.
    const bool anyEstimated = s.estimate.pixel || s.estimate.translation || s.estimate.rotation;
    for (s.rounds = 1; anyEstimated; ++s.rounds) {
        VarianceComponents components;
        if (!s.solveRound(max_iterations, summary, components, reason)) {
            return false;
        }
        s.covariance = components.covariance;
        const ObservationNoise used = s.noise;
        s.settled = s.updateNoise(components);
        if (s.settled) {
            break;
        }
        if (s.rounds == kMaxNoiseRounds) {
            s.noise = used;  // the levels the solution was weighted with
            break;
        }
    }
    if (!anyEstimated) {
        s.rounds = 1;
        s.settled = true;
    }
    // The rounds stop early for speed; the last solve under the settled levels goes to the end. With
    // every level held the problem is a re-solve from a solution (held-out validation), where the
    // rounds' tolerance moves the prediction by far less than the pixel noise.
    VarianceComponents components;
    if (!s.solveRound(max_iterations, summary, components, reason, anyEstimated ? kFinalTolerance : kRoundTolerance)) {
        return false;
    }
    s.covariance = components.covariance;
    s.summarizeCosts(start, summary);
    summary.converged = true;
    return true;
}

bool ErrorsInVariablesProblem::evaluateCovariance(std::string& reason) {
    State& s = *state_;
    s.settleOnce();
    s.applyWeights();
    GroupedLinearisation linearisation;
    if (!s.linearise(linearisation)) {
        reason = "the problem could not be evaluated at its values";
        return false;
    }
    const VarianceComponents components = estimateVarianceComponents(linearisation);
    if (!components.ok) {
        reason = "the normal matrix is singular: the views do not determine every unknown";
        return false;
    }
    s.covariance = components.covariance;
    return true;
}

std::vector<cv::Mat> ErrorsInVariablesProblem::viewInformation() {
    State& s = *state_;
    s.settleOnce();
    s.applyWeights();
    GroupedLinearisation lin;
    if (!s.linearise(lin)) {
        throw std::runtime_error("ErrorsInVariablesProblem: the problem could not be evaluated at its values");
    }
    int sharedCount = 0;
    const std::vector<int> shared = s.sharedIndices(sharedCount);
    const int viewCount = static_cast<int>(s.views.size());
    int cornerRows = 0;
    for (const ViewBlocks& view : s.views) {
        cornerRows += 2 * static_cast<int>(view.residuals.size());
    }
    std::vector<cv::Mat> information;
    int first = 0;
    for (int v = 0; v < viewCount; ++v) {
        const int last = first + 2 * static_cast<int>(s.views[v].residuals.size());
        const int correction = s.correctionOffset(v);
        Eigen::MatrixXd a = Eigen::MatrixXd::Zero(sharedCount, sharedCount);
        Eigen::MatrixXd b = Eigen::MatrixXd::Zero(sharedCount, kPoseParameterCount);
        Eigen::MatrixXd c = Eigen::MatrixXd::Zero(kPoseParameterCount, kPoseParameterCount);
        s.accumulateRows(lin, first, last, shared, correction, a, b, c);
        const int translationRow = cornerRows + 3 * v, rotationRow = cornerRows + 3 * (viewCount + v);
        s.accumulateRows(lin, translationRow, translationRow + 3, shared, correction, a, b, c);
        s.accumulateRows(lin, rotationRow, rotationRow + 3, shared, correction, a, b, c);
        // The correction marginalised: the Schur complement of its block.
        const Eigen::MatrixXd marginal = a - b * c.ldlt().solve(b.transpose());
        cv::Mat matrix(sharedCount, sharedCount, CV_64F);
        for (int r = 0; r < sharedCount; ++r) {
            for (int k = 0; k < sharedCount; ++k) {
                matrix.at<double>(r, k) = 0.5 * (marginal(r, k) + marginal(k, r));
            }
        }
        information.push_back(matrix);
        first = last;
    }
    return information;
}

cv::Mat ErrorsInVariablesProblem::sharedPriorInformation() {
    State& s = *state_;
    s.settleOnce();
    s.applyWeights();
    GroupedLinearisation lin;
    if (!s.linearise(lin)) {
        throw std::runtime_error("ErrorsInVariablesProblem: the problem could not be evaluated at its values");
    }
    int sharedCount = 0;
    const std::vector<int> shared = s.sharedIndices(sharedCount);
    Eigen::MatrixXd a = Eigen::MatrixXd::Zero(sharedCount, sharedCount);
    Eigen::MatrixXd b = Eigen::MatrixXd::Zero(sharedCount, kPoseParameterCount);
    Eigen::MatrixXd c = Eigen::MatrixXd::Zero(kPoseParameterCount, kPoseParameterCount);
    int priorRows = 0;
    for (int size : s.fixed_prior_sizes) {
        priorRows += size;
    }
    const int rows = static_cast<int>(lin.row_groups.size());
    s.accumulateRows(lin, rows - priorRows, rows, shared, -1, a, b, c);
    cv::Mat matrix(sharedCount, sharedCount, CV_64F);
    for (int r = 0; r < sharedCount; ++r) {
        for (int k = 0; k < sharedCount; ++k) {
            matrix.at<double>(r, k) = a(r, k);
        }
    }
    return matrix;
}

int ErrorsInVariablesProblem::sharedPoseColumn(int pose) {
    State& s = *state_;
    s.settleOnce();
    const auto found = s.columns.find(s.poses.at(pose).parameters);
    if (found == s.columns.end()) {
        return -1;
    }
    int sharedCount = 0;
    return s.sharedIndices(sharedCount)[found->second.offset];
}

const ObservationNoise& ErrorsInVariablesProblem::noise() const { return state_->noise; }

bool ErrorsInVariablesProblem::noiseSettled() const { return state_->settled; }

int ErrorsInVariablesProblem::noiseRounds() const { return state_->rounds; }

PoseSigma ErrorsInVariablesProblem::poseSigma(int pose) const {
    const State& s = *state_;
    const auto found = s.columns.find(s.poses.at(pose).parameters);
    std::array<double, 36> block{};
    if (found != s.columns.end() && !s.covariance.empty()) {
        for (int r = 0; r < kPoseParameterCount; ++r) {
            for (int c = 0; c < kPoseParameterCount; ++c) {
                block[6 * r + c] = s.covarianceAt(found->second.offset + r, found->second.offset + c);
            }
        }
    }
    return poseSigmaFromCovariance(block.data(), 1.0);
}

std::vector<double> ErrorsInVariablesProblem::jointCovariance(const std::vector<int>& poses, int camera) const {
    const State& s = *state_;
    // The covariance column of each requested parameter, -1 where it was held fixed.
    std::vector<int> columns;
    for (int pose : poses) {
        const auto found = s.columns.find(s.poses.at(pose).parameters);
        for (int k = 0; k < kPoseParameterCount; ++k) {
            columns.push_back(found == s.columns.end() ? -1 : found->second.offset + k);
        }
    }
    const auto intrinsics = s.columns.find(s.cameras.at(camera).intrinsics);
    for (int k = 0; k < kIntrinsicCount; ++k) {
        int column = -1;
        if (intrinsics != s.columns.end()) {
            const std::vector<int>& free = intrinsics->second.parameters;
            const auto at = std::find(free.begin(), free.end(), k);
            column = at == free.end() ? -1 : intrinsics->second.offset + static_cast<int>(at - free.begin());
        }
        columns.push_back(column);
    }
    const size_t n = columns.size();
    std::vector<double> covariance(n * n, 0.0);
    for (size_t r = 0; r < n; ++r) {
        for (size_t c = 0; c < n; ++c) {
            if (columns[r] >= 0 && columns[c] >= 0 && !s.covariance.empty()) {
                covariance[r * n + c] = s.covarianceAt(columns[r], columns[c]);
            }
        }
    }
    return covariance;
}

std::vector<double> ErrorsInVariablesProblem::intrinsicSigmas(int camera) const {
    const State& s = *state_;
    std::vector<double> sigmas(kIntrinsicCount, 0.0);
    const auto found = s.columns.find(s.cameras.at(camera).intrinsics);
    if (found == s.columns.end() || s.covariance.empty()) {
        return sigmas;
    }
    const BlockColumns& block = found->second;
    for (size_t k = 0; k < block.parameters.size(); ++k) {
        const int column = block.offset + static_cast<int>(k);
        sigmas[block.parameters[k]] = std::sqrt(std::max(0.0, s.covarianceAt(column, column)));
    }
    return sigmas;
}

cv::Mat ErrorsInVariablesProblem::correction(int view) const {
    const auto& c = state_->corrections.at(view);
    cv::Mat rotation;
    cv::Rodrigues(cv::Mat(cv::Vec3d(c[0], c[1], c[2])), rotation);
    cv::Mat transform = cv::Mat::eye(4, 4, CV_64F);
    rotation.copyTo(transform(cv::Rect(0, 0, 3, 3)));
    for (int k = 0; k < 3; ++k) {
        transform.at<double>(k, 3) = c[3 + k];
    }
    return transform;
}

std::vector<double> ErrorsInVariablesProblem::correctionSizes() const {
    const State& s = *state_;
    std::vector<double> sizes;
    for (const auto& c : s.corrections) {
        const double rotation = (c[0] * c[0] + c[1] * c[1] + c[2] * c[2]) / (s.noise.rotation_rad * s.noise.rotation_rad);
        const double translation =
            (c[3] * c[3] + c[4] * c[4] + c[5] * c[5]) / (s.noise.translation_m * s.noise.translation_m);
        sizes.push_back(std::sqrt(rotation + translation));
    }
    return sizes;
}

ViewResiduals ErrorsInVariablesProblem::viewResiduals(double outlier_z_score) const {
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

cv::Mat ErrorsInVariablesProblem::pose(int index) const { return state_->poses.at(index).matrix(); }

cv::Mat ErrorsInVariablesProblem::intrinsicMatrix(int camera) const {
    return state_->cameras.at(camera).intrinsicMatrix();
}

cv::Mat ErrorsInVariablesProblem::distortion(int camera) const {
    return state_->cameras.at(camera).distortionCoefficients();
}

}  // namespace velk::calibration
