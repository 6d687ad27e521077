#include "calibration/refinement/group_loss.hpp"

#include <cmath>

namespace velk::calibration {

void GroupLoss::Evaluate(double s, double rho[3]) const {
    if (huber_bound_ > 0.0 && s > huber_bound_ * huber_bound_) {
        const double r = std::sqrt(s);
        rho[0] = 2.0 * huber_bound_ * r - huber_bound_ * huber_bound_;
        rho[1] = huber_bound_ / r;
        rho[2] = -rho[1] / (2.0 * s);
    } else {
        rho[0] = s;
        rho[1] = 1.0;
        rho[2] = 0.0;
    }
    for (int k = 0; k < 3; ++k) {
        rho[k] *= weight_;
    }
}

}  // namespace velk::calibration
