#pragma once

#include <filesystem>
#include <vector>

#include <opencv2/core.hpp>

namespace velk::io {

// Writes data_dir/calibration_data.npz with the given robot poses alone, creating
// data_dir; images already in the folder are left as they are. Returns the file written.
std::filesystem::path save_robot_poses(const std::filesystem::path& data_dir,
                                       const std::vector<cv::Mat>& robot_T_tcp_list);

// The robot poses of data_dir/calibration_data.npz, in the order they were saved.
std::vector<cv::Mat> load_robot_poses(const std::filesystem::path& data_dir);

}  // namespace velk::io
