#pragma once

#include <vector>

#include "calibration/refinement/refinement_statistics.hpp"
#include "io/result_records.hpp"

namespace velk::calibration {

// A pose's 1-sigma as a record stores it: translation (mm) then rotation (deg), three each.
std::vector<double> sigmaValues(const PoseSigma& sigma);

// Copies what the solver reported into a refinement record.
void copySolverOutcome(const RefinementSummary& summary, io::RefinementRecord& record);

}  // namespace velk::calibration
