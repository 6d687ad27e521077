#include "calibration/detection/parallel_detection.hpp"

namespace velk::calibration {
namespace {

constexpr int kChunkImagesPerThread = 4;

}  // namespace

int detectionChunkSize(int count, bool reportsProgress) {
    if (!reportsProgress) {
        return std::max(count, 1);
    }
    return std::max(1, kChunkImagesPerThread * cv::getNumThreads());
}

}  // namespace velk::calibration
