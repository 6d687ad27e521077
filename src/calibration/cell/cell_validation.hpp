#pragma once

#include <vector>

#include "calibration/cell/cell_refinement.hpp"
#include "calibration/hand_eye/hand_eye_validation.hpp"
#include "calibration/refinement/refinement_options.hpp"

namespace velk::calibration {

// How well a refined cell predicts pictures it did not see, per camera: each robot pose left out in turn
// (every camera's picture at it), the cell solved again from the full solution under its noise levels, and
// each camera's board at that pose predicted from the reported robot pose alone. Frames are robot poses.
// Never throws for data that cannot be validated: each camera's record then says why.
std::vector<HandEyeValidation> validateCell(const CellRefinementProblem& problem, const CellRefinement& solution,
                                            const RefinementOptions& options);

}  // namespace velk::calibration
