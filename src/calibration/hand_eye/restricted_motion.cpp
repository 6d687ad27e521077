#include "calibration/hand_eye/restricted_motion.hpp"

#include "calibration/hand_eye/planar_hand_eye.hpp"
#include "calibration/hand_eye/translating_hand_eye.hpp"

namespace velk::calibration {

RestrictedMotion restrictedMotion(const std::vector<cv::Mat>& motions) {
    if (commonTurnAxis(motions)) {
        return RestrictedMotion::OneAxis;
    }
    return onlyTranslates(motions) ? RestrictedMotion::NoTurn : RestrictedMotion::None;
}

std::optional<HandEyeSolution> solveRestrictedHandEye(RestrictedMotion kind, const std::vector<cv::Mat>& motions,
                                                      const std::vector<cv::Mat>& camera_T_target_list,
                                                      bool zero_target_offset) {
    switch (kind) {
        case RestrictedMotion::OneAxis: return solvePlanarHandEye(motions, camera_T_target_list, zero_target_offset);
        case RestrictedMotion::NoTurn:
            return solveTranslatingHandEye(motions, camera_T_target_list, zero_target_offset);
        case RestrictedMotion::None: break;
    }
    return std::nullopt;
}

}  // namespace velk::calibration
