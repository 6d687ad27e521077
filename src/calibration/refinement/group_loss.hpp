#pragma once

// Included only by the refinement sources: it pulls in the solver's headers.

#include <ceres/ceres.h>

namespace velk::calibration {

// The loss of one group of residuals that share a noise level: the weight 1 / sigma^2, which can
// change between solves, with an optional Huber bound on the raw residual (none when the bound is 0).
class GroupLoss : public ceres::LossFunction {
public:
    explicit GroupLoss(double huber_bound) : huber_bound_(huber_bound) {}
    void setSigma(double sigma) { weight_ = 1.0 / (sigma * sigma); }
    double huberBound() const { return huber_bound_; }

    void Evaluate(double s, double rho[3]) const override;

private:
    double huber_bound_;
    double weight_ = 1.0;
};

}  // namespace velk::calibration
