#include "calibration/hand_eye/hand_eye_validation_record.hpp"

namespace velk::calibration {

io::ValidationRecord handEyeValidationRecord(const HandEyeValidation& validation) {
    io::ValidationRecord record;
    record.validated = validation.validated;
    record.reason = validation.reason;
    record.frames = validation.frames;
    record.held_out_rms_px = validation.held_out_rms_px;
    record.fitted_rms_px = validation.fitted_rms_px;
    record.translation_mm = validation.translation_mm;
    record.rotation_deg = validation.rotation_deg;
    record.predicted_rms_px = validation.predicted_rms_px;
    record.median_px = validation.median_px;
    record.p90_px = validation.p90_px;
    record.median_mm = validation.median_mm;
    record.median_deg = validation.median_deg;
    record.worst_frames = validation.worst_frames;
    record.observed_over_predicted = validation.observed_over_predicted;
    return record;
}

}  // namespace velk::calibration
