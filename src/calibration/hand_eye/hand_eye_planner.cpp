#include "calibration/hand_eye/hand_eye_planner.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "calibration/hand_eye/nominal_problem.hpp"
#include "calibration/refinement/greedy_design.hpp"
#include "calibration/refinement/pose_block.hpp"

namespace velk::calibration {
namespace {

// The information of the captured poses and of every candidate, from one problem holding them all.
struct PlanInformation {
    cv::Mat base;
    std::vector<cv::Mat> candidates;
    std::vector<bool> usable;
    std::vector<int> corners_seen;
    int captured_usable = 0;
    DesignCriterion criterion;
};

void checkCandidates(const HandEyePlanScene& scene, const PlanInformation& info) {
    const int corners = static_cast<int>(scene.object_points.total() * scene.object_points.channels() / 3);
    const int most =
        info.corners_seen.empty() ? 0 : *std::max_element(info.corners_seen.begin(), info.corners_seen.end());
    if (most < corners) {
        throw std::invalid_argument(
            "hand-eye plan: the board is never fully seen from the workspace: no candidate "
            "pose sees all " +
            std::to_string(corners) + " corners (the most any sees is " + std::to_string(most) + ")");
    }
    const auto usable = std::count(info.usable.begin(), info.usable.end(), true) + info.captured_usable;
    if (usable < kFewestPlanPoses) {
        throw std::invalid_argument("hand-eye plan: fewer than three usable poses: only " + std::to_string(usable) +
                                    " see at least " + std::to_string(planMinimumCorners(scene)) +
                                    " corners of the board");
    }
}

PlanInformation planInformation(const HandEyePlanScene& scene, const std::vector<cv::Mat>& captured,
                                const std::vector<cv::Mat>& candidates) {
    std::vector<cv::Mat> all(captured);
    all.insert(all.end(), candidates.begin(), candidates.end());
    NominalProblem nominal = buildNominalProblem(scene, all);
    PlanInformation info;
    for (size_t k = 0; k < all.size(); ++k) {
        if (k < captured.size()) {
            info.captured_usable += nominal.views[k] >= 0 ? 1 : 0;
        } else {
            info.usable.push_back(nominal.views[k] >= 0);
            info.corners_seen.push_back(nominal.corners_seen[k]);
        }
    }
    checkCandidates(scene, info);
    const std::vector<cv::Mat> views = nominal.problem->viewInformation();
    info.base = nominal.problem->sharedPriorInformation();
    for (size_t k = 0; k < all.size(); ++k) {
        const int view = nominal.views[k];
        if (k < captured.size()) {
            if (view >= 0) {
                info.base += views[view];
            }
            continue;
        }
        info.candidates.push_back(view >= 0 ? views[view] : cv::Mat::zeros(info.base.size(), CV_64F));
    }
    // [w, t] of the hand-eye transform, each variance in units of the robot's noise.
    const ObservationNoise noise = planNoise(scene);
    info.criterion.first_column = nominal.problem->sharedPoseColumn(nominal.camera_pose);
    const double rotation = 1.0 / (noise.rotation_rad * noise.rotation_rad);
    const double translation = 1.0 / (noise.translation_m * noise.translation_m);
    info.criterion.weights = {rotation, rotation, rotation, translation, translation, translation};
    return info;
}

PoseSigma sigmaOf(const cv::Mat& covariance) {
    cv::Mat block;
    covariance.convertTo(block, CV_64F);
    return poseSigmaFromCovariance(block.ptr<double>(), 1.0);
}

}  // namespace

HandEyePlan planHandEye(const HandEyePlanScene& scene, const std::vector<cv::Mat>& candidates, int count,
                        const std::vector<cv::Mat>& captured) {
    if (count < 1) {
        throw std::invalid_argument("hand-eye plan: the number of poses to choose must be at least 1");
    }
    const PlanInformation info = planInformation(scene, captured, candidates);
    HandEyePlan plan;
    plan.corners_seen = info.corners_seen;
    plan.usable_candidates = static_cast<int>(std::count(info.usable.begin(), info.usable.end(), true));
    for (const DesignStep& step : greedyDesign(info.base, info.candidates, info.criterion, count, info.usable)) {
        HandEyePlanStep added;
        added.candidate = step.candidate;
        added.determined = step.determined;
        added.camera_sigma = sigmaOf(step.covariance);
        plan.steps.push_back(added);
    }
    return plan;
}

NextPoseRanking rankNextPoses(const HandEyePlanScene& scene, const std::vector<cv::Mat>& captured,
                              const std::vector<cv::Mat>& candidates) {
    const PlanInformation info = planInformation(scene, captured, candidates);
    NextPoseRanking ranking;
    ranking.corners_seen = info.corners_seen;
    const std::vector<cv::Mat> current =
        singleAdditionCovariances(info.base, {cv::Mat::zeros(info.base.size(), CV_64F)}, info.criterion);
    ranking.current_determined = !current[0].empty();
    if (ranking.current_determined) {
        ranking.current = sigmaOf(current[0]);
    }
    const std::vector<cv::Mat> added = singleAdditionCovariances(info.base, info.candidates, info.criterion);
    for (size_t k = 0; k < added.size(); ++k) {
        const bool determined = !added[k].empty() && info.usable[k];
        ranking.determined.push_back(determined);
        ranking.with_candidate.push_back(determined ? sigmaOf(added[k]) : PoseSigma());
    }
    return ranking;
}

}  // namespace velk::calibration
