#include "io/image_files.hpp"

#include <stdexcept>

#include <opencv2/imgcodecs.hpp>

#include "io/replaced_file.hpp"

namespace fs = std::filesystem;

namespace velk::io {

fs::path imagePath(const fs::path& folder, long long index, const std::string& ending) {
    return folder / ("image_" + std::to_string(index) + ending);
}

void writeImage(const fs::path& path, const cv::Mat& image) {
    // Encoded in memory first, so that the picture replaces any earlier one whole.
    std::vector<uchar> encoded;
    bool encodedOk = false;
    try {
        encodedOk = cv::imencode(path.extension().string(), image, encoded);
    } catch (const cv::Exception&) {
        encodedOk = false;
    }
    if (!encodedOk || replaceFile(path, encoded.data(), encoded.size()) != Replacement::Done) {
        throw std::runtime_error("io: cv::imwrite failed for " + path.string());
    }
}

cv::Mat readImage(const fs::path& path) {
    cv::Mat image = cv::imread(path.string(), cv::IMREAD_COLOR);
    if (image.empty()) {
        throw std::runtime_error("io: cv::imread returned an empty image for " + path.string());
    }
    return image;
}

void checkAnnotatedImages(const std::vector<cv::Mat>& annotated_images, std::size_t image_count,
                          const char* images_name) {
    if (!annotated_images.empty() && annotated_images.size() < image_count) {
        throw std::invalid_argument(std::string("io: annotated_images must be empty or hold one image per ") +
                                    images_name + " entry");
    }
}

}  // namespace velk::io
