#pragma once

#include <optional>
#include <string>

#include "calibration/hand_eye_refinement.hpp"
#include "calibration/multi_camera_result.hpp"
#include "io/result_records.hpp"

namespace velk::calibration {

// What a result record stores of a refinement that was asked for.
io::RefinementRecord handEyeRefinementRecord(bool refined, const std::string& reason, const cv::Mat& closed_form,
                                             const std::optional<HandEyeRefinement>& refinement);
io::RefinementRecord rigRefinementRecord(const MultiCameraResult& result);

}  // namespace velk::calibration
