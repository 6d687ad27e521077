#include "calibration/refinement/leave_one_out.hpp"

#include <algorithm>
#include <cmath>

#include <Eigen/Dense>

namespace velk::calibration {
namespace {

// Per jacobian row, the Huber loss's slope at its corner's residual: 1 within the bound, bound / length
// beyond it. Corner rows come in pairs (x, y); other rows keep 1.
std::vector<double> huberFactors(const GroupedLinearisation& lin, const JacobianLayout& layout, double bound) {
    std::vector<double> factors(lin.residuals.size(), 1.0);
    if (!(bound > 0.0)) {
        return factors;
    }
    for (const ViewRows& view : layout.views) {
        for (int r = view.corners.first; r + 1 < view.corners.end; r += 2) {
            const double length = std::hypot(lin.residuals[r], lin.residuals[r + 1]);
            if (length > bound) {
                factors[r] = factors[r + 1] = bound / length;
            }
        }
    }
    return factors;
}

struct ViewPart {
    Eigen::MatrixXd robust_information;  // as the robust loss weighs the rows: for the step
    Eigen::VectorXd robust_gradient;
    Eigen::MatrixXd information;  // of the plain weighted rows: for the covariance
};

ViewPart viewPart(const GroupedLinearisation& lin, const ViewRows& rows, const SharedColumns& shared,
                  const LocalColumns& correction, const std::vector<double>& factors) {
    const auto information = [&](const std::vector<double>* rowFactors) {
        SplitInformation view(shared, correction);
        view.addRows(lin, rows.corners, rowFactors);
        view.addRows(lin, rows.translation_prior);
        view.addRows(lin, rows.rotation_prior);
        return view;
    };
    const SplitInformation robust = information(&factors);
    ViewPart part{robust.reducedInformation(), robust.reducedGradient(), Eigen::MatrixXd()};
    const bool downweighted = std::any_of(factors.begin() + rows.corners.first, factors.begin() + rows.corners.end,
                                          [](double f) { return f < 1.0; });
    part.information = downweighted ? information(nullptr).reducedInformation() : part.robust_information;
    return part;
}

}  // namespace

std::vector<LeftOutStep> leaveOneViewOut(const GroupedLinearisation& lin, const JacobianLayout& layout,
                                         const SharedColumns& shared, const std::vector<LocalColumns>& corrections,
                                         double pixel_huber_px) {
    const std::vector<double> factors = huberFactors(lin, layout, pixel_huber_px);
    const int n = shared.count;
    // Everything's information and gradient: every view's, and the rows that belong to no view.
    SplitInformation priors(shared, LocalColumns());
    for (const RowRange& range : layout.group_rows.at(kIntrinsicPriorGroup)) {
        priors.addRows(lin, range);
    }
    const Eigen::MatrixXd priorInformation = priors.reducedInformation();
    Eigen::MatrixXd robustInformation = priorInformation, information = priorInformation;
    Eigen::VectorXd gradient = priors.reducedGradient();
    std::vector<ViewPart> parts;
    for (size_t v = 0; v < layout.views.size(); ++v) {
        parts.push_back(viewPart(lin, layout.views[v], shared, corrections.at(v), factors));
        robustInformation += parts.back().robust_information;
        information += parts.back().information;
        gradient += parts.back().robust_gradient;
    }
    std::vector<LeftOutStep> steps(parts.size());
    for (size_t v = 0; v < parts.size(); ++v) {
        const Eigen::LDLT<Eigen::MatrixXd> robust(robustInformation - parts[v].robust_information);
        const Eigen::LDLT<Eigen::MatrixXd> plain(information - parts[v].information);
        if (!positiveDefinite(robust) || !positiveDefinite(plain)) {
            continue;
        }
        const Eigen::VectorXd step = -robust.solve(gradient - parts[v].robust_gradient);
        const Eigen::MatrixXd covariance = plain.solve(Eigen::MatrixXd::Identity(n, n));
        if (!step.allFinite() || !covariance.allFinite()) {
            continue;
        }
        steps[v].ok = true;
        steps[v].step.assign(step.data(), step.data() + n);
        // Eigen's default storage is column-major; the covariance is symmetric, so either order reads it.
        steps[v].covariance.assign(covariance.data(), covariance.data() + covariance.size());
    }
    return steps;
}

}  // namespace velk::calibration
