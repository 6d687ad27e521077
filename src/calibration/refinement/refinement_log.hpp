#pragma once

#include <string>
#include <vector>

#include "calibration/refinement/refinement_statistics.hpp"

namespace velk::calibration {

// WARNING: the refinement left the closed-form values in place, and why.
void logRefinementKept(const std::string& component, const std::string& reason);
// INFO: the solver's outcome; WARNING: the views whose residuals stand out, named by `view_labels`
// (numbered where it has no label).
void logRefinementDone(const std::string& component, const RefinementSummary& summary, double rms_px,
                       const std::vector<int>& outlier_views, const std::vector<std::string>& view_labels = {});

}  // namespace velk::calibration
