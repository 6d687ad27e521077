#pragma once

#include <cstddef>
#include <string>

#include "calibration/hand_eye/eye_to_hand_result.hpp"
#include "calibration/hand_eye/hand_eye_result.hpp"
#include "io/result_records.hpp"

namespace velk::calibration {

// The record hand_eye.json stores of an eye-in-hand result solved by `method` from `total_images` pictures.
io::HandEyeResultRecord handEyeResultRecord(const HandEyeResult& result, const std::string& method,
                                            std::size_t total_images);

// The record eye_to_hand.json stores of an eye-to-hand result solved from `total_images` pictures.
io::EyeToHandResultRecord eyeToHandResultRecord(const EyeToHandResult& result, std::size_t total_images);

}  // namespace velk::calibration
