#pragma once

#include <filesystem>
#include <vector>

#include <opencv2/core.hpp>

namespace velk::io {

// One past the highest capture index found in cam_0 .. cam_(num_cameras - 1); 0 when
// there is none. Indices too large to continue from are ignored.
int next_multi_camera_capture_index(const std::filesystem::path& data_dir, int num_cameras);

// Writes cam_i/image_<capture_index>.png for every frame (and the annotated copies when
// given), creating the camera folders first. Overwrites a capture of the same index.
void save_multi_camera_capture(const std::filesystem::path& data_dir, const std::vector<cv::Mat>& frames,
                               int capture_index, const std::vector<cv::Mat>& annotated_images = {});

// Writes the same cam_i/calibration_data.npz into every camera folder.
void save_multi_camera_robot_poses(const std::filesystem::path& data_dir, const std::vector<cv::Mat>& robot_T_tcp_list,
                                   int num_cameras);

// The poses of the first cam_* folder (in path order) that has them; empty when none has.
std::vector<cv::Mat> load_multi_camera_robot_poses(const std::filesystem::path& data_dir);

// Every camera's images in capture order (the order of the saved robot poses); all
// cameras must hold the same number of captures.
std::vector<std::vector<cv::Mat>> load_multi_camera_dataset(const std::filesystem::path& data_dir, int num_cameras);

}  // namespace velk::io
