#include "calibration/hand_eye/robot_noise_text.hpp"

#include <cmath>

#include "core/fixed_text.hpp"
#include "core/picture_names.hpp"

namespace velk::calibration {
namespace {

double norm3(const std::vector<double>& values, size_t first) {
    return std::sqrt(values[first] * values[first] + values[first + 1] * values[first + 1] +
                     values[first + 2] * values[first + 2]);
}

}  // namespace

std::string robotNoiseSentence(const HandEyeRefinement& refinement) {
    return "Robot poses agree with the pictures to " + fixedText(refinement.robot_translation_noise_mm, 2) + " mm / " +
           fixedText(refinement.robot_rotation_noise_deg, 3) + " deg RMS per axis (" +
           (refinement.noise_estimated ? "estimated" : "given") + ")";
}

std::string cornerNoiseSentence(const HandEyeRefinement& refinement) {
    return "Corner noise: " + fixedText(refinement.pixel_noise_px, 2) + " px (estimated)";
}

std::string implausibleRobotNoiseWarning(double translation_mm, double rotation_deg) {
    if (translation_mm <= kImplausibleRobotTranslationMm && rotation_deg <= kImplausibleRobotRotationDeg) {
        return "";
    }
    return "The robot poses disagree with the pictures by " + fixedText(translation_mm, 2) + " mm / " +
           fixedText(rotation_deg, 3) +
           " deg per axis, far more than a robot's own error. Likely causes: the units "
           "of the poses or of the board (millimetres given as metres), the pose convention (robot_T_tcp, not "
           "its inverse), the quaternion order (wxyz or xyzw), or poses out of order with the pictures.";
}

std::string suspectPoseList(const HandEyeRefinement& refinement) {
    std::string list;
    for (size_t k = 0; k < refinement.suspect_poses.size(); ++k) {
        const int view = refinement.suspect_poses[k];
        const std::vector<double>& c = refinement.robot_pose_corrections.at(view);
        list += (k ? ", " : "") + labelAt(refinement.view_labels, view) + " (" + fixedText(norm3(c, 0), 2) + " mm, " +
                fixedText(norm3(c, 3), 3) + " deg)";
    }
    return list;
}

}  // namespace velk::calibration
