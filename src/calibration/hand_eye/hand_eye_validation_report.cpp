#include "calibration/hand_eye/hand_eye_validation_report.hpp"

#include <cmath>
#include <sstream>

#include "core/fixed_text.hpp"
#include "core/picture_names.hpp"

namespace velk::calibration {
namespace {

double heldOutOf(const HandEyeValidation& validation, int frame) {
    for (size_t k = 0; k < validation.frames.size(); ++k) {
        if (validation.frames[k] == frame) {
            return validation.held_out_rms_px[k];
        }
    }
    return std::nan("");
}

}  // namespace

std::string heldOutSentence(const HandEyeValidation& validation) {
    std::string sentence = "Predicts pictures it did not see to " + fixedText(validation.median_px, 1) +
                           " px (median), " + fixedText(validation.median_mm, 1) + " mm / " +
                           fixedText(validation.median_deg, 2) + " deg";
    if (std::isfinite(validation.observed_over_predicted)) {
        sentence += "; observed/predicted " + fixedText(validation.observed_over_predicted, 1);
    }
    return sentence;
}

std::string formatValidationSection(const std::optional<HandEyeValidation>& validation,
                                    const std::vector<std::string>& image_names) {
    if (!validation) {
        return "";
    }
    std::ostringstream text;
    text << "\nHeld-out Validation (each view predicted from a solve without it):\n";
    if (!validation->validated) {
        text << "  Not done: " << validation->reason << ".\n";
        return text.str();
    }
    text << "  " << heldOutSentence(*validation) << "\n";
    text << "  90th percentile: " << fixedText(validation->p90_px, 2) << " px over " << validation->frames.size()
         << " views\n  Worst views:";
    for (size_t k = 0; k < validation->worst_frames.size(); ++k) {
        const int frame = validation->worst_frames[k];
        text << (k ? ", " : " ") << "frame " << pictureLabel(image_names, frame) << " ("
             << fixedText(heldOutOf(*validation, frame), 2) << " px)";
    }
    text << "\n";
    if (!std::isfinite(validation->observed_over_predicted)) {
        text << "  No predicted error to hold it against: the robot's pose error was not modelled.\n";
    }
    for (const std::string& skipped : validation->skipped) {
        text << "  Skipped " << skipped << "\n";
    }
    return text.str();
}

}  // namespace velk::calibration
