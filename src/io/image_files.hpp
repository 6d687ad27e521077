#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace velk::io {

// folder/image_<index><ending>, the index in decimal without padding.
std::filesystem::path imagePath(const std::filesystem::path& folder, long long index, const std::string& ending);

inline const char* const kPlainImageEnding = ".png";
inline const char* const kAnnotatedImageEnding = "_annotated.png";

// Encoded as its ending says (default parameters) and written whole (replaceFile); throws std::runtime_error "io: cv::imwrite failed for <path>".
void writeImage(const std::filesystem::path& path, const cv::Mat& image);

// imread as 3-channel 8-bit BGR; throws std::runtime_error
// "io: cv::imread returned an empty image for <path>".
cv::Mat readImage(const std::filesystem::path& path);

// Annotated copies are optional, but when given there must be one for every image:
// throws std::invalid_argument when the list is neither empty nor long enough.
void checkAnnotatedImages(const std::vector<cv::Mat>& annotated_images, std::size_t image_count,
                          const char* images_name);

}  // namespace velk::io
