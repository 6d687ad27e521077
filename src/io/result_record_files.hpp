#pragma once

#include <filesystem>

#include "io/result_records.hpp"

namespace velk::io {

// Save to a file, or into a folder under the default name; returns the file written.
std::filesystem::path save_hand_eye_result(const std::filesystem::path& output_path, const HandEyeResultRecord& record);
HandEyeResultRecord load_hand_eye_result(const std::filesystem::path& input_path);

std::filesystem::path save_eye_to_hand_result(const std::filesystem::path& output_path,
                                              const EyeToHandResultRecord& record);
EyeToHandResultRecord load_eye_to_hand_result(const std::filesystem::path& input_path);

std::filesystem::path save_multi_camera_calibration(const std::filesystem::path& output_path,
                                                    const MultiCameraCalibrationRecord& record);
MultiCameraCalibrationRecord load_multi_camera_calibration(const std::filesystem::path& input_path);

}  // namespace velk::io
