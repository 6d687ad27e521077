#include "calibration/refinement/refinement_log.hpp"

#include "core/fixed_text.hpp"
#include "core/log.hpp"
#include "core/picture_names.hpp"

namespace velk::calibration {

void logRefinementKept(const std::string& component, const std::string& reason) {
    logMessage(LogLevel::Warning,
               component + "Refinement not applied: " + reason + "; keeping the closed-form result.");
}

void logRefinementDone(const std::string& component, const RefinementSummary& summary, double rms_px,
                       const std::vector<int>& outlier_views, const std::vector<std::string>& view_labels) {
    logMessage(LogLevel::Info, component + "Refined in " + std::to_string(summary.iterations) + " iterations: cost " +
                                   fixedText(summary.initial_cost, 4) + " -> " + fixedText(summary.final_cost, 4) +
                                   ", RMS " + fixedText(rms_px, 4) + " px");
    if (outlier_views.empty()) {
        return;
    }
    std::string list;
    for (size_t k = 0; k < outlier_views.size(); ++k) {
        list += (k ? ", " : "") + labelAt(view_labels, outlier_views[k]);
    }
    logMessage(LogLevel::Warning, component + "Views with outstanding reprojection error (kept): " + list);
}

}  // namespace velk::calibration
