#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "calibration/hand_eye/hand_eye_refinement.hpp"
#include "calibration/refinement/errors_in_variables_problem.hpp"
#include "calibration/refinement/parameter_identifiability.hpp"
#include "calibration/refinement/refinement_options.hpp"
#include "kinematics/chain_corrections.hpp"
#include "kinematics/kinematic_chain.hpp"

namespace velk::calibration {

// The serial chain through which every view's robot pose is computed from its joint readings, in
// place of the problem's known transforms: eye-in-hand inv(base_T_flange(q)), eye-to-hand
// base_T_flange(q). free: the positions in the layout of the corrections that are unknowns.
struct ChainViews {
    const kinematics::KinematicChain* chain = nullptr;
    kinematics::CorrectionLayout layout;
    std::vector<int> free;
    const std::vector<std::vector<double>>* joints = nullptr;  // per view, one reading per joint
};

// What a refinement through a chain found: the corrections in the layout's order with their 1-sigma
// (zero where held), and each view's robot_T_tcp through the corrected chain with the view's own
// correction.
struct ChainFit {
    std::vector<double> corrections;
    std::vector<double> sigmas;
    std::vector<double> covariance;  // of the free corrections, row-major
    std::vector<cv::Mat> robot_T_tcp_list;
};

// Every reported robot pose is an observation with an error of its own: each view gets a small
// correction of its flange pose, weighted by the robot noise, beside the corners weighted by the
// pixel noise; both levels come from the data unless the options give them. view_poses: each
// view's own camera_T_target (empty where it has none), from which the corrections start.
// fit_target_scale: the target's size is one more unknown, starting at problem.target_scale; the
// result then carries it (target_scale_measured). starting_levels: where the estimated noise levels start
// (a re-solve from a solution starts at its settled levels); by default at the starting corrections' spread.
// measure_target_scale: the result, solved at the described size, also carries the size measured at its
// solution (ErrorsInVariablesProblem::measureTargetScale), when the problem starts at the described size.
HandEyeRefinement refineWithRobotError(const HandEyeRefinementProblem& problem, const RefinementOptions& options,
                                       const cv::Mat& target_start, const std::vector<cv::Mat>& view_poses,
                                       HandEyeRefinement result, bool log = true, bool fit_target_scale = false,
                                       const ChainViews* chain = nullptr, ChainFit* fit = nullptr,
                                       const ObservationNoise* starting_levels = nullptr,
                                       bool measure_target_scale = false);

// Each view left out of a refined solution in turn: the solution's poses (camera, then target) and
// intrinsics one Gauss-Newton step away without the view, with their covariance (see
// ErrorsInVariablesProblem::leaveEachViewOut). solution: the problem warm-started at the solution
// (its transforms, intrinsics and starting_corrections); options: its noise levels, all given.
// fit_target_scale: the target's size is an unknown, at solution.target_scale. Throws
// std::invalid_argument for a problem that is not at a solution or levels not given.
std::vector<LeftOutSolution> leaveEachViewOut(const HandEyeRefinementProblem& solution,
                                              const RefinementOptions& options, bool fit_target_scale);

// The corrections of a refined result's views (4 x 4 each) as the solver holds them, from the
// robot pose corrections it reports.
std::vector<cv::Mat> solvedCorrections(const HandEyeRefinement& result, bool eye_to_hand);

// Which of the chain's free corrections the pictures determine against the hand-eye unknowns, the
// views' own corrections and the camera: judged at the starting values with the views' corrections at
// zero, under the noise levels the refinement would start with. Indexed by free correction; groups:
// 0 the camera's mount, 1 the target's mount, 2 the views' corrections, 3 the camera, 4 + k free
// correction k. Throws std::invalid_argument for a camera that cannot be set up.
Identifiability chainIdentifiability(const HandEyeRefinementProblem& problem, const RefinementOptions& options,
                                     const cv::Mat& target_start, const std::vector<cv::Mat>& view_poses,
                                     const ChainViews& chain, double tolerance);

}  // namespace velk::calibration
