#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/refinement/chain_pose_prediction.hpp"
#include "calibration/refinement/parameter_identifiability.hpp"
#include "kinematics/chain_corrections.hpp"
#include "kinematics/kinematic_chain.hpp"

namespace velk::calibration {

// Measured poses of a target through a chain: per observation the joint readings and the
// camera_T_target a 3-D sensor or metrology device measured (4x4 CV_64F, metres).
struct ChainPoseData {
    kinematics::KinematicChain chain;
    ChainSetup setup = ChainSetup::kSensorFixed;
    std::vector<std::vector<double>> joints;
    std::vector<cv::Mat> camera_T_target;

    int count() const { return static_cast<int>(joints.size()); }
};

// What to fit: which observations, which corrections are free (the others stay at zero), and where
// the two transforms start.
struct ChainPoseFit {
    const ChainPoseData* data = nullptr;
    kinematics::CorrectionLayout layout;
    std::vector<int> free_corrections;
    std::vector<int> observations;
    cv::Mat mount_start;    // base_T_camera or flange_T_camera
    cv::Mat carrier_start;  // flange_T_target or base_T_target
    int max_iterations = 200;
};

// A fit: the two transforms, the corrections (all of the layout, zero where held), the noise levels
// of translation and rotation estimated from the residuals (variance components) and the covariance
// of [mount w, t, carrier w, t, free corrections] under them. The rotation parts w are small
// rotations in the parent frames, at zero.
struct ChainPoseEstimate {
    cv::Mat mount;
    cv::Mat carrier;
    std::vector<double> corrections;
    std::vector<double> covariance;  // row-major, (12 + free) squared; empty when singular
    double translation_sigma_m = 0.0;
    double rotation_sigma_rad = 0.0;
    bool converged = false;
    std::string message;
};

// Least squares of the translation and rotation errors, each weighted by its noise level, the levels
// estimated from the data in rounds until they settle. One thread: the result does not depend on the
// machine.
ChainPoseEstimate fitChainPoses(const ChainPoseFit& fit);

// The jacobian at an estimate of the fit's observations over [mount, carrier, every correction of the
// layout], rows weighted by the estimate's noise levels.
DenseMatrix weightedChainJacobian(const ChainPoseFit& fit, const ChainPoseEstimate& estimate);

// The camera_T_target an estimate predicts at the joint readings, 4x4 CV_64F.
cv::Mat predictCameraTTarget(const ChainPoseData& data, const kinematics::CorrectionLayout& layout,
                             const ChainPoseEstimate& estimate, const std::vector<double>& joints);

}  // namespace velk::calibration
