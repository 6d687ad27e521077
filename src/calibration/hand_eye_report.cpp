#include "calibration/hand_eye_report.hpp"

#include <cmath>
#include <sstream>

#include "calibration/refinement_report.hpp"
#include "core/pose.hpp"
#include "core/rotation_variety.hpp"

namespace velk::calibration {
namespace {

const std::string kBar(60, '=');
constexpr double kReportMinimumRotationDeg = 0.5;

void writePose(std::ostringstream& text, const cv::Mat& transformation) {
    const std::vector<double> pose = transformationMatrixToPose(transformation);
    text << "\nPose [x, y, z, rx, ry, rz] (deg):\n  [";
    for (size_t k = 0; k < pose.size(); ++k) {
        text << (k ? ", " : "") << pose[k];
    }
    text << "]\n";
}

void writeConsistency(std::ostringstream& text, const TargetConsistencyStats& c) {
    text << "\nTarget Consistency Residual:\n";
    text << "  Translation - mean: " << c.mean_translation_m * 1000 << " mm   max: " << c.max_translation_m * 1000
         << " mm\n";
    text << "  Rotation    - mean: " << c.mean_rotation_deg << " deg   max: " << c.max_rotation_deg << " deg\n";
    for (size_t j = 0; j < c.translation_deviations_m.size(); ++j) {
        text << "  Frame " << j << ": trans=" << c.translation_deviations_m[j] * 1000
             << "mm rot=" << c.rotation_deviations_deg[j] << "deg dist=" << c.distances_m[j] * 1000
             << "mm center=(" << c.board_us[j] << ", " << c.board_vs[j] << ")\n";
    }
}

}  // namespace

std::string formatHandEyeReport(const HandEyeResult& result) {
    std::ostringstream text;
    text << "\n" << kBar << "\nHAND-EYE RESULTS\n" << kBar << "\n";
    if (result.tcp_T_camera.empty()) {
        text << "Calibration failed.\n";
        return text.str();
    }
    text << "\nHand-Eye Transform (TCP -> Camera):\n" << result.tcp_T_camera << "\n";
    writePose(text, result.tcp_T_camera);
    text << "\nIntrinsic Matrix:\n" << result.intrinsic_matrix << "\n";
    text << "\nDistortion Coefficients:\n" << result.distortion_coefficients << "\n";
    text << "\nReprojection Error: ";
    if (std::isnan(result.reprojection_error)) {
        text << "n/a\n";
    } else {
        text << std::fixed;
        text.precision(4);
        text << result.reprojection_error << " px\n";
    }
    if (result.has_consistency) {
        writeConsistency(text, result.consistency);
    }
    if (!result.camera_T_target_list.empty()) {
        text << "\n"
             << quality::format_rotation_variety(
                    quality::analyze_rotation_variety(result.camera_T_target_list, kReportMinimumRotationDeg));
    }
    if (result.refinement) {
        text << formatHandEyeRefinement(*result.refinement, {"tcp_T_camera", "world_T_target"});
    } else if (!result.refinement_reason.empty()) {
        text << "\nJoint Refinement (reprojection error over all corners):\n  Not applied: " << result.refinement_reason
             << "; closed-form result kept.\n";
    }
    return text.str();
}

}  // namespace velk::calibration
