#include "calibration/refinement/solver_run.hpp"

#include <algorithm>
#include <cmath>

namespace velk::calibration {
bool runSolver(ceres::Problem& problem, int max_iterations, std::deque<PoseBlock>& poses,
               const std::deque<CameraBlock>& cameras, RefinementSummary& summary, std::string& reason,
               double tolerance, double initial_trust_region_radius) {
    ceres::Solver::Options options;
    options.linear_solver_type = ceres::DENSE_SCHUR;
    options.max_num_iterations = std::max(1, max_iterations);
    options.num_threads = 1;
    options.logging_type = ceres::SILENT;
    options.minimizer_progress_to_stdout = false;
    options.function_tolerance = tolerance;
    options.initial_trust_region_radius = initial_trust_region_radius;
    options.parameter_tolerance = tolerance;
    ceres::Solver::Summary report;
    ceres::Solve(options, &problem, &report);

    summary.iterations = report.num_successful_steps + report.num_unsuccessful_steps;
    summary.initial_cost = report.initial_cost;
    summary.final_cost = report.final_cost;
    summary.converged = report.termination_type == ceres::CONVERGENCE;
    summary.message = report.message;
    for (PoseBlock& pose : poses) {
        pose.absorbRotationUpdate();
    }
    if (report.termination_type == ceres::NO_CONVERGENCE) {
        reason = "the solver did not converge within " + std::to_string(options.max_num_iterations) + " iterations";
        return false;
    }
    if (!summary.converged) {
        reason = "the solver failed: " + report.message;
        return false;
    }
    const bool finiteCost = std::isfinite(report.final_cost) && report.final_cost <= report.initial_cost;
    const bool finitePoses =
        std::all_of(poses.begin(), poses.end(), [](const PoseBlock& pose) { return pose.isFinite(); });
    const bool finiteCameras =
        std::all_of(cameras.begin(), cameras.end(), [](const CameraBlock& c) { return c.isFinite(); });
    if (!finiteCost || !finitePoses || !finiteCameras) {
        reason = "the solver left non-finite values";
        summary.converged = false;
        return false;
    }
    return true;
}

}  // namespace velk::calibration
