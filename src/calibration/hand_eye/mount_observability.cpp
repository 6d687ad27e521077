#include "calibration/hand_eye/mount_observability.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>

#include <opencv2/calib3d.hpp>

#include "calibration/hand_eye/restricted_motion.hpp"
#include "calibration/refinement/pose_block.hpp"
#include "calibration/refinement/undetermined_directions.hpp"
#include "core/log.hpp"

namespace velk::calibration {
namespace {

constexpr int kAnalysed = 2 * kPoseParameterCount;  // camera pose [w, t], target pose [w, t]
// A direction's component at least this share of its largest one counts as taking part in it.
constexpr double kTakesPart = 0.3;
// The other transform's components are chosen only when the flange-side ones hardly take part.
constexpr double kOtherSideWeight = 0.5;
const char* const kComponentNames[kPoseParameterCount] = {"rx", "ry", "rz", "tx", "ty", "tz"};

double limitOf(int column) {
    return column % kPoseParameterCount < 3 ? kUndeterminedRotationDeg * CV_PI / 180.0
                                            : kUndeterminedTranslationMm / 1000.0;
}

int parameterOf(const std::string& name) {
    for (int k = 3; k < kPoseParameterCount; ++k) {
        if (name == kComponentNames[k]) {
            return k;
        }
    }
    throw std::invalid_argument("refineHandEye: a given component is tx, ty or tz (metres), got '" + name + "'");
}

std::string transformName(bool targetPose, bool eyeToHand) {
    if (eyeToHand) {
        return targetPose ? "tcp_T_target" : "robot_T_camera";
    }
    return targetPose ? "world_T_target" : "tcp_T_camera";
}

std::string subjectOf(bool targetPose) {
    return targetPose ? "the board's" : "the camera's";
}

std::string frameOf(bool targetPose, bool eyeToHand) {
    return targetPose != eyeToHand ? "base frame" : "flange";
}

std::string componentPhrase(bool targetPose, int k, bool eyeToHand) {
    const std::string axis(1, static_cast<char>('x' + k % 3));
    const std::string what = k < 3 ? " turn about the " : " offset along the ";
    return subjectOf(targetPose) + what + frameOf(targetPose, eyeToHand) + "'s " + axis + " axis (" +
           kComponentNames[k] + " of " + transformName(targetPose, eyeToHand) + ")";
}

std::string measurementFor(bool targetPose, int k, bool eyeToHand) {
    if (k < 3) {
        return "add poses that turn the flange about another axis";
    }
    const bool flangeSide = targetPose == eyeToHand;
    if (k == 5 && flangeSide) {
        return eyeToHand ? "measure the board's height below the flange, or the camera's height in the base frame"
                         : "measure the camera's height above the flange, or the board's height in the base frame";
    }
    const std::string axis(1, static_cast<char>('x' + k % 3));
    return "measure " + subjectOf(targetPose) + " offset along the " + frameOf(targetPose, eyeToHand) + "'s " + axis +
           " axis";
}

MountComponentOutcome outcomeFor(bool targetPose, int k, bool eyeToHand) {
    MountComponentOutcome outcome;
    outcome.transform = transformName(targetPose, eyeToHand);
    outcome.component = kComponentNames[k];
    outcome.measurement = measurementFor(targetPose, k, eyeToHand);
    return outcome;
}

// The information of the views about the two transforms (and the camera), robot corrections marginalised.
cv::Mat viewsInformation(const HandEyeRefinementProblem& problem, const RefinementOptions& options,
                         const cv::Mat& targetStart, const ObservationNoise& noise, const NoiseEstimation& estimation,
                         std::vector<int>& analysed) {
    ErrorsInVariablesProblem solver(options.huber_scale_px, noise, estimation);
    const bool intrinsicPrior = !problem.refine_intrinsics && !options.intrinsic_sigmas_px.empty();
    const int camera = solver.addCamera(
        problem.intrinsic_matrix, problem.distortion_coefficients, problem.refine_intrinsics, problem.calibration_flags,
        intrinsicPrior ? options.intrinsic_sigmas_px : std::vector<double>{}, problem.camera_model);
    const int cameraPose = solver.addPose(problem.camera_mount_T_camera);
    const int targetPose = solver.addPose(targetStart);
    for (size_t v = 0; v < problem.object_points.size(); ++v) {
        solver.addView(camera, cameraPose, problem.camera_mount_T_target_mount_list[v], !problem.eye_to_hand,
                       targetPose, problem.object_points[v], problem.image_points[v]);
    }
    cv::Mat information = solver.sharedPriorInformation().clone();
    for (const cv::Mat& view : solver.viewInformation()) {
        information += view;
    }
    analysed.clear();
    for (int pose : {cameraPose, targetPose}) {
        const int first = solver.sharedPoseColumn(pose);
        for (int k = 0; k < kPoseParameterCount; ++k) {
            analysed.push_back(first + k);
        }
    }
    return information;
}

// Moves the two starting transforms by step (scaled [w, t] of each, in the analysed order).
void moveStarts(MountPlan& plan, const std::vector<double>& step) {
    cv::Mat* poses[2] = {&plan.camera_start, &plan.target_start};
    for (int p = 0; p < 2; ++p) {
        cv::Mat& pose = *poses[p];
        cv::Mat turn(3, 1, CV_64F), rotation;
        for (int k = 0; k < 3; ++k) {
            turn.at<double>(k) = step[p * kPoseParameterCount + k];
            pose.at<double>(k, 3) += step[p * kPoseParameterCount + 3 + k];
        }
        cv::Rodrigues(turn, rotation);
        const cv::Mat turned = rotation * pose(cv::Rect(0, 0, 3, 3));
        turned.copyTo(pose(cv::Rect(0, 0, 3, 3)));
    }
}

int analysedIndex(bool targetPose, int k) {
    return (targetPose ? kPoseParameterCount : 0) + k;
}

// Puts the given components (analysed index, value) at their values: by one step in the span of the
// undetermined directions (so that the views still fit), the least squares one over the parts of the span the
// components take part in; a component that takes part in none is set alone.
void startAtValues(MountPlan& plan, const std::vector<UndeterminedDirection>& directions,
                   const std::vector<std::pair<int, double>>& givens) {
    const auto poseOf = [&](int index) -> cv::Mat& {
        return index >= kPoseParameterCount ? plan.target_start : plan.camera_start;
    };
    if (!givens.empty() && !directions.empty()) {
        // Scaled units: column d is direction d at the given components, the right side each change over its limit.
        cv::Mat shares(static_cast<int>(givens.size()), static_cast<int>(directions.size()), CV_64F);
        cv::Mat changes(static_cast<int>(givens.size()), 1, CV_64F);
        for (size_t g = 0; g < givens.size(); ++g) {
            const int index = givens[g].first;
            for (size_t d = 0; d < directions.size(); ++d) {
                shares.at<double>(static_cast<int>(g), static_cast<int>(d)) = directions[d].direction[index];
            }
            const double current = poseOf(index).at<double>(index % kPoseParameterCount - 3, 3);
            changes.at<double>(static_cast<int>(g)) = (givens[g].second - current) / limitOf(index);
        }
        const cv::SVD svd(shares, cv::SVD::MODIFY_A);
        cv::Mat projected = svd.u.t() * changes;
        for (int j = 0; j < svd.w.rows; ++j) {
            const double w = svd.w.at<double>(j);
            projected.at<double>(j) = w > kTakesPart ? projected.at<double>(j) / w : 0.0;
        }
        const cv::Mat steps = svd.vt.t() * projected;
        std::vector<double> step(kAnalysed, 0.0);
        for (size_t d = 0; d < directions.size(); ++d) {
            for (int j = 0; j < kAnalysed; ++j) {
                step[j] += steps.at<double>(static_cast<int>(d)) * directions[d].direction[j] * limitOf(j);
            }
        }
        moveStarts(plan, step);
    }
    for (const auto& [index, value] : givens) {
        poseOf(index).at<double>(index % kPoseParameterCount - 3, 3) = value;
    }
}

// The direction with its parts along the directions already held taken out (Gaussian elimination on their
// held components), so that each further direction is held by a component of its own.
std::vector<double> withoutHeld(std::vector<double> direction,
                                const std::vector<std::pair<int, std::vector<double>>>& held) {
    for (const auto& [index, pivot] : held) {
        const double factor = direction[index] / pivot[index];
        for (size_t j = 0; j < direction.size(); ++j) {
            direction[j] -= factor * pivot[j];
        }
    }
    return direction;
}

// The component an undetermined direction is held by: the flange-side transform's, unless it hardly
// takes part.
int chosenIndex(const std::vector<double>& direction, bool eyeToHand, const std::vector<int>& taken) {
    int best = -1;
    double bestWeight = 0.0;
    for (int j = 0; j < kAnalysed; ++j) {
        const bool targetPose = j >= kPoseParameterCount;
        const double weight = std::abs(direction[j]) * (targetPose == eyeToHand ? 1.0 : kOtherSideWeight);
        if (std::find(taken.begin(), taken.end(), j) == taken.end() && weight > bestWeight) {
            best = j;
            bestWeight = weight;
        }
    }
    return best;
}

// The other transform's component that takes the largest part in a direction, -1 when none takes part.
int coupledIndex(const std::vector<double>& direction, bool targetPose) {
    const int first = targetPose ? 0 : kPoseParameterCount;
    double largest = 0.0;
    for (double value : direction) {
        largest = std::max(largest, std::abs(value));
    }
    int best = -1;
    for (int j = first; j < first + kPoseParameterCount; ++j) {
        const double share = std::abs(direction[j]);
        if (share >= kTakesPart * largest && (best < 0 || share > std::abs(direction[best]))) {
            best = j;
        }
    }
    return best;
}

std::string whyUndetermined(RestrictedMotion motion) {
    switch (motion) {
        case RestrictedMotion::OneAxis: return "every rotation is about parallel axes";
        case RestrictedMotion::NoTurn: return "the robot does not turn";
        case RestrictedMotion::None: break;
    }
    return "the robot's motions do not fix it";
}

std::string sigmaText(double value, const char* unit) {
    char text[64];
    std::snprintf(text, sizeof(text), "%.3f %s", value, unit);
    return text;
}

}  // namespace

MountPlan planMountComponents(const HandEyeRefinementProblem& problem, const RefinementOptions& options,
                              const cv::Mat& target_start, const ObservationNoise& noise,
                              const NoiseEstimation& estimation, double limit_factor) {
    MountPlan plan;
    problem.camera_mount_T_camera.convertTo(plan.camera_start, CV_64F);
    target_start.convertTo(plan.target_start, CV_64F);
    plan.camera_start = plan.camera_start.clone();
    plan.target_start = plan.target_start.clone();
    const bool eyeToHand = problem.eye_to_hand;
    std::vector<double> limits;
    for (int j = 0; j < kAnalysed; ++j) {
        limits.push_back(limitOf(j));
    }
    std::vector<UndeterminedDirection> directions;
    try {
        std::vector<int> analysed;
        const cv::Mat information = viewsInformation(problem, options, target_start, noise, estimation, analysed);
        directions = undeterminedDirections(information, analysed, limits);
    } catch (const std::runtime_error&) {
        // Views that cannot be evaluated at the start (non-finite corners): the solve says why.
    }

    std::vector<int> taken;  // analysed indices of the planned components
    std::vector<std::pair<int, double>> givens;
    for (const MountComponent& given : problem.mount_components) {
        const int k = parameterOf(given.component);
        const int index = analysedIndex(eyeToHand, k);
        if (std::find(taken.begin(), taken.end(), index) != taken.end()) {
            throw std::invalid_argument("refineHandEye: the component " + given.component + " is given twice");
        }
        if (!(given.sigma >= 0.0) || !std::isfinite(given.value) || !std::isfinite(given.sigma)) {
            throw std::invalid_argument("refineHandEye: a given component needs a finite value and sigma >= 0");
        }
        givens.emplace_back(index, given.value);
        MountComponentOutcome outcome = outcomeFor(eyeToHand, k, eyeToHand);
        outcome.source = given.sigma > 0.0 ? "prior" : "fixed";
        outcome.value = given.value;
        outcome.sigma = given.sigma;
        plan.outcomes.push_back(outcome);
        plan.on_target_pose.push_back(eyeToHand);
        plan.parameters.push_back(k);
        taken.push_back(index);
    }
    startAtValues(plan, directions, givens);
    const RestrictedMotion motion = restrictedMotion(problem.camera_mount_T_target_mount_list);
    const std::string why = whyUndetermined(motion);
    // A gantry leaves the flange-side offset free in all three axes: each of those directions is held by a
    // component of its own. Elsewhere a direction is held through a component that takes part in it, so
    // that data that determine little (one robot pose, a loose robot prior) fail or show their large sigma.
    const bool ownComponents = motion == RestrictedMotion::NoTurn;
    std::vector<std::pair<int, std::vector<double>>> held;  // (index, reduced direction) of each direction held
    for (const UndeterminedDirection& undetermined : directions) {
        if (undetermined.sigma < limit_factor) {
            plan.weak_left_free = true;
            continue;
        }
        std::vector<double> direction =
            ownComponents ? withoutHeld(undetermined.direction, held) : undetermined.direction;
        const double length = cv::norm(direction);
        if (!(length > kTakesPart)) {
            continue;  // already held through the directions before it
        }
        for (double& value : direction) {
            value /= length;
        }
        const double largest = std::abs(direction[chosenIndex(direction, eyeToHand, {})]);
        int index = -1;
        for (size_t t = 0; t < taken.size() && index < 0; ++t) {
            const bool holdsOne = ownComponents && std::any_of(held.begin(), held.end(),
                                                               [&](const auto& h) { return h.first == taken[t]; });
            if (!holdsOne && std::abs(direction[taken[t]]) >= kTakesPart * largest) {
                index = taken[t];
            }
        }
        if (index < 0) {
            index = chosenIndex(direction, eyeToHand, taken);
            if (index < 0) {
                continue;
            }
            const bool targetPose = index >= kPoseParameterCount;
            const int k = index % kPoseParameterCount;
            MountComponentOutcome outcome = outcomeFor(targetPose, k, eyeToHand);
            outcome.source = "held";
            outcome.sigma = std::numeric_limits<double>::infinity();
            plan.outcomes.push_back(outcome);
            plan.on_target_pose.push_back(targetPose);
            plan.parameters.push_back(k);
            taken.push_back(index);
        }
        held.emplace_back(index, direction);
        const size_t at = std::find(taken.begin(), taken.end(), index) - taken.begin();
        MountComponentOutcome& outcome = plan.outcomes[at];
        const bool targetPose = index >= kPoseParameterCount;
        const int k = index % kPoseParameterCount;
        outcome.undetermined = true;
        const int coupled = coupledIndex(direction, targetPose);
        if (coupled >= 0) {
            outcome.coupled_transform = transformName(!targetPose, eyeToHand);
            outcome.coupled_component = kComponentNames[coupled % kPoseParameterCount];
        }
        const double unit = k < 3 ? kUndeterminedRotationDeg : kUndeterminedTranslationMm;
        outcome.data_sigma = undetermined.sigma * std::abs(direction[index]) * unit;
        outcome.sentence = componentPhrase(targetPose, k, eyeToHand) + " is not determined: " + why;
    }
    return plan;
}

void applyMountPlan(const MountPlan& plan, ErrorsInVariablesProblem& solver, int camera_pose, int target_pose) {
    for (size_t o = 0; o < plan.outcomes.size(); ++o) {
        const int pose = plan.on_target_pose[o] ? target_pose : camera_pose;
        const MountComponentOutcome& outcome = plan.outcomes[o];
        if (outcome.source == "prior") {
            solver.addPoseParameterPrior(pose, plan.parameters[o], outcome.value, outcome.sigma);
        } else {
            solver.holdPoseParameter(pose, plan.parameters[o]);
        }
    }
}

std::vector<MountComponentOutcome> mountOutcomes(const MountPlan& plan, const cv::Mat& camera_mount_T_camera,
                                                 const cv::Mat& target_mount_T_target,
                                                 const std::vector<double>& joint_covariance) {
    constexpr int kCovarianceSize = 2 * kPoseParameterCount + 4;
    std::vector<MountComponentOutcome> outcomes = plan.outcomes;
    for (size_t o = 0; o < outcomes.size(); ++o) {
        MountComponentOutcome& outcome = outcomes[o];
        const int k = plan.parameters[o];
        const cv::Mat& pose = plan.on_target_pose[o] ? target_mount_T_target : camera_mount_T_camera;
        outcome.value = k < 3 ? 0.0 : pose.at<double>(k - 3, 3);
        if (outcome.source == "held" || joint_covariance.size() != kCovarianceSize * kCovarianceSize) {
            continue;
        }
        const int index = analysedIndex(plan.on_target_pose[o], k);
        const double variance = std::max(0.0, joint_covariance[index * kCovarianceSize + index]);
        outcome.sigma = std::sqrt(variance) * (k < 3 ? 180.0 / CV_PI : 1.0);
    }
    return outcomes;
}

void logMountComponents(const std::vector<MountComponentOutcome>& outcomes, const std::string& component) {
    for (const MountComponentOutcome& outcome : outcomes) {
        const std::string name = outcome.component + " of " + outcome.transform;
        std::string sentence = outcome.sentence;
        if (!sentence.empty()) {
            sentence[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(sentence[0])));
        }
        if (outcome.source == "held") {
            const bool turn = outcome.component[0] == 'r';
            logMessage(LogLevel::Warning, component + sentence + "; it is held where the closed form put it" +
                                              (turn ? "" : " (" + sigmaText(outcome.value * 1000.0, "mm") + ")") +
                                              " and is not measured: " + outcome.measurement + ".");
            continue;
        }
        const std::string given = outcome.source == "fixed" ? "fixed at " + sigmaText(outcome.value * 1000.0, "mm")
                                                            : sigmaText(outcome.value * 1000.0, "mm") + " +- " +
                                                                  sigmaText(outcome.sigma * 1000.0, "mm") + " as given";
        logMessage(LogLevel::Info,
                   component + (sentence.empty() ? name + " is " : sentence + "; it is ") + given + ".");
    }
}

}  // namespace velk::calibration
