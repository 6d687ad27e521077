#include "calibration/kinematics/kinematic_calibration.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>

#include "calibration/refinement/parameter_identifiability.hpp"
#include "calibration/refinement/pose_block.hpp"

namespace velk::calibration {
namespace {

constexpr double kRadToDeg = 180.0 / CV_PI;
constexpr int kTransformColumns = 2 * kPoseParameterCount;

struct PoseErrors {
    std::vector<double> position_mm;
    std::vector<double> orientation_deg;

    void add(const cv::Mat& predicted, const cv::Mat& measured) {
        position_mm.push_back(1000.0 * cv::norm(predicted(cv::Rect(3, 0, 1, 3)) - measured(cv::Rect(3, 0, 1, 3))));
        const cv::Mat error = measured(cv::Rect(0, 0, 3, 3)).t() * predicted(cv::Rect(0, 0, 3, 3));
        const double cosine = std::clamp((cv::trace(error)[0] - 1.0) / 2.0, -1.0, 1.0);
        orientation_deg.push_back(std::acos(cosine) * kRadToDeg);
    }
};

PoseErrors predictionErrors(const ChainPoseData& data, const kinematics::CorrectionLayout& layout,
                            const ChainPoseEstimate& estimate, const std::vector<int>& observations) {
    PoseErrors errors;
    for (int index : observations) {
        errors.add(predictCameraTTarget(data, layout, estimate, data.joints[index]), data.camera_T_target[index]);
    }
    return errors;
}

ChainPoseFit makeFit(const ChainPoseData& data, const kinematics::CorrectionLayout& layout,
                     const std::vector<int>& free, const std::vector<int>& observations, const cv::Mat& mount,
                     const cv::Mat& carrier, int max_iterations) {
    ChainPoseFit fit;
    fit.data = &data;
    fit.layout = layout;
    fit.free_corrections = free;
    fit.observations = observations;
    fit.mount_start = mount;
    fit.carrier_start = carrier;
    fit.max_iterations = max_iterations;
    return fit;
}

ChainPoseEstimate fitOrThrow(const ChainPoseFit& fit, const std::string& what) {
    ChainPoseEstimate estimate = fitChainPoses(fit);
    if (!estimate.converged) {
        throw std::runtime_error("calibrateKinematics: the " + what + " fit did not converge: " + estimate.message);
    }
    return estimate;
}

PoseSigma transformSigma(const std::vector<double>& covariance, int columns, int first) {
    double block[36] = {};
    if (!covariance.empty()) {
        for (int r = 0; r < 6; ++r) {
            for (int c = 0; c < 6; ++c) {
                block[6 * r + c] = covariance[static_cast<size_t>(first + r) * columns + first + c];
            }
        }
    }
    return poseSigmaFromCovariance(block, 1.0);
}

struct HeldOut {
    PoseErrors nominal;
    PoseErrors calibrated;
};

// Each fold predicted by the nominal and the calibrated model fitted without it.
HeldOut heldOutErrors(const ChainPoseData& data, const kinematics::CorrectionLayout& layout,
                      const std::vector<int>& free, const ChainPoseEstimate& start, const KinematicOptions& options) {
    HeldOut heldOut;
    for (int fold = 0; fold < options.folds; ++fold) {
        std::vector<int> training, testing;
        for (int index = 0; index < data.count(); ++index) {
            (index % options.folds == fold ? testing : training).push_back(index);
        }
        const ChainPoseEstimate nominal =
            fitOrThrow(makeFit(data, layout, {}, training, start.mount, start.carrier, options.max_iterations),
                       "held-out nominal");
        const ChainPoseEstimate calibrated =
            fitOrThrow(makeFit(data, layout, free, training, start.mount, start.carrier, options.max_iterations),
                       "held-out calibrated");
        for (int index : testing) {
            heldOut.nominal.add(predictCameraTTarget(data, layout, nominal, data.joints[index]),
                                data.camera_T_target[index]);
            heldOut.calibrated.add(predictCameraTTarget(data, layout, calibrated, data.joints[index]),
                                   data.camera_T_target[index]);
        }
    }
    return heldOut;
}

}  // namespace

PoseErrorStatistics poseErrorStatistics(const std::vector<double>& position_mm,
                                        const std::vector<double>& orientation_deg) {
    PoseErrorStatistics statistics;
    statistics.count = static_cast<int>(position_mm.size());
    if (position_mm.empty()) {
        return statistics;
    }
    const auto summarise = [](const std::vector<double>& values, double& mean, double& rms, double& largest) {
        double sum = 0.0, squares = 0.0;
        for (double value : values) {
            sum += value;
            squares += value * value;
            largest = std::max(largest, value);
        }
        mean = sum / static_cast<double>(values.size());
        rms = std::sqrt(squares / static_cast<double>(values.size()));
    };
    summarise(position_mm, statistics.mean_position_mm, statistics.rms_position_mm, statistics.max_position_mm);
    summarise(orientation_deg, statistics.mean_orientation_deg, statistics.rms_orientation_deg,
              statistics.max_orientation_deg);
    return statistics;
}

KinematicCalibrationResult calibrateKinematics(const ChainPoseData& data, const cv::Mat& mount_start,
                                               const cv::Mat& carrier_start, const KinematicOptions& options) {
    if (options.folds < 2 || options.folds > data.count()) {
        throw std::invalid_argument("calibrateKinematics: folds must be between 2 and the number of observations");
    }
    const kinematics::CorrectionLayout layout = kinematics::correctionLayout(data.chain, options.mode);
    std::vector<int> every(data.count());
    std::iota(every.begin(), every.end(), 0);

    KinematicCalibrationResult result;
    const bool fixed = data.setup == ChainSetup::kSensorFixed;
    result.mount_name = fixed ? "base_T_camera" : "flange_T_camera";
    result.carrier_name = fixed ? "flange_T_target" : "base_T_target";

    const ChainPoseEstimate nominal =
        fitOrThrow(makeFit(data, layout, {}, every, mount_start, carrier_start, options.max_iterations), "nominal");

    // Which corrections the data determine, judged at the nominal solution.
    std::vector<int> groups(kTransformColumns + layout.count());
    std::vector<std::string> groupNames = {result.mount_name, result.carrier_name};
    for (int c = 0; c < static_cast<int>(groups.size()); ++c) {
        groups[c] = c < kTransformColumns ? c / kPoseParameterCount : 2 + c - kTransformColumns;
    }
    groupNames.insert(groupNames.end(), layout.names.begin(), layout.names.end());
    const ChainPoseFit everyCorrection =
        makeFit(data, layout, {}, every, nominal.mount, nominal.carrier, options.max_iterations);
    const Identifiability identifiability = analyseIdentifiability(weightedChainJacobian(everyCorrection, nominal),
                                                                   groups, kTransformColumns, options.rank_tolerance);
    std::vector<int> free;
    for (int k = 0; k < layout.count(); ++k) {
        if (identifiability.determined[kTransformColumns + k]) {
            free.push_back(k);
        }
    }

    const ChainPoseEstimate calibrated = fitOrThrow(
        makeFit(data, layout, free, every, nominal.mount, nominal.carrier, options.max_iterations), "calibrated");
    const int columns = kTransformColumns + static_cast<int>(free.size());
    for (int k = 0; k < layout.count(); ++k) {
        KinematicParameter parameter;
        parameter.name = layout.names[k];
        parameter.angular = layout.angular[k];
        parameter.remaining_share = identifiability.remaining_share[kTransformColumns + k];
        const auto position = std::find(free.begin(), free.end(), k);
        parameter.estimated = position != free.end();
        parameter.value = calibrated.corrections[k];
        if (parameter.estimated && !calibrated.covariance.empty()) {
            const int column = kTransformColumns + static_cast<int>(position - free.begin());
            parameter.sigma =
                std::sqrt(std::max(0.0, calibrated.covariance[static_cast<size_t>(column) * columns + column]));
        }
        if (!parameter.estimated) {
            parameter.held_reason = heldReason(identifiability, kTransformColumns + k, groupNames);
        }
        result.parameters.push_back(parameter);
    }
    result.mount = calibrated.mount;
    result.carrier = calibrated.carrier;
    result.mount_sigma = transformSigma(calibrated.covariance, columns, 0);
    result.carrier_sigma = transformSigma(calibrated.covariance, columns, kPoseParameterCount);
    result.corrected_chain = kinematics::correctedChain(data.chain, layout, calibrated.corrections);
    result.translation_noise_mm = 1000.0 * calibrated.translation_sigma_m;
    result.rotation_noise_deg = kRadToDeg * calibrated.rotation_sigma_rad;

    const PoseErrors nominalErrors = predictionErrors(data, layout, nominal, every);
    const PoseErrors calibratedErrors = predictionErrors(data, layout, calibrated, every);
    result.nominal_fit = poseErrorStatistics(nominalErrors.position_mm, nominalErrors.orientation_deg);
    result.calibrated_fit = poseErrorStatistics(calibratedErrors.position_mm, calibratedErrors.orientation_deg);
    result.position_errors_mm = calibratedErrors.position_mm;
    result.orientation_errors_deg = calibratedErrors.orientation_deg;

    const HeldOut heldOut = heldOutErrors(data, layout, free, nominal, options);
    result.folds = options.folds;
    result.nominal_held_out = poseErrorStatistics(heldOut.nominal.position_mm, heldOut.nominal.orientation_deg);
    result.calibrated_held_out =
        poseErrorStatistics(heldOut.calibrated.position_mm, heldOut.calibrated.orientation_deg);
    result.converged = true;
    result.message = calibrated.message;
    return result;
}

}  // namespace velk::calibration
