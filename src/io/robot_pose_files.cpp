#include "io/robot_pose_files.hpp"

#include "io/pose_archive.hpp"

namespace fs = std::filesystem;

namespace velk::io {

fs::path save_robot_poses(const fs::path& data_dir, const std::vector<cv::Mat>& robot_T_tcp_list) {
    const PackedPoses poses = packPoses(robot_T_tcp_list);
    fs::create_directories(data_dir);
    const fs::path path = data_dir / kPoseArchiveName;
    writePoseArchive(path, poses);
    return path;
}

std::vector<cv::Mat> load_robot_poses(const fs::path& data_dir) {
    return readPoseArchive(data_dir / kPoseArchiveName);
}

}  // namespace velk::io
