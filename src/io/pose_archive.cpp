#include "io/pose_archive.hpp"

#include <algorithm>
#include <stdexcept>

#include "io/npz.hpp"

namespace fs = std::filesystem;

namespace velk::io {
namespace {

const char* const kPoseKey = "robot_T_tcp_list";
constexpr int kPoseSide = 4;
constexpr std::size_t kPoseValues = kPoseSide * kPoseSide;

}  // namespace

PackedPoses packPoses(const std::vector<cv::Mat>& robot_T_tcp_list) {
    PackedPoses packed;
    packed.count = robot_T_tcp_list.size();
    packed.values.reserve(robot_T_tcp_list.size() * kPoseValues);
    for (const cv::Mat& pose : robot_T_tcp_list) {
        cv::Mat pose64;
        pose.convertTo(pose64, CV_64F);
        if (pose64.rows != kPoseSide || pose64.cols != kPoseSide || pose64.channels() != 1) {
            throw std::invalid_argument("io: expected 4x4 pose matrices");
        }
        for (int row = 0; row < kPoseSide; ++row) {
            for (int col = 0; col < kPoseSide; ++col) {
                packed.values.push_back(pose64.at<double>(row, col));
            }
        }
    }
    return packed;
}

void writePoseArchive(const fs::path& path, const PackedPoses& poses) {
    write_npz_array(path, kPoseKey, {poses.count, kPoseSide, kPoseSide}, poses.values);
}

std::vector<cv::Mat> readPoseArchive(const fs::path& path) {
    const NpyArray array = read_npz_array(path, kPoseKey);
    if (array.shape.size() != 3 || array.shape[1] != kPoseSide || array.shape[2] != kPoseSide) {
        throw std::runtime_error("io: robot_T_tcp_list npz entry is not shaped (N, 4, 4)");
    }
    // The reader guarantees 16 values per pose.
    std::vector<cv::Mat> poses;
    poses.reserve(array.data.size() / kPoseValues);
    for (std::size_t first = 0; first < array.data.size(); first += kPoseValues) {
        cv::Mat pose(kPoseSide, kPoseSide, CV_64F);
        std::copy_n(array.data.begin() + static_cast<std::ptrdiff_t>(first), kPoseValues, pose.ptr<double>());
        poses.push_back(pose);
    }
    return poses;
}

}  // namespace velk::io
