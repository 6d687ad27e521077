#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

namespace velk::io {

// Writes data_dir/calibration_data.npz (all poses) and image_k.png for every image,
// plus image_k_annotated.png when annotated images are given (then at least one per
// image). Creates data_dir.
void save_hand_eye_dataset(const std::filesystem::path& data_dir, const std::vector<cv::Mat>& image_list,
                           const std::vector<cv::Mat>& robot_T_tcp_list,
                           const std::vector<cv::Mat>& annotated_images = {});

// Reads the poses and image_k.<image_format> for each pose k. A pose whose image is
// missing is left out with a warning, so images and poses stay paired by position.
std::pair<std::vector<cv::Mat>, std::vector<cv::Mat>> load_hand_eye_dataset(
    const std::filesystem::path& data_dir, const std::string& image_format = "png");

}  // namespace velk::io
