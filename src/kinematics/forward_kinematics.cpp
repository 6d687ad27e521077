#include "kinematics/forward_kinematics.hpp"

#include <stdexcept>

namespace velk::kinematics {

cv::Mat motionMatrix(const RigidMotion<double>& motion) {
    cv::Mat matrix = cv::Mat::eye(4, 4, CV_64F);
    for (int row = 0; row < 3; ++row) {
        for (int col = 0; col < 3; ++col) {
            matrix.at<double>(row, col) = motion.r[3 * row + col];
        }
        matrix.at<double>(row, 3) = motion.t[row];
    }
    return matrix;
}

cv::Mat forwardKinematics(const KinematicChain& chain, const std::vector<double>& joints) {
    validateChain(chain);
    if (static_cast<int>(joints.size()) != chain.jointCount()) {
        throw std::invalid_argument("forwardKinematics: expected " + std::to_string(chain.jointCount()) +
                                    " joint readings, got " + std::to_string(joints.size()));
    }
    const CorrectionLayout none = correctionLayout(chain, CorrectionMode::kOffsets);
    return motionMatrix(baseTFlange<double>(chain, none, nullptr, joints.data()));
}

}  // namespace velk::kinematics
