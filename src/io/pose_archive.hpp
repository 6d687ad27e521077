#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include <opencv2/core.hpp>

namespace velk::io {

// The file beside a dataset's images that holds its robot poses.
inline const char* const kPoseArchiveName = "calibration_data.npz";

// Robot poses as one (N, 4, 4) float64 array in C order.
struct PackedPoses {
    std::uint64_t count = 0;
    std::vector<double> values;  // 16 per pose, row by row
};

// Converts every pose to float64; throws std::invalid_argument
// "io: expected 4x4 pose matrices" for any pose that is not 4 x 4 (one channel).
PackedPoses packPoses(const std::vector<cv::Mat>& robot_T_tcp_list);

// Writes the poses under the key robot_T_tcp_list.
void writePoseArchive(const std::filesystem::path& path, const PackedPoses& poses);

// Reads robot_T_tcp_list back as 4x4 CV_64F matrices; throws std::runtime_error
// "io: robot_T_tcp_list npz entry is not shaped (N, 4, 4)" for any other shape.
std::vector<cv::Mat> readPoseArchive(const std::filesystem::path& path);

}  // namespace velk::io
