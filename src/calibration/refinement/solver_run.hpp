#pragma once

// Included only by the refinement sources: it pulls in the solver's headers.

#include <deque>
#include <string>

#include <ceres/ceres.h>

#include "calibration/refinement/camera_block.hpp"
#include "calibration/refinement/pose_block.hpp"
#include "calibration/refinement/refinement_statistics.hpp"

namespace velk::calibration {

// Levenberg-Marquardt on one thread, silent, to tight tolerances; fills the summary. Afterwards
// every pose's rotation update is moved into its base rotation. False with the reason when the
// solver did not converge, failed, or left a non-finite or larger cost or non-finite values.
// tolerance: the relative change of cost and parameters at which it stops. The damping starts at the
// normal matrix's diagonal over initial_trust_region_radius (the solver's own default suits a start
// far from the solution; one near it may start with almost none).
bool runSolver(ceres::Problem& problem, int max_iterations, std::deque<PoseBlock>& poses,
               const std::deque<CameraBlock>& cameras, RefinementSummary& summary, std::string& reason,
               double tolerance = 1e-10, double initial_trust_region_radius = 1e4);

}  // namespace velk::calibration
