#include "io/multi_camera_dataset.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "core/log.hpp"
#include "io/capture_names.hpp"
#include "io/image_files.hpp"
#include "io/pose_archive.hpp"

namespace fs = std::filesystem;

namespace velk::io {
namespace {

const std::string kCameraFolderPrefix = "cam_";

fs::path cameraFolder(const fs::path& data_dir, int camera) {
    return data_dir / (kCameraFolderPrefix + std::to_string(camera));
}

// cam_0 .. cam_(num_cameras - 1); a negative count fails with std::length_error.
std::vector<fs::path> cameraFolders(const fs::path& data_dir, int num_cameras) {
    std::vector<fs::path> folders;
    folders.reserve(static_cast<std::size_t>(num_cameras));
    for (int camera = 0; camera < num_cameras; ++camera) {
        folders.push_back(cameraFolder(data_dir, camera));
    }
    return folders;
}

std::vector<std::string> captureImageNames(const fs::path& folder) {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        std::string name = entry.path().filename().string();
        if (isCaptureImageName(name)) {
            names.push_back(std::move(name));
        }
    }
    return names;
}

std::vector<cv::Mat> loadCameraFrames(const fs::path& folder) {
    if (!fs::is_directory(folder)) {
        throw std::runtime_error("io: missing camera folder: " + folder.string());
    }
    std::vector<std::string> names = captureImageNames(folder);
    if (names.empty()) {
        throw std::runtime_error("io: no image_*.png files in " + folder.string());
    }
    std::sort(names.begin(), names.end(), precedesInCaptureOrder);
    std::vector<cv::Mat> frames;
    frames.reserve(names.size());
    for (const std::string& name : names) {
        frames.push_back(readImage(folder / name));
    }
    logMessage(LogLevel::Success, "Loaded " + std::to_string(frames.size()) + " frames from " + folder.string());
    return frames;
}

}  // namespace

int next_multi_camera_capture_index(const fs::path& data_dir, int num_cameras) {
    int highest = -1;
    for (const fs::path& folder : cameraFolders(data_dir, num_cameras)) {
        if (!fs::is_directory(folder)) {
            continue;
        }
        for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
            const std::string name = entry.path().filename().string();
            if (!isCaptureImageName(name)) {
                continue;
            }
            if (const std::optional<int> index = captureIndex(name)) {
                highest = std::max(highest, *index);
            }
        }
    }
    return highest + 1;
}

void save_multi_camera_capture(const fs::path& data_dir, const std::vector<cv::Mat>& frames, int capture_index,
                               const std::vector<cv::Mat>& annotated_images) {
    checkAnnotatedImages(annotated_images, frames.size(), "frames");
    const auto cameras = static_cast<int>(frames.size());
    const std::vector<fs::path> folders = cameraFolders(data_dir, cameras);
    for (const fs::path& folder : folders) {
        fs::create_directories(folder);
    }
    for (std::size_t i = 0; i < frames.size(); ++i) {
        writeImage(imagePath(folders[i], capture_index, kPlainImageEnding), frames[i]);
        if (!annotated_images.empty()) {
            writeImage(imagePath(folders[i], capture_index, kAnnotatedImageEnding), annotated_images[i]);
        }
    }
    logMessage(LogLevel::Success,
               "Saved capture #" + std::to_string(capture_index) + " (" + std::to_string(frames.size()) + " cameras)");
}

void save_multi_camera_robot_poses(const fs::path& data_dir, const std::vector<cv::Mat>& robot_T_tcp_list,
                                   int num_cameras) {
    const PackedPoses poses = packPoses(robot_T_tcp_list);
    for (const fs::path& folder : cameraFolders(data_dir, num_cameras)) {
        fs::create_directories(folder);
        writePoseArchive(folder / kPoseArchiveName, poses);
    }
}

std::vector<cv::Mat> load_multi_camera_robot_poses(const fs::path& data_dir) {
    if (!fs::is_directory(data_dir)) {
        return {};
    }
    std::vector<fs::path> folders;
    for (const fs::directory_entry& entry : fs::directory_iterator(data_dir)) {
        if (entry.is_directory() && entry.path().filename().string().rfind(kCameraFolderPrefix, 0) == 0) {
            folders.push_back(entry.path());
        }
    }
    std::sort(folders.begin(), folders.end());
    for (const fs::path& folder : folders) {
        if (fs::exists(folder / kPoseArchiveName)) {
            return readPoseArchive(folder / kPoseArchiveName);
        }
    }
    return {};
}

std::vector<std::vector<cv::Mat>> load_multi_camera_dataset(const fs::path& data_dir, int num_cameras) {
    std::vector<std::vector<cv::Mat>> cameras;
    for (int camera = 0; camera < num_cameras; ++camera) {
        cameras.push_back(loadCameraFrames(cameraFolder(data_dir, camera)));
        if (cameras.back().size() != cameras.front().size()) {
            throw std::runtime_error("io: all cameras must have the same frame count; captures must be synchronized");
        }
    }
    return cameras;
}

}  // namespace velk::io
