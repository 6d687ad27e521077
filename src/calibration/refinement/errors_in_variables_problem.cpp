#include "calibration/refinement/errors_in_variables_problem.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <deque>
#include <map>
#include <stdexcept>
#include <utility>

#include <opencv2/calib3d.hpp>

#include "calibration/refinement/camera_block.hpp"
#include "calibration/refinement/corner_rows.hpp"
#include "calibration/refinement/correction_prior_cost.hpp"
#include "calibration/refinement/group_loss.hpp"
#include "calibration/refinement/intrinsic_prior_cost.hpp"
#include "calibration/refinement/jacobian_layout.hpp"
#include "calibration/refinement/leave_one_out.hpp"
#include "calibration/refinement/pose_block.hpp"
#include "calibration/refinement/pose_parameter_prior_cost.hpp"
#include "calibration/refinement/reduced_variance_components.hpp"
#include "calibration/refinement/shared_information.hpp"
#include "calibration/refinement/solver_run.hpp"
#include "calibration/refinement/variance_components.hpp"
#include "calibration/refinement/view_corner_cost.hpp"
#include "calibration/refinement/view_residuals.hpp"
#include "kinematics/forward_kinematics.hpp"

namespace velk::calibration {
namespace {

constexpr int kMaxNoiseRounds = 30;
constexpr double kSettledChange = 0.01;
// Changes of a level below these count as settled whatever their relative size: a robot that is
// exact to a micrometre need not be pinned down further.
constexpr double kNegligiblePixel = 1e-4, kNegligibleTranslation = 1e-6, kNegligibleRotation = 2e-6;
// Each round is solved to this relative change: far below what moves the noise levels or the
// result against its uncertainty.
constexpr double kRoundTolerance = 1e-7;
constexpr double kFinalTolerance = 1e-10;  // relative change of every level below which they have settled
// The solves' starting damping, as a trust region radius (damping = the normal matrix's diagonal / radius).
// The transforms and the robot corrections share directions far weaker than the diagonal says, and the
// solver's usual start (1e4) damps those to steps a few hundredths of what they should be: from a start
// near the solution it then crawls, at ten or more iterations where two do. The first round starts from
// the closed form or from a solution, the later rounds and the last solves from a round's solution.
constexpr double kFirstRoundRadius = 1e6;
constexpr double kFromSolutionRadius = 1e12;

// Bounds of the estimated levels: below the lower ones the weights would swamp the solver,
// above the upper ones the data say nothing sensible anyway.
constexpr double kMinPixel = 1e-3, kMaxPixel = 1e3;
constexpr double kMinTranslation = 1e-5, kMaxTranslation = 1.0;
constexpr double kMinRotation = 1e-5, kMaxRotation = 1.0;

// The residual blocks of one view: its corners and the two halves of its correction's prior (null for a view
// that shares an earlier view's correction: the prior is counted once, with that view).
struct ViewBlocks {
    std::vector<ceres::ResidualBlockId> corners;
    ceres::ResidualBlockId translation_prior = nullptr;
    ceres::ResidualBlockId rotation_prior = nullptr;
    cv::Mat observed;    // N x 2 CV_64F pixels, one row per corner block
    int correction = 0;  // its correction's place among the corrections
    bool correction_on_left = true;
};

std::vector<ceres::ResidualBlockId> presentBlocks(ceres::ResidualBlockId block) {
    return block == nullptr ? std::vector<ceres::ResidualBlockId>{} : std::vector<ceres::ResidualBlockId>{block};
}

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

double clamp(double value, double low, double high) {
    return std::min(high, std::max(low, value));
}

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
    std::vector<std::vector<int>> pose_held;  // per pose, the parameters of [w, t] held at their values
    std::deque<CameraBlock> cameras;
    std::vector<bool> camera_has_prior;
    std::vector<int> camera_uses;
    std::deque<std::array<double, kPoseParameterCount>> corrections;  // [w, t] of each E, one or more views each
    std::vector<ViewBlocks> views;
    std::vector<ceres::ResidualBlockId> intrinsic_priors;
    double target_scale = 1.0;  // the target's true size over its described size
    bool scale_estimated = false;
    bool scale_held = false;  // carried by the views but held at its value through the solves
    // The chain whose free corrections the chain views share, and each chain view's transform.
    kinematics::KinematicChain chain;
    kinematics::CorrectionLayout chain_layout;
    std::vector<int> chain_free;
    std::vector<double> chain_values;  // per free correction
    std::deque<ChainViewMount> chain_mounts;
    // Each view's camera_T_target, shared by its corners' costs.
    std::deque<ViewTransform> view_transforms;

    std::vector<double*> free_blocks;
    std::map<const double*, BlockColumns> columns;
    // Covariance of the shared unknowns (every free block but the views' corrections), in their
    // shared order; shared.index maps a jacobian column there.
    std::vector<double> covariance;
    SharedColumns shared;
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
                addFreeBlock(poses[p].parameters, kPoseParameterCount, pose_held[p]);
            } else {
                problem->SetParameterBlockConstant(poses[p].parameters);
            }
        }
        for (auto& correction : corrections) {
            addFreeBlock(correction.data(), kPoseParameterCount, {});
        }
        if (scale_estimated && !scale_held) {
            addFreeBlock(&target_scale, 1, {});
        } else if (scale_estimated) {
            problem->SetParameterBlockConstant(&target_scale);
        }
        if (!chain_values.empty()) {
            addFreeBlock(chain_values.data(), static_cast<int>(chain_values.size()), {});
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

    // The jacobian's rows: every view's corners, then every view's translation prior, every view's
    // rotation prior, and last the intrinsic priors. The order only decides the order sums run in;
    // whatever reads rows finds them through the layout.
    JacobianLayout layout() const {
        JacobianLayout rows;
        rows.views.resize(views.size());
        for (size_t v = 0; v < views.size(); ++v) {
            rows.views[v].corners = rows.append(*problem, views[v].corners, kPixelGroup);
        }
        for (size_t v = 0; v < views.size(); ++v) {
            rows.views[v].translation_prior =
                rows.append(*problem, presentBlocks(views[v].translation_prior), kTranslationGroup);
        }
        for (size_t v = 0; v < views.size(); ++v) {
            rows.views[v].rotation_prior =
                rows.append(*problem, presentBlocks(views[v].rotation_prior), kRotationGroup);
        }
        for (ceres::ResidualBlockId prior : intrinsic_priors) {
            rows.append(*problem, {prior}, kIntrinsicPriorGroup);
        }
        return rows;
    }

    std::vector<double> groupSigmas() const { return {noise.pixel_px, noise.translation_m, noise.rotation_rad, 1.0}; }

    bool linearise(const JacobianLayout& rows, GroupedLinearisation& lin) {
        return lineariseInLayout(*problem, free_blocks, column_count, rows, groupSigmas(), lin);
    }

    bool linearise(GroupedLinearisation& lin) { return linearise(layout(), lin); }

    // New levels from one round's variance factors; true when none moved by more than kSettledChange.
    bool updateNoise(const VarianceComponents& components) { return nextNoise(components, noise); }

    // The levels after one round's variance factors, in place; true (and levels unchanged) when none moved by more
    // than kSettledChange.
    bool nextNoise(const VarianceComponents& components, ObservationNoise& levels) const {
        ObservationNoise next = levels;
        const auto rescale = [&components](int group, double sigma, double low, double high) {
            const double factor = components.varianceFactor(group);
            return std::isfinite(factor) ? clamp(sigma * std::sqrt(factor), low, high) : sigma;
        };
        if (estimate.pixel) {
            next.pixel_px = rescale(kPixelGroup, levels.pixel_px, kMinPixel, kMaxPixel);
        }
        // Every correction carries both halves of its prior.
        if (estimate.translation && !views.empty()) {
            next.translation_m = rescale(kTranslationGroup, levels.translation_m, kMinTranslation, kMaxTranslation);
        }
        if (estimate.rotation && !views.empty()) {
            next.rotation_rad = rescale(kRotationGroup, levels.rotation_rad, kMinRotation, kMaxRotation);
        }
        const auto still = [](double now, double before, double negligible) {
            return std::abs(now / before - 1.0) < kSettledChange || std::abs(now - before) < negligible;
        };
        const bool settledNow = still(next.pixel_px, levels.pixel_px, kNegligiblePixel) &&
                                still(next.translation_m, levels.translation_m, kNegligibleTranslation) &&
                                still(next.rotation_rad, levels.rotation_rad, kNegligibleRotation);
        if (!settledNow) {
            levels = next;
        }
        return settledNow;
    }

    struct Values {
        std::deque<PoseBlock> poses;
        std::deque<CameraBlock> cameras;
        std::deque<std::array<double, kPoseParameterCount>> corrections;
        double target_scale = 1.0;
    };

    // The parameter values in place, so that the cost functions (which point into the blocks) see them.
    Values values() const { return {poses, cameras, corrections, target_scale}; }
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
        target_scale = v.target_scale;
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

    // Seconds the last round spent in its solve and in its variance components.
    double solve_seconds = 0.0;
    double components_seconds = 0.0;

    // One solve under the current levels from the values held, to `tolerance`, its damping starting at the
    // trust region `radius`; then the variance components at its solution.
    bool solveRound(int maxIterations, RefinementSummary& summary, VarianceComponents& components, std::string& reason,
                    double tolerance, double radius) {
        applyWeights();
        RefinementSummary round;
        const auto started = std::chrono::steady_clock::now();
        const bool solved = runSolver(*problem, maxIterations, poses, cameras, round, reason, tolerance, radius);
        const auto solvedAt = std::chrono::steady_clock::now();
        solve_seconds = std::chrono::duration<double>(solvedAt - started).count();
        components_seconds = 0.0;
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
        components = reducedComponents(linearisation);
        components_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - solvedAt).count();
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
    SharedColumns sharedColumns() const {
        std::map<const double*, bool> isCorrection;
        for (const auto& correction : corrections) {
            isCorrection[correction.data()] = true;
        }
        SharedColumns shared;
        shared.index.assign(column_count, -1);
        for (double* block : free_blocks) {
            const BlockColumns& entry = columns.at(block);
            for (size_t k = 0; k < entry.parameters.size(); ++k) {
                if (!isCorrection.count(block)) {
                    shared.index[entry.offset + static_cast<int>(k)] = shared.count++;
                }
            }
        }
        return shared;
    }

    // Adds a step over the shared unknowns (in shared order) to the values of their blocks.
    void stepShared(const std::vector<double>& step) {
        for (double* block : free_blocks) {
            const BlockColumns& entry = columns.at(block);
            for (size_t k = 0; k < entry.parameters.size(); ++k) {
                const int place = shared.index[entry.offset + static_cast<int>(k)];
                if (place >= 0) {
                    block[entry.parameters[k]] += step[place];
                }
            }
        }
    }

    bool correctionsShared() const { return corrections.size() != views.size(); }

    // The per-view analyses (each view's information, each view left out) take a view's own correction
    // with it; a correction shared by several views would be counted once per view.
    void requireOwnCorrections(const char* what) const {
        if (correctionsShared()) {
            throw std::logic_error(std::string("ErrorsInVariablesProblem: ") + what +
                                   " needs every view to have a correction of its own");
        }
    }

    // The columns of every correction, in the order they were added (that of the views when none is shared).
    std::vector<LocalColumns> correctionColumns() const {
        std::vector<LocalColumns> local;
        for (const auto& correction : corrections) {
            const auto found = columns.find(correction.data());
            local.push_back({found == columns.end() ? -1 : found->second.offset, kPoseParameterCount});
        }
        return local;
    }

    // Linearised at the current values under the current noise levels (before a solve, the starting
    // ones), for the information methods.
    GroupedLinearisation lineariseForInformation(const JacobianLayout& rows) {
        settleOnce();
        applyWeights();
        GroupedLinearisation lin;
        if (!linearise(rows, lin)) {
            throw std::runtime_error("ErrorsInVariablesProblem: the problem could not be evaluated at its values");
        }
        return lin;
    }

    // The variance components with the views' corrections eliminated; remembers the shared columns the
    // covariance is over.
    VarianceComponents reducedComponents(const GroupedLinearisation& linearisation) {
        shared = sharedColumns();
        return estimateReducedVarianceComponents(linearisation, shared, correctionColumns());
    }

    // The jacobian column of parameter k of a free block; -1 when the block or the parameter is held.
    int parameterColumn(const double* block, int k) const {
        const auto found = columns.find(block);
        if (found == columns.end()) {
            return -1;
        }
        const std::vector<int>& free = found->second.parameters;
        const auto at = std::find(free.begin(), free.end(), k);
        return at == free.end() ? -1 : found->second.offset + static_cast<int>(at - free.begin());
    }

    // An entry of the covariance by jacobian column; both columns are shared ones.
    double covarianceAt(int row, int column) const {
        return covariance[static_cast<size_t>(shared.index[row]) * shared.count + shared.index[column]];
    }

    // A view of corners through the known transform mount, or through chainMount when it is given.
    int addCornerView(int camera, int cameraPoseIndex, const cv::Mat& mount, bool onLeft, int targetPoseIndex,
                      const cv::Mat& objectPoints, const cv::Mat& imagePoints, const cv::Mat& startingCorrection,
                      ChainViewMount* chainMount, int sharedWith = -1) {
        const cv::Mat objects = asDoubleRows(objectPoints, 3);
        const cv::Mat pixels = asDoubleRows(imagePoints, 2);
        if (objects.rows != pixels.rows) {
            throw std::invalid_argument("ErrorsInVariablesProblem: a view needs as many object points as image points");
        }
        const cv::Mat m = mountOrIdentity(mount);
        CameraBlock& cameraBlock = cameras.at(camera);
        PoseBlock& cameraPose = poses.at(cameraPoseIndex);
        PoseBlock& targetPose = poses.at(targetPoseIndex);
        ViewBlocks view;
        view.observed = pixels;
        view.correction_on_left = onLeft;
        if (sharedWith < 0) {
            corrections.emplace_back(correctionParameters(startingCorrection));
            problem->AddParameterBlock(corrections.back().data(), kPoseParameterCount);
            view.correction = static_cast<int>(corrections.size()) - 1;
        } else {
            view.correction = views.at(sharedWith).correction;
        }
        double* correction = corrections[view.correction].data();
        const ViewCornerCost::Extra extra = chainMount != nullptr ? ViewCornerCost::Extra::Chain
                                            : scale_estimated     ? ViewCornerCost::Extra::Scale
                                                                  : ViewCornerCost::Extra::None;
        ViewTransform* transform = nullptr;
        for (int p = 0; p < objects.rows; ++p) {
            const ReprojectionCost corner = cornerCost(objects, pixels, p, m, cameraPose, targetPose, cameraBlock);
            if (transform == nullptr) {
                transform = &view_transforms.emplace_back(CorrectedReprojectionCost{corner, onLeft}, chainMount);
            }
            std::vector<double*> blocks = {cameraPose.parameters, targetPose.parameters, correction,
                                           cameraBlock.intrinsics, cameraBlock.distortion};
            if (extra == ViewCornerCost::Extra::Chain) {
                blocks.push_back(chain_values.data());
            } else if (extra == ViewCornerCost::Extra::Scale) {
                blocks.push_back(&target_scale);
            }
            view.corners.push_back(problem->AddResidualBlock(new ViewCornerCost(corner, transform, extra, chainMount),
                                                             &pixel_loss, blocks));
        }
        // Priors of a new correction: zero, weighted by the translation and rotation noise.
        if (sharedWith < 0) {
            view.rotation_prior = problem->AddResidualBlock(
                CorrectionPriorCost::Create(CorrectionPriorCost::Half::Rotation), &rotation_loss, correction);
            view.translation_prior = problem->AddResidualBlock(
                CorrectionPriorCost::Create(CorrectionPriorCost::Half::Translation), &translation_loss, correction);
        }

        ++camera_uses[camera];
        ++pose_uses[cameraPoseIndex];
        ++pose_uses[targetPoseIndex];
        views.push_back(std::move(view));
        return static_cast<int>(views.size()) - 1;
    }

    // The group of every jacobian column for the chain's identifiability: a pose's index, then one
    // group for the views' corrections, one for the cameras and target scale, one per free correction.
    std::vector<int> chainColumnGroups() const {
        const int poseCount = static_cast<int>(poses.size());
        std::map<const double*, int> groupOf;
        for (int p = 0; p < poseCount; ++p) {
            groupOf[poses[p].parameters] = p;
        }
        for (const auto& correction : corrections) {
            groupOf[correction.data()] = poseCount;
        }
        std::vector<int> groups(column_count, poseCount + 1);
        for (double* block : free_blocks) {
            const BlockColumns& entry = columns.at(block);
            for (size_t k = 0; k < entry.parameters.size(); ++k) {
                const auto found = groupOf.find(block);
                const int chainGroup = poseCount + 2 + static_cast<int>(k);
                groups[entry.offset + k] = block == chain_values.data() ? chainGroup
                                           : found != groupOf.end()     ? found->second
                                                                        : poseCount + 1;
            }
        }
        return groups;
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
        state_->intrinsic_priors.push_back(state_->problem->AddResidualBlock(
            IntrinsicPriorCost::Create(camera.intrinsics, intrinsic_sigmas), nullptr, camera.intrinsics));
    }
    state_->camera_has_prior.push_back(prior);
    state_->camera_uses.push_back(0);
    return static_cast<int>(state_->cameras.size()) - 1;
}

int ErrorsInVariablesProblem::addPose(const cv::Mat& transformation) {
    PoseBlock& pose = state_->poses.emplace_back(PoseBlock::fromMatrix(transformation));
    state_->problem->AddParameterBlock(pose.parameters, kPoseParameterCount);
    state_->pose_uses.push_back(0);
    state_->pose_held.emplace_back();
    return static_cast<int>(state_->poses.size()) - 1;
}

void ErrorsInVariablesProblem::holdPoseParameter(int pose, int parameter) {
    State& s = *state_;
    if (s.blocks_settled) {
        throw std::logic_error("ErrorsInVariablesProblem: a pose parameter is held only before the first solve");
    }
    if (parameter < 0 || parameter >= kPoseParameterCount) {
        throw std::invalid_argument("ErrorsInVariablesProblem: a pose has six parameters [w, t]");
    }
    std::vector<int>& held = s.pose_held.at(pose);
    if (std::find(held.begin(), held.end(), parameter) == held.end()) {
        held.push_back(parameter);
        std::sort(held.begin(), held.end());
    }
}

void ErrorsInVariablesProblem::addPoseParameterPrior(int pose, int parameter, double value, double sigma) {
    State& s = *state_;
    if (parameter < 0 || parameter >= kPoseParameterCount || !(sigma > 0.0) || !std::isfinite(value)) {
        throw std::invalid_argument("ErrorsInVariablesProblem: a pose prior needs a parameter of [w, t] and a sigma");
    }
    // Its residual carries its own weight, as an intrinsic prior's does.
    s.intrinsic_priors.push_back(s.problem->AddResidualBlock(PoseParameterPriorCost::Create(parameter, value, sigma),
                                                             nullptr, s.poses.at(pose).parameters));
}

int ErrorsInVariablesProblem::addView(int camera, int camera_pose, const cv::Mat& mount, bool correction_on_left,
                                      int target_pose, const cv::Mat& object_points, const cv::Mat& image_points,
                                      const cv::Mat& starting_correction) {
    return state_->addCornerView(camera, camera_pose, mount, correction_on_left, target_pose, object_points,
                                 image_points, starting_correction, nullptr);
}

int ErrorsInVariablesProblem::addViewSharingCorrection(int earlier_view, int camera, int camera_pose,
                                                       const cv::Mat& mount, int target_pose,
                                                       const cv::Mat& object_points, const cv::Mat& image_points) {
    State& s = *state_;
    if (earlier_view < 0 || static_cast<size_t>(earlier_view) >= s.views.size()) {
        throw std::invalid_argument("ErrorsInVariablesProblem: a shared correction belongs to an earlier view");
    }
    if (s.blocks_settled) {
        throw std::logic_error("ErrorsInVariablesProblem: views are added only before the first solve");
    }
    return s.addCornerView(camera, camera_pose, mount, s.views[earlier_view].correction_on_left, target_pose,
                           object_points, image_points, cv::Mat(), nullptr, earlier_view);
}

void ErrorsInVariablesProblem::setChain(const kinematics::KinematicChain& chain,
                                        const kinematics::CorrectionLayout& layout, const std::vector<int>& free) {
    State& s = *state_;
    if (!s.views.empty() || s.scale_estimated) {
        throw std::logic_error("ErrorsInVariablesProblem: the chain is set before any view and without a target scale");
    }
    for (int index : free) {
        if (index < 0 || index >= layout.count()) {
            throw std::invalid_argument("ErrorsInVariablesProblem: a free chain correction is outside its layout");
        }
    }
    s.chain = chain;
    s.chain_layout = layout;
    s.chain_free = free;
    s.chain_values.assign(free.size(), 0.0);
    if (!free.empty()) {
        s.problem->AddParameterBlock(s.chain_values.data(), static_cast<int>(free.size()));
    }
}

int ErrorsInVariablesProblem::addChainView(int camera, int camera_pose, const std::vector<double>& joints,
                                           bool invert_flange, bool correction_on_left, int target_pose,
                                           const cv::Mat& object_points, const cv::Mat& image_points,
                                           const cv::Mat& starting_correction) {
    State& s = *state_;
    if (static_cast<int>(joints.size()) != s.chain.jointCount()) {
        throw std::invalid_argument("ErrorsInVariablesProblem: a chain view needs one reading per joint");
    }
    if (s.chain_free.empty()) {
        const cv::Mat flange = kinematics::forwardKinematics(s.chain, joints);
        return s.addCornerView(camera, camera_pose, invert_flange ? cv::Mat(flange.inv(cv::DECOMP_SVD)) : flange,
                               correction_on_left, target_pose, object_points, image_points, starting_correction,
                               nullptr);
    }
    ChainViewMount& mount =
        s.chain_mounts.emplace_back(&s.chain, &s.chain_layout, &s.chain_free, joints, invert_flange);
    mount.update(s.chain_values.data());
    return s.addCornerView(camera, camera_pose, cv::Mat(), correction_on_left, target_pose, object_points, image_points,
                           starting_correction, &mount);
}

std::vector<double> ErrorsInVariablesProblem::chainCorrections() const {
    const State& s = *state_;
    std::vector<double> values(s.chain_layout.count(), 0.0);
    for (size_t k = 0; k < s.chain_free.size(); ++k) {
        values[s.chain_free[k]] = s.chain_values[k];
    }
    return values;
}

std::vector<double> ErrorsInVariablesProblem::chainCorrectionSigmas() const {
    const State& s = *state_;
    std::vector<double> sigmas(s.chain_layout.count(), 0.0);
    const auto found = s.chain_values.empty() ? s.columns.end() : s.columns.find(s.chain_values.data());
    if (found == s.columns.end() || s.covariance.empty()) {
        return sigmas;
    }
    for (size_t k = 0; k < s.chain_free.size(); ++k) {
        const int column = found->second.offset + static_cast<int>(k);
        sigmas[s.chain_free[k]] = std::sqrt(std::max(0.0, s.covarianceAt(column, column)));
    }
    return sigmas;
}

std::vector<double> ErrorsInVariablesProblem::chainCorrectionCovariance() const {
    const State& s = *state_;
    const auto found = s.chain_values.empty() ? s.columns.end() : s.columns.find(s.chain_values.data());
    if (found == s.columns.end() || s.covariance.empty()) {
        return {};
    }
    const int n = static_cast<int>(s.chain_free.size());
    const int first = found->second.offset;
    std::vector<double> block(static_cast<size_t>(n) * n);
    for (int r = 0; r < n; ++r) {
        for (int c = 0; c < n; ++c) {
            block[static_cast<size_t>(r) * n + c] = s.covarianceAt(first + r, first + c);
        }
    }
    return block;
}

Identifiability ErrorsInVariablesProblem::chainIdentifiability(double tolerance) {
    State& s = *state_;
    const int n = static_cast<int>(s.chain_free.size());
    if (n == 0) {
        return Identifiability();
    }
    const JacobianLayout rows = s.layout();
    const GroupedLinearisation lin = s.lineariseForInformation(rows);
    const int columns = s.column_count;
    const int chainFirst = s.columns.at(s.chain_values.data()).offset;
    // Every other unknown's columns first, in their order, then the chain's.
    std::vector<int> placeOf(columns);
    for (int c = 0, other = 0; c < columns; ++c) {
        const bool chainColumn = c >= chainFirst && c < chainFirst + n;
        placeOf[c] = chainColumn ? columns - n + (c - chainFirst) : other++;
    }
    const std::vector<int> groupOfColumn = s.chainColumnGroups();
    std::vector<int> groups(columns);
    for (int c = 0; c < columns; ++c) {
        groups[placeOf[c]] = groupOfColumn[c];
    }
    DenseMatrix weighted;
    weighted.rows = rows.rowCount();
    weighted.columns = columns;
    weighted.values.assign(static_cast<size_t>(weighted.rows) * columns, 0.0);
    for (int r = 0; r < weighted.rows; ++r) {
        const double sigma = lin.group_sigmas[lin.row_groups[r]];
        for (int at = lin.row_starts[r]; at < lin.row_starts[r + 1]; ++at) {
            weighted.values[static_cast<size_t>(r) * columns + placeOf[lin.column_indices[at]]] =
                lin.values[at] / sigma;
        }
    }
    const Identifiability every = analyseIdentifiability(weighted, groups, columns - n, tolerance);
    Identifiability chain;
    for (int k = columns - n; k < columns; ++k) {
        chain.determined.push_back(every.determined[k]);
        chain.remaining_share.push_back(every.remaining_share[k]);
        chain.not_excited.push_back(every.not_excited[k]);
        chain.absorbed_by.push_back(every.absorbed_by[k]);
    }
    return chain;
}

void ErrorsInVariablesProblem::estimateTargetScale(double start) {
    State& s = *state_;
    if (!s.views.empty()) {
        throw std::logic_error("ErrorsInVariablesProblem: the target scale is estimated only if asked before any view");
    }
    if (!(start > 0.0) || !std::isfinite(start)) {
        throw std::invalid_argument("ErrorsInVariablesProblem: the starting target scale must be positive");
    }
    s.target_scale = start;
    s.scale_estimated = true;
    s.problem->AddParameterBlock(&s.target_scale, 1);
    s.problem->SetParameterLowerBound(&s.target_scale, 0, 1e-3);
}

void ErrorsInVariablesProblem::carryTargetScale(double start) {
    estimateTargetScale(start);
    state_->scale_held = true;
}

ErrorsInVariablesProblem::ScaleMeasurement ErrorsInVariablesProblem::measureTargetScale(int max_iterations) {
    State& s = *state_;
    ScaleMeasurement measurement;
    if (!s.scale_held || s.covariance.empty()) {
        return measurement;
    }
    // The size's column joins the others last, among the shared unknowns.
    std::vector<double*> blocks = s.free_blocks;
    blocks.push_back(&s.target_scale);
    const JacobianLayout rows = s.layout();
    SharedColumns shared = s.sharedColumns();
    shared.index.push_back(shared.count++);
    const std::vector<LocalColumns> local = s.correctionColumns();
    const auto linearisedWithSize = [&s, &blocks, &rows](GroupedLinearisation& lin) {
        s.problem->SetParameterBlockVariable(&s.target_scale);
        const bool evaluated = lineariseInLayout(*s.problem, blocks, s.column_count + 1, rows, s.groupSigmas(), lin);
        s.problem->SetParameterBlockConstant(&s.target_scale);
        return evaluated;
    };
    GroupedLinearisation lin;
    if (!linearisedWithSize(lin)) {
        return measurement;
    }
    // The levels, settled on the linear model: each round one Gauss-Newton step from the solution.
    ObservationNoise levels = s.noise;
    const bool anyEstimated = s.estimate.pixel || s.estimate.translation || s.estimate.rotation;
    for (measurement.rounds = 1; measurement.rounds <= kMaxNoiseRounds; ++measurement.rounds) {
        lin.group_sigmas = {levels.pixel_px, levels.translation_m, levels.rotation_rad, 1.0};
        const ReducedStep step = reducedGaussNewtonStep(lin, shared, local);
        if (!step.ok) {
            return measurement;
        }
        if (!anyEstimated || s.nextNoise(step.components, levels)) {
            break;
        }
    }
    // The size itself from the solve that frees it under those levels, from the solution: the linear model
    // leaves out the corners' robust weights and the problem's curvature. The solution is restored after.
    const State::Values solution = s.values();
    const ObservationNoise solvedLevels = s.noise;
    s.noise = levels;
    s.applyWeights();
    s.problem->SetParameterBlockVariable(&s.target_scale);
    RefinementSummary summary;
    std::string reason;
    const bool solved = runSolver(*s.problem, max_iterations, s.poses, s.cameras, summary, reason, kFinalTolerance,
                                  kFromSolutionRadius);
    s.problem->SetParameterBlockConstant(&s.target_scale);
    GroupedLinearisation freed;
    if (solved && linearisedWithSize(freed)) {
        const VarianceComponents components = estimateReducedVarianceComponents(freed, shared, local);
        measurement.scale = s.target_scale;
        measurement.sigma = components.ok ? std::sqrt(std::max(0.0, components.covariance.back())) : 0.0;
        measurement.noise = levels;
        measurement.ok = components.ok && std::isfinite(measurement.scale) && std::isfinite(measurement.sigma);
    }
    s.setValues(solution);
    s.noise = solvedLevels;
    s.applyWeights();
    return measurement;
}

bool ErrorsInVariablesProblem::targetScaleEstimated() const {
    return state_->scale_estimated;
}

double ErrorsInVariablesProblem::targetScale() const {
    return state_->target_scale;
}

double ErrorsInVariablesProblem::targetScaleSigma() const {
    const State& s = *state_;
    const auto found = s.columns.find(&s.target_scale);
    if (found == s.columns.end() || s.covariance.empty()) {
        return 0.0;
    }
    const int column = found->second.offset;
    return std::sqrt(std::max(0.0, s.covarianceAt(column, column)));
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
        const double radius = s.rounds == 1 ? kFirstRoundRadius : kFromSolutionRadius;
        if (!s.solveRound(max_iterations, summary, components, reason, kRoundTolerance, radius)) {
            return false;
        }
        summary.round_seconds.push_back(s.solve_seconds + s.components_seconds);
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
    // The rounds stop early for speed; the last solve under the settled levels goes to the end, also
    // with every level held: a re-solve from a solution without one view (held-out validation) stopped
    // at the rounds' tolerance leaves much of that view's pull unworked on boards of many corners.
    VarianceComponents components;
    const double radius = anyEstimated ? kFromSolutionRadius : kFirstRoundRadius;
    if (!s.solveRound(max_iterations, summary, components, reason, kFinalTolerance, radius)) {
        return false;
    }
    summary.final_solve_seconds = s.solve_seconds;
    summary.covariance_seconds = s.components_seconds;
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
    const VarianceComponents components = s.reducedComponents(linearisation);
    if (!components.ok) {
        reason = "the normal matrix is singular: the views do not determine every unknown";
        return false;
    }
    s.covariance = components.covariance;
    return true;
}

std::vector<cv::Mat> ErrorsInVariablesProblem::viewInformation() {
    State& s = *state_;
    s.requireOwnCorrections("each view's information");
    const JacobianLayout rows = s.layout();
    const GroupedLinearisation lin = s.lineariseForInformation(rows);
    return calibration::viewInformation(lin, rows, s.sharedColumns(), s.correctionColumns());
}

cv::Mat ErrorsInVariablesProblem::sharedPriorInformation() {
    State& s = *state_;
    const JacobianLayout rows = s.layout();
    const GroupedLinearisation lin = s.lineariseForInformation(rows);
    return groupInformation(lin, rows, s.sharedColumns(), kIntrinsicPriorGroup);
}

int ErrorsInVariablesProblem::sharedPoseColumn(int pose) {
    State& s = *state_;
    s.settleOnce();
    const auto found = s.columns.find(s.poses.at(pose).parameters);
    if (found == s.columns.end()) {
        return -1;
    }
    return s.sharedColumns().index[found->second.offset];
}

std::vector<LeftOutSolution> ErrorsInVariablesProblem::leaveEachViewOut(const std::vector<int>& poses, int camera) {
    State& s = *state_;
    s.requireOwnCorrections("leaving each view out");
    const JacobianLayout rows = s.layout();
    const GroupedLinearisation lin = s.lineariseForInformation(rows);
    const SharedColumns savedShared = s.shared;
    const std::vector<double> savedCovariance = s.covariance;
    s.shared = s.sharedColumns();
    const std::vector<LeftOutStep> steps =
        leaveOneViewOut(lin, rows, s.shared, s.correctionColumns(), s.pixel_loss.huberBound());
    const State::Values solution = s.values();
    const std::vector<double> chainSolution = s.chain_values;
    std::vector<LeftOutSolution> solutions(steps.size());
    for (size_t v = 0; v < steps.size(); ++v) {
        if (!steps[v].ok) {
            continue;
        }
        s.stepShared(steps[v].step);
        s.covariance = steps[v].covariance;
        LeftOutSolution& out = solutions[v];
        out.ok = true;
        for (int index : poses) {
            out.poses.push_back(pose(index));
        }
        out.intrinsic_matrix = intrinsicMatrix(camera);
        out.distortion = distortion(camera);
        out.joint_covariance = jointCovariance(poses, camera);
        s.setValues(solution);
        std::copy(chainSolution.begin(), chainSolution.end(), s.chain_values.begin());  // in place: ceres holds it
    }
    s.shared = savedShared;
    s.covariance = savedCovariance;
    return solutions;
}

const ObservationNoise& ErrorsInVariablesProblem::noise() const {
    return state_->noise;
}

bool ErrorsInVariablesProblem::noiseSettled() const {
    return state_->settled;
}

int ErrorsInVariablesProblem::noiseRounds() const {
    return state_->rounds;
}

PoseSigma ErrorsInVariablesProblem::poseSigma(int pose) const {
    const State& s = *state_;
    const double* parameters = s.poses.at(pose).parameters;
    std::array<double, 36> block{};
    for (int r = 0; r < kPoseParameterCount && !s.covariance.empty(); ++r) {
        for (int c = 0; c < kPoseParameterCount; ++c) {
            const int row = s.parameterColumn(parameters, r), column = s.parameterColumn(parameters, c);
            block[6 * r + c] = row < 0 || column < 0 ? 0.0 : s.covarianceAt(row, column);
        }
    }
    return poseSigmaFromCovariance(block.data(), 1.0);
}

std::vector<double> ErrorsInVariablesProblem::jointCovariance(const std::vector<int>& poses, int camera) const {
    const State& s = *state_;
    // The covariance column of each requested parameter, -1 where it was held fixed.
    std::vector<int> columns;
    for (int pose : poses) {
        for (int k = 0; k < kPoseParameterCount; ++k) {
            columns.push_back(s.parameterColumn(s.poses.at(pose).parameters, k));
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
    const auto& c = state_->corrections.at(state_->views.at(view).correction);
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
    for (const ViewBlocks& view : s.views) {
        const auto& c = s.corrections[view.correction];
        const double rotation =
            (c[0] * c[0] + c[1] * c[1] + c[2] * c[2]) / (s.noise.rotation_rad * s.noise.rotation_rad);
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
        views.push_back(view.corners);
        observed.push_back(view.observed);
    }
    ViewResiduals residuals = summarizeViewResiduals(*state_->problem, views, outlier_z_score);
    residuals.projected_corners = projectedCorners(*state_->problem, views, observed);
    return residuals;
}

cv::Mat ErrorsInVariablesProblem::pose(int index) const {
    return state_->poses.at(index).matrix();
}

cv::Mat ErrorsInVariablesProblem::intrinsicMatrix(int camera) const {
    return state_->cameras.at(camera).intrinsicMatrix();
}

cv::Mat ErrorsInVariablesProblem::distortion(int camera) const {
    return state_->cameras.at(camera).distortionCoefficients();
}

}  // namespace velk::calibration
