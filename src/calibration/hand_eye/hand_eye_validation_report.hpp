#pragma once

#include <optional>
#include <string>
#include <vector>

#include "calibration/hand_eye/hand_eye_validation.hpp"

namespace velk::calibration {

// "Predicts pictures it did not see to 1.4 px (median), 2.1 mm / 0.21 deg; observed/predicted 1.1".
std::string heldOutSentence(const HandEyeValidation& validation);

// The validation section of a hand-eye report; empty when validation was not asked for. Pictures are named
// through `image_names`, the names of the list the calibration was given (pictureLabel).
std::string formatValidationSection(const std::optional<HandEyeValidation>& validation,
                                    const std::vector<std::string>& image_names = {});

}  // namespace velk::calibration
