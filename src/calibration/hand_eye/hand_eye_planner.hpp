#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "calibration/hand_eye/plan_scene.hpp"
#include "calibration/refinement/refinement_statistics.hpp"

namespace velk::calibration {

// One flange pose added to a plan and the predicted 1-sigma of the hand-eye transform with it.
struct HandEyePlanStep {
    int candidate = -1;  // position in the candidate list
    PoseSigma camera_sigma;
    bool determined = false;  // false while the poses so far leave some unknown undetermined
};

struct HandEyePlan {
    std::vector<HandEyePlanStep> steps;
    std::vector<int> corners_seen;  // per candidate
    int usable_candidates = 0;
};

// Chooses count flange poses from the candidates, one at a time, each the one that most lowers the
// predicted uncertainty of the hand-eye transform (its translation and rotation variances, each in
// units of the robot's own noise), after the poses already captured (empty for a new plan).
// Throws std::invalid_argument naming the reason when no candidate sees the whole board, or when
// the candidates and captured poses hold fewer than three usable poses.
HandEyePlan planHandEye(const HandEyePlanScene& scene, const std::vector<cv::Mat>& candidates, int count,
                        const std::vector<cv::Mat>& captured = {});

// Per candidate, the predicted 1-sigma of the hand-eye transform with that pose added alone to
// the captured ones; undetermined (false) where the sum still leaves an unknown free.
struct NextPoseRanking {
    PoseSigma current;  // with the captured poses alone
    bool current_determined = false;
    std::vector<PoseSigma> with_candidate;
    std::vector<bool> determined;
    std::vector<int> corners_seen;
};
NextPoseRanking rankNextPoses(const HandEyePlanScene& scene, const std::vector<cv::Mat>& captured,
                              const std::vector<cv::Mat>& candidates);

}  // namespace velk::calibration
