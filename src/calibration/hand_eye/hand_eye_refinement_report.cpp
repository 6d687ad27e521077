#include "calibration/hand_eye/hand_eye_refinement_report.hpp"

#include <cmath>
#include <sstream>

#include "calibration/hand_eye/robot_noise_text.hpp"
#include "calibration/refinement/values_with_sigma.hpp"
#include "core/picture_names.hpp"
#include "core/pose.hpp"

namespace velk::calibration {
namespace {

void writePoseWithSigma(std::ostringstream& text, const std::string& name, const cv::Mat& transformation,
                        const PoseSigma& sigma) {
    const std::vector<double> pose = transformationMatrixToPose(transformation);
    const std::vector<double> millimetres = {pose[0] * 1000.0, pose[1] * 1000.0, pose[2] * 1000.0};
    text << "  "
         << formatValuesWithSigma(name + " translation [mm]", {"x", "y", "z"}, millimetres, sigma.translation_mm,
                                  sigma.translation_norm_mm)
         << "\n";
    text << "  "
         << formatValuesWithSigma(name + " rotation [deg]", {"rx", "ry", "rz"}, {pose[3], pose[4], pose[5]},
                                  sigma.rotation_deg, sigma.rotation_norm_deg)
         << "\n";
}

void writeIntrinsics(std::ostringstream& text, const HandEyeRefinement& refinement) {
    if (refinement.intrinsic_sigmas.size() != 4) {
        text << "  Intrinsics: held fixed\n";
        return;
    }
    const cv::Mat& k = refinement.intrinsic_matrix;
    std::ostringstream line;
    line.setf(std::ios::fixed);
    line.precision(4);
    const char* labels[] = {"fx", "fy", "cx", "cy"};
    const double values[] = {k.at<double>(0, 0), k.at<double>(1, 1), k.at<double>(0, 2), k.at<double>(1, 2)};
    line << "  Intrinsics [px]:";
    for (int i = 0; i < 4; ++i) {
        line << (i ? ", " : " ") << labels[i] << " = " << values[i] << " +- " << refinement.intrinsic_sigmas[i];
    }
    text << line.str() << "\n";
}

void writeResiduals(std::ostringstream& text, const HandEyeRefinement& refinement) {
    std::ostringstream line;
    line.setf(std::ios::fixed);
    line.precision(4);
    line << "  RMS reprojection error: " << refinement.rms_px << " px over " << refinement.corner_count
         << " corners\n  Per-view RMS [px]:";
    for (double rms : refinement.per_view_rms_px) {
        line << " " << rms;
    }
    line << "\n  Outlier views (kept): ";
    if (refinement.outlier_views.empty()) {
        line << "none";
    }
    for (size_t k = 0; k < refinement.outlier_views.size(); ++k) {
        line << (k ? ", " : "") << labelAt(refinement.view_labels, refinement.outlier_views[k]);
    }
    text << line.str() << "\n";
}

void writeRobotNoise(std::ostringstream& text, const HandEyeRefinement& refinement) {
    if (!refinement.robot_error_modelled) {
        return;
    }
    text << "  " << robotNoiseSentence(refinement) << "\n";
    text << "  " << cornerNoiseSentence(refinement) << "\n";
    text << "  Suspect robot poses (kept): "
         << (refinement.suspect_poses.empty() ? "none" : suspectPoseList(refinement)) << "\n";
    if (!refinement.noise_warning.empty()) {
        text << "  WARNING: " << refinement.noise_warning << "\n";
    }
}

const char* const kRefinementHeading = "\nJoint Refinement (reprojection error over all corners):\n";

std::string notApplied(const std::string& reason) {
    return std::string(kRefinementHeading) + "  Not applied: " + reason + "; closed-form result kept.\n";
}

}  // namespace

std::string formatRefinementSection(const std::optional<HandEyeRefinement>& refinement, const std::string& reason,
                                    const RefinedTransformNames& names) {
    if (refinement) {
        return formatHandEyeRefinement(*refinement, names);
    }
    return reason.empty() ? std::string() : notApplied(reason);
}

std::string formatHandEyeRefinement(const HandEyeRefinement& refinement, const RefinedTransformNames& names) {
    if (!refinement.refined) {
        return notApplied(refinement.reason);
    }
    std::ostringstream text;
    text << kRefinementHeading;
    std::ostringstream solver;
    solver.setf(std::ios::fixed);
    solver.precision(4);
    solver << "  Solver: " << refinement.summary.iterations << " iterations, cost " << refinement.summary.initial_cost
           << " -> " << refinement.summary.final_cost << (refinement.summary.converged ? ", converged" : "");
    text << solver.str() << "\n";
    writePoseWithSigma(text, names.camera_pose, refinement.camera_mount_T_camera, *refinement.camera_sigma);
    writePoseWithSigma(text, names.target_pose, refinement.target_mount_T_target, *refinement.target_sigma);
    writeIntrinsics(text, refinement);
    writeResiduals(text, refinement);
    writeRobotNoise(text, refinement);
    return text.str();
}

}  // namespace velk::calibration
