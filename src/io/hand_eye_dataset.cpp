#include "io/hand_eye_dataset.hpp"

#include <stdexcept>

#include "core/log.hpp"
#include "io/image_files.hpp"
#include "io/pose_archive.hpp"

namespace fs = std::filesystem;

namespace velk::io {

fs::path save_hand_eye_image(const fs::path& data_dir, long long index, const cv::Mat& image) {
    if (index < 0) {
        throw std::invalid_argument("io: image index must be 0 or more, got " + std::to_string(index));
    }
    if (image.empty()) {
        throw std::invalid_argument("io: image " + std::to_string(index) + " is empty");
    }
    fs::create_directories(data_dir);
    const fs::path path = imagePath(data_dir, index, kPlainImageEnding);
    writeImage(path, image);
    return path;
}

void save_hand_eye_dataset(const fs::path& data_dir, const std::vector<cv::Mat>& image_list,
                           const std::vector<cv::Mat>& robot_T_tcp_list, const std::vector<cv::Mat>& annotated_images) {
    fs::create_directories(data_dir);
    const PackedPoses poses = packPoses(robot_T_tcp_list);
    checkAnnotatedImages(annotated_images, image_list.size(), "image_list");
    writePoseArchive(data_dir / kPoseArchiveName, poses);
    for (std::size_t k = 0; k < image_list.size(); ++k) {
        const auto index = static_cast<long long>(k);
        save_hand_eye_image(data_dir, index, image_list[k]);
        if (!annotated_images.empty()) {
            writeImage(imagePath(data_dir, index, kAnnotatedImageEnding), annotated_images[k]);
        }
    }
    logMessage(LogLevel::Success, "Saved " + std::to_string(image_list.size()) + " images to " + data_dir.string());
}

std::pair<std::vector<cv::Mat>, std::vector<cv::Mat>> load_hand_eye_dataset(const fs::path& data_dir,
                                                                            const std::string& image_format) {
    const std::vector<cv::Mat> poses = readPoseArchive(data_dir / kPoseArchiveName);
    std::vector<cv::Mat> images;
    std::vector<cv::Mat> pairedPoses;
    for (std::size_t k = 0; k < poses.size(); ++k) {
        const fs::path path = imagePath(data_dir, static_cast<long long>(k), "." + image_format);
        if (!fs::exists(path)) {
            logMessage(LogLevel::Warning, "Image " + path.string() + " is missing; its robot pose is left out");
            continue;
        }
        images.push_back(readImage(path));
        pairedPoses.push_back(poses[k]);
    }
    logMessage(LogLevel::Success, "Loaded " + std::to_string(images.size()) + " images from " + data_dir.string());
    return {images, pairedPoses};
}

}  // namespace velk::io
