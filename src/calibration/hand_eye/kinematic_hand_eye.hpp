#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/hand_eye/hand_eye_refinement.hpp"
#include "calibration/refinement/kinematic_parameter.hpp"
#include "calibration/refinement/refinement_options.hpp"
#include "kinematics/chain_corrections.hpp"
#include "kinematics/kinematic_chain.hpp"

namespace velk::calibration {

struct KinematicHandEyeOptions {
    kinematics::CorrectionMode mode = kinematics::CorrectionMode::kOffsets;
    // A correction is held at nominal when less than this share of its column-scaled jacobian column
    // remains once every other unknown (the two mounts, the views' own corrections, the camera and the
    // corrections ranked before it) is projected out.
    double rank_tolerance = 1e-4;
    // The determined corrections are kept only when together they differ from zero beyond chance (a
    // chi-square test at 5 %); otherwise the nominal chain serves, as precise as the refinement without
    // them, and the corrections are reported as consistent with nominal.
    bool require_significance = true;
    RefinementOptions refinement;  // noise levels, robust scale, intrinsic priors, iterations
};

struct KinematicHandEyeResult {
    // The camera's and the target's mounts with their 1-sigma, the noise levels (corners and the robot's
    // repeatability left beside the chain's corrections), each view's own correction and the residuals.
    HandEyeRefinement refinement;
    std::vector<KinematicParameter> parameters;  // in the order of the correction layout
    kinematics::KinematicChain corrected_chain;
    // Per view, robot_T_tcp through the corrected chain with the view's own correction.
    std::vector<cv::Mat> robot_T_tcp_list;
    std::vector<std::string> held;  // the names of the corrections held at nominal
    // The determined corrections' chi-square against zero under their covariance, and the limit (95 %
    // of the distribution for their number) above which they are kept; zero when not tested.
    double chi_square = 0.0;
    double chi_square_limit = 0.0;
};

// The known transform of each view from its joint readings through the chain as it is: eye-in-hand
// inv(base_T_flange(q)), eye-to-hand base_T_flange(q).
std::vector<cv::Mat> chainKnownTransforms(const kinematics::KinematicChain& chain,
                                          const std::vector<std::vector<double>>& joints, bool eye_to_hand);

// Hand-eye refinement in which each view's robot pose is computed from its joint readings through the
// chain with corrections shared by every view (the joints' zero offsets, or with them every link
// value), beside each view's own correction for the robot's remaining repeatability. The problem's
// known transforms are replaced by the nominal chain's. The corrections the pictures cannot tell from
// the two mounts or the views' own corrections, or that they do not move, are held at nominal and
// named. Never throws for data that cannot be refined (the result keeps the starting values, refined
// false and the reason); throws std::invalid_argument for joint readings that do not fit the views or
// the chain.
KinematicHandEyeResult refineHandEyeWithKinematics(const HandEyeRefinementProblem& problem,
                                                   const kinematics::KinematicChain& chain,
                                                   const std::vector<std::vector<double>>& joints,
                                                   const KinematicHandEyeOptions& options, bool log = true);

}  // namespace velk::calibration
