#include "calibration/hand_eye/hand_eye_report.hpp"

#include <cmath>
#include <sstream>
#include <string>

#include "calibration/hand_eye/hand_eye_refinement_report.hpp"
#include "calibration/hand_eye/hand_eye_validation_report.hpp"
#include "core/picture_names.hpp"
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

void writeConsistency(std::ostringstream& text, const TargetConsistencyStats& c,
                      const std::vector<std::string>& frame_labels) {
    text << "\nTarget Consistency Residual:\n";
    text << "  Translation - mean: " << c.mean_translation_m * 1000 << " mm   max: " << c.max_translation_m * 1000
         << " mm\n";
    text << "  Rotation    - mean: " << c.mean_rotation_deg << " deg   max: " << c.max_rotation_deg << " deg\n";
    for (size_t j = 0; j < c.translation_deviations_m.size(); ++j) {
        text << "  Frame " << labelAt(frame_labels, static_cast<int>(j))
             << ": trans=" << c.translation_deviations_m[j] * 1000 << "mm rot=" << c.rotation_deviations_deg[j]
             << "deg dist=" << c.distances_m[j] * 1000 << "mm center=(" << c.board_us[j] << ", " << c.board_vs[j]
             << ")\n";
    }
}

}  // namespace

std::string fewPointsText(int points) {
    return "The target gives only " + std::to_string(points) + " corners per picture (fewer than " +
           std::to_string(kFewPointsPerPicture) +
           "): each pose rests on few points, so expect a less precise result than from a larger board.";
}

std::string formatHandEyeReport(const HandEyeReportContent& content) {
    std::ostringstream text;
    text << "\n" << kBar << "\n" << content.title << "\n" << kBar << "\n";
    if (content.transforms.empty() || content.transforms.front().transform.empty()) {
        text << "Calibration failed.\n";
        return text.str();
    }
    for (const HandEyeReportTransform& section : content.transforms) {
        text << "\n" << section.heading << ":\n" << section.transform << "\n";
        writePose(text, section.transform);
    }
    text << "\nIntrinsic Matrix:\n" << content.intrinsic_matrix << "\n";
    text << "\nDistortion Coefficients" << (content.camera_model == "fisheye" ? " (fisheye model: k1, k2, k3, k4)" : "")
         << ":\n"
         << content.distortion_coefficients << "\n";
    text << "\nReprojection Error: ";
    if (std::isnan(content.reprojection_error)) {
        text << "n/a\n";
    } else {
        text << std::fixed;
        text.precision(4);
        text << content.reprojection_error << " px\n";
    }
    if (content.target_points_per_picture > 0 && content.target_points_per_picture < kFewPointsPerPicture) {
        text << "\nWARNING: " << fewPointsText(content.target_points_per_picture) << "\n";
    }
    if (content.consistency != nullptr) {
        writeConsistency(text, *content.consistency, content.frame_labels);
    }
    if (!content.camera_T_target_list.empty()) {
        text << "\n"
             << quality::format_rotation_variety(
                    quality::analyze_rotation_variety(content.camera_T_target_list, kReportMinimumRotationDeg));
    }
    text << content.refinement_section;
    return text.str();
}

std::string formatHandEyeReport(const HandEyeResult& result) {
    return formatHandEyeReport(HandEyeReportContent{
        "HAND-EYE RESULTS",
        {{"Hand-Eye Transform (TCP -> Camera)", result.tcp_T_camera}},
        result.intrinsic_matrix,
        result.distortion_coefficients,
        result.reprojection_error,
        result.has_consistency ? &result.consistency : nullptr,
        result.camera_T_target_list,
        formatRefinementSection(result.refinement, result.refinement_reason, {"tcp_T_camera", "world_T_target"}) +
            formatValidationSection(result.validation, result.image_names),
        result.target_points_per_picture,
        result.camera_model,
        pictureLabels(result.image_names, result.image_indices)});
}

std::string formatEyeToHandReport(const EyeToHandResult& result) {
    return formatHandEyeReport(HandEyeReportContent{
        "EYE-TO-HAND RESULTS",
        {{"Hand-Eye Transform (Robot Base -> Camera)", result.robot_T_camera},
         {"Target Transform (TCP -> Target)", result.tcp_T_target}},
        result.intrinsic_matrix,
        result.distortion_coefficients,
        result.reprojection_error,
        result.has_consistency ? &result.consistency : nullptr,
        result.camera_T_target_list,
        formatRefinementSection(result.refinement, result.refinement_reason, {"robot_T_camera", "tcp_T_target"}) +
            formatValidationSection(result.validation, result.image_names),
        result.target_points_per_picture,
        result.camera_model,
        pictureLabels(result.image_names, result.image_indices)});
}

}  // namespace velk::calibration
