#pragma once

#include <optional>
#include <string>

#include "calibration/hand_eye/hand_eye_refinement.hpp"
#include "io/result_records.hpp"

namespace velk::calibration {

// What a result record stores of a hand-eye refinement that was asked for.
io::RefinementRecord handEyeRefinementRecord(bool refined, const std::string& reason, const cv::Mat& closed_form,
                                             const std::optional<HandEyeRefinement>& refinement);

}  // namespace velk::calibration
