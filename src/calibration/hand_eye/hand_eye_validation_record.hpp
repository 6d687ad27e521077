#pragma once

#include "calibration/hand_eye/hand_eye_validation.hpp"
#include "io/result_records.hpp"

namespace velk::calibration {

// What a result record stores of a held-out validation.
io::ValidationRecord handEyeValidationRecord(const HandEyeValidation& validation);

}  // namespace velk::calibration
