#include "calibration/refinement/refinement_record_values.hpp"

namespace velk::calibration {

std::vector<double> sigmaValues(const PoseSigma& sigma) {
    std::vector<double> values = sigma.translation_mm;
    values.insert(values.end(), sigma.rotation_deg.begin(), sigma.rotation_deg.end());
    return values;
}

void copySolverOutcome(const RefinementSummary& summary, io::RefinementRecord& record) {
    record.iterations = summary.iterations;
    record.initial_cost = summary.initial_cost;
    record.final_cost = summary.final_cost;
    record.converged = summary.converged;
}

}  // namespace velk::calibration
