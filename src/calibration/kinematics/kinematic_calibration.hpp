#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/refinement/chain_pose_problem.hpp"
#include "calibration/refinement/kinematic_parameter.hpp"
#include "calibration/refinement/refinement_statistics.hpp"
#include "kinematics/chain_corrections.hpp"
#include "kinematics/kinematic_chain.hpp"

namespace velk::calibration {

struct KinematicOptions {
    kinematics::CorrectionMode mode = kinematics::CorrectionMode::kOffsets;
    // A correction is held when less than this share of its column-scaled jacobian column remains
    // once the two transforms and the corrections ranked before it are projected out.
    double rank_tolerance = 1e-6;
    int folds = 5;  // observation i is held out in fold i % folds
    int max_iterations = 200;
};

// Errors of predicted against measured camera_T_target over a set of observations.
struct PoseErrorStatistics {
    int count = 0;
    double mean_position_mm = 0.0;
    double rms_position_mm = 0.0;
    double max_position_mm = 0.0;
    double mean_orientation_deg = 0.0;
    double rms_orientation_deg = 0.0;
    double max_orientation_deg = 0.0;
};

struct KinematicCalibrationResult {
    std::string mount_name;    // base_T_camera or flange_T_camera
    std::string carrier_name;  // flange_T_target or base_T_target
    cv::Mat mount;             // 4x4 CV_64F, metres
    cv::Mat carrier;
    PoseSigma mount_sigma;
    PoseSigma carrier_sigma;
    std::vector<KinematicParameter> parameters;  // in the order of the correction layout
    kinematics::KinematicChain corrected_chain;
    double translation_noise_mm = 0.0;  // 1-sigma per axis estimated from the residuals
    double rotation_noise_deg = 0.0;
    PoseErrorStatistics nominal_fit;         // the two transforms fitted with the nominal chain
    PoseErrorStatistics calibrated_fit;      // with the determined corrections as well
    std::vector<double> position_errors_mm;  // per observation, calibrated
    std::vector<double> orientation_errors_deg;
    int folds = 0;
    PoseErrorStatistics nominal_held_out;  // each observation predicted by a fit without its fold
    PoseErrorStatistics calibrated_held_out;
    bool converged = false;
    std::string message;
};

// The two transforms and the corrections the data determine, from measured poses. The nominal chain
// is fitted first (the two transforms only); at that solution the corrections are ranked by the
// information the data hold on them and those the transforms absorb or the data do not move are
// held at zero; the rest are estimated with the transforms, with noise levels from the data.
KinematicCalibrationResult calibrateKinematics(const ChainPoseData& data, const cv::Mat& mount_start,
                                               const cv::Mat& carrier_start, const KinematicOptions& options);

// The error statistics of an estimate over the given observations.
PoseErrorStatistics poseErrorStatistics(const std::vector<double>& position_mm,
                                        const std::vector<double>& orientation_deg);

}  // namespace velk::calibration
