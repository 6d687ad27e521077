#include "calibration/refinement/chain_pose_problem.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <stdexcept>

#include "calibration/refinement/chain_pose_cost.hpp"
#include "calibration/refinement/jacobian_layout.hpp"
#include "calibration/refinement/pose_block.hpp"
#include "calibration/refinement/variance_components.hpp"

namespace velk::calibration {
namespace {

constexpr int kMaxNoiseRounds = 12;
constexpr double kSettledChange = 0.005;  // relative change of a noise level that counts as settled
constexpr double kMinTranslationSigma_m = 1e-9;
constexpr double kMinRotationSigma_rad = 1e-11;

void checkFit(const ChainPoseFit& fit) {
    if (fit.data == nullptr || fit.data->joints.size() != fit.data->camera_T_target.size()) {
        throw std::invalid_argument("fitChainPoses: every observation needs joint readings and a measured pose");
    }
    kinematics::validateChain(fit.data->chain);
    for (int index : fit.observations) {
        if (index < 0 || index >= fit.data->count()) {
            throw std::invalid_argument("fitChainPoses: observation " + std::to_string(index) + " out of range");
        }
        if (static_cast<int>(fit.data->joints[index].size()) != fit.data->chain.jointCount()) {
            throw std::invalid_argument("fitChainPoses: observation " + std::to_string(index) + " has " +
                                        std::to_string(fit.data->joints[index].size()) + " joint readings, the chain " +
                                        std::to_string(fit.data->chain.jointCount()) + " joints");
        }
    }
    for (int index : fit.free_corrections) {
        if (index < 0 || index >= fit.layout.count()) {
            throw std::invalid_argument("fitChainPoses: correction " + std::to_string(index) + " out of range");
        }
    }
    if (static_cast<int>(fit.observations.size()) * 6 <
        kPoseParameterCount * 2 + static_cast<int>(fit.free_corrections.size())) {
        throw std::invalid_argument("fitChainPoses: fewer residuals than unknowns");
    }
}

// The problem of one fit, its parameter blocks and the two weights the noise levels set.
class ChainPoseProblem {
public:
    ChainPoseProblem(const ChainPoseFit& fit, const std::vector<int>& free, const cv::Mat& mount,
                     const cv::Mat& carrier, const std::vector<double>& corrections)
        : fit_(fit), free_(free), mount_(PoseBlock::fromMatrix(mount)), carrier_(PoseBlock::fromMatrix(carrier)) {
        for (int index : free_) {
            free_values_.push_back(corrections.empty() ? 0.0 : corrections[index]);
        }
        ceres::Problem::Options options;
        options.loss_function_ownership = ceres::DO_NOT_TAKE_OWNERSHIP;
        problem_ = std::make_unique<ceres::Problem>(options);
        std::vector<ceres::ResidualBlockId> translations, rotations;
        for (int index : fit_.observations) {
            translations.push_back(addCost(index, false, &translation_loss_));
            rotations.push_back(addCost(index, true, &rotation_loss_));
        }
        layout_.append(*problem_, translations, kTranslationGroup);
        layout_.append(*problem_, rotations, kRotationGroup);
    }

    void setNoise(double translation_m, double rotation_rad) {
        translation_m_ = translation_m;
        rotation_rad_ = rotation_rad;
        translation_loss_.Reset(
            new ceres::ScaledLoss(nullptr, 1.0 / (translation_m * translation_m), ceres::TAKE_OWNERSHIP),
            ceres::TAKE_OWNERSHIP);
        rotation_loss_.Reset(new ceres::ScaledLoss(nullptr, 1.0 / (rotation_rad * rotation_rad), ceres::TAKE_OWNERSHIP),
                             ceres::TAKE_OWNERSHIP);
    }

    bool solve(std::string& message) {
        ceres::Solver::Options options;
        options.linear_solver_type = ceres::DENSE_QR;
        options.max_num_iterations = std::max(1, fit_.max_iterations);
        options.num_threads = 1;
        options.logging_type = ceres::SILENT;
        options.function_tolerance = 1e-12;
        options.parameter_tolerance = 1e-12;
        options.gradient_tolerance = 1e-14;
        ceres::Solver::Summary summary;
        ceres::Solve(options, problem_.get(), &summary);
        mount_.absorbRotationUpdate();
        carrier_.absorbRotationUpdate();
        message = summary.message;
        return summary.termination_type == ceres::CONVERGENCE && mount_.isFinite() && carrier_.isFinite();
    }

    bool linearise(GroupedLinearisation& linearisation) {
        std::vector<double*> blocks = {mount_.parameters, carrier_.parameters};
        if (!free_.empty()) {
            blocks.push_back(free_values_.data());
        }
        const int columns = 2 * kPoseParameterCount + static_cast<int>(free_.size());
        return lineariseInLayout(*problem_, blocks, columns, layout_, {1.0, translation_m_, rotation_rad_, 1.0},
                                 linearisation);
    }

    ChainPoseEstimate estimate() const {
        ChainPoseEstimate result;
        result.mount = mount_.matrix();
        result.carrier = carrier_.matrix();
        result.corrections.assign(fit_.layout.count(), 0.0);
        for (size_t k = 0; k < free_.size(); ++k) {
            result.corrections[free_[k]] = free_values_[k];
        }
        result.translation_sigma_m = translation_m_;
        result.rotation_sigma_rad = rotation_rad_;
        return result;
    }

private:
    ceres::ResidualBlockId addCost(int index, bool rotation_half, ceres::LossFunction* loss) {
        auto* cost = new ChainPoseCost;
        cost->setup = fit_.data->setup;
        cost->chain = &fit_.data->chain;
        cost->layout = &fit_.layout;
        cost->free_corrections = &free_;
        cost->mount_base = mount_.base_rotation;
        cost->carrier_base = carrier_.base_rotation;
        cost->joints = fit_.data->joints[index];
        cost->rotation_half = rotation_half;
        const cv::Mat& measured = fit_.data->camera_T_target[index];
        for (int row = 0; row < 3; ++row) {
            for (int col = 0; col < 3; ++col) {
                cost->measured_rotation[3 * row + col] = measured.at<double>(row, col);
            }
            cost->measured_translation[row] = measured.at<double>(row, 3);
        }
        std::vector<double*> blocks = {mount_.parameters, carrier_.parameters};
        if (!free_.empty()) {
            blocks.push_back(free_values_.data());
        }
        return problem_->AddResidualBlock(ChainPoseCost::Create(cost), loss, blocks);
    }

    const ChainPoseFit& fit_;
    std::vector<int> free_;
    PoseBlock mount_;
    PoseBlock carrier_;
    std::vector<double> free_values_;
    ceres::LossFunctionWrapper translation_loss_{new ceres::TrivialLoss, ceres::TAKE_OWNERSHIP};
    ceres::LossFunctionWrapper rotation_loss_{new ceres::TrivialLoss, ceres::TAKE_OWNERSHIP};
    double translation_m_ = 1e-3;
    double rotation_rad_ = 1e-3;
    std::unique_ptr<ceres::Problem> problem_;
    JacobianLayout layout_;
};

cv::Mat asDouble(const cv::Mat& transform) {
    cv::Mat converted;
    transform.convertTo(converted, CV_64F);
    return converted;
}

}  // namespace

ChainPoseEstimate fitChainPoses(const ChainPoseFit& fit) {
    checkFit(fit);
    ChainPoseProblem problem(fit, fit.free_corrections, asDouble(fit.mount_start), asDouble(fit.carrier_start), {});
    double translation_m = 1e-3, rotation_rad = 1e-3;
    problem.setNoise(translation_m, rotation_rad);
    std::string message;
    bool converged = false;
    VarianceComponents components;
    for (int round = 0; round < kMaxNoiseRounds; ++round) {
        converged = problem.solve(message);
        GroupedLinearisation linearisation;
        if (!converged || !problem.linearise(linearisation)) {
            break;
        }
        components = estimateVarianceComponents(linearisation);
        const double translationFactor = components.varianceFactor(kTranslationGroup);
        const double rotationFactor = components.varianceFactor(kRotationGroup);
        if (!components.ok || !std::isfinite(translationFactor) || !std::isfinite(rotationFactor)) {
            break;
        }
        const double nextTranslation = std::max(kMinTranslationSigma_m, translation_m * std::sqrt(translationFactor));
        const double nextRotation = std::max(kMinRotationSigma_rad, rotation_rad * std::sqrt(rotationFactor));
        const bool settled = std::abs(nextTranslation / translation_m - 1.0) < kSettledChange &&
                             std::abs(nextRotation / rotation_rad - 1.0) < kSettledChange;
        if (settled) {
            break;
        }
        translation_m = nextTranslation;
        rotation_rad = nextRotation;
        problem.setNoise(translation_m, rotation_rad);
    }
    ChainPoseEstimate result = problem.estimate();
    result.converged = converged;
    result.message = message;
    if (converged && components.ok) {
        result.covariance = components.covariance;
    }
    return result;
}

DenseMatrix weightedChainJacobian(const ChainPoseFit& fit, const ChainPoseEstimate& estimate) {
    checkFit(fit);
    std::vector<int> every(fit.layout.count());
    for (int k = 0; k < fit.layout.count(); ++k) {
        every[k] = k;
    }
    ChainPoseProblem problem(fit, every, estimate.mount, estimate.carrier, estimate.corrections);
    problem.setNoise(estimate.translation_sigma_m, estimate.rotation_sigma_rad);
    GroupedLinearisation lin;
    if (!problem.linearise(lin)) {
        throw std::runtime_error("weightedChainJacobian: the problem could not be evaluated");
    }
    DenseMatrix dense;
    dense.rows = static_cast<int>(lin.row_groups.size());
    dense.columns = lin.columns;
    dense.values.assign(static_cast<size_t>(dense.rows) * dense.columns, 0.0);
    for (int row = 0; row < dense.rows; ++row) {
        const double weight = 1.0 / lin.group_sigmas[lin.row_groups[row]];
        for (int k = lin.row_starts[row]; k < lin.row_starts[row + 1]; ++k) {
            dense.values[static_cast<size_t>(row) * dense.columns + lin.column_indices[k]] = weight * lin.values[k];
        }
    }
    return dense;
}

cv::Mat predictCameraTTarget(const ChainPoseData& data, const kinematics::CorrectionLayout& layout,
                             const ChainPoseEstimate& estimate, const std::vector<double>& joints) {
    if (static_cast<int>(joints.size()) != data.chain.jointCount()) {
        throw std::invalid_argument("predictCameraTTarget: one joint reading per joint expected");
    }
    using Motion = kinematics::RigidMotion<double>;
    const Motion mount = Motion::fromMatrix(asDouble(estimate.mount).ptr<double>());
    const Motion carrier = Motion::fromMatrix(asDouble(estimate.carrier).ptr<double>());
    return kinematics::motionMatrix(predictedCameraTTarget(data.setup, data.chain, layout, estimate.corrections.data(),
                                                           joints.data(), mount, carrier));
}

}  // namespace velk::calibration
