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

// Writes one picture of a hand-eye dataset, data_dir/image_<index>.png, creating data_dir; returns
// the file written. save_hand_eye_dataset writes its pictures through it. A caller that gets its
// pictures one at a time (a recording being read) writes each as it comes and the poses at the end
// with save_robot_poses, holding no more than one picture in memory. Throws std::invalid_argument
// for a negative index or an empty image.
std::filesystem::path save_hand_eye_image(const std::filesystem::path& data_dir, long long index, const cv::Mat& image);

// Reads the poses and image_k.<image_format> for each pose k. A pose whose image is
// missing is left out with a warning, so images and poses stay paired by position.
std::pair<std::vector<cv::Mat>, std::vector<cv::Mat>> load_hand_eye_dataset(const std::filesystem::path& data_dir,
                                                                            const std::string& image_format = "png");

}  // namespace velk::io
