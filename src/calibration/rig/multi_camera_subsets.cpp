// Calibration of every camera combination of a rig as a rig of its own.

#include <stdexcept>
#include <string>

#include "calibration/rig/camera_combinations.hpp"
#include "calibration/rig/multi_camera_calibrator.hpp"
#include "core/log.hpp"

namespace velk::calibration {
namespace {

std::vector<std::vector<cv::Mat>> listsOf(const std::vector<std::vector<cv::Mat>>& imageLists,
                                          const std::vector<int>& cameras) {
    std::vector<std::vector<cv::Mat>> lists;
    for (int camera : cameras) {
        lists.push_back(imageLists[static_cast<size_t>(camera)]);
    }
    return lists;
}

}  // namespace

std::vector<SubsetResult> MultiCameraCalibrator::calibrateSubsets(const std::vector<std::vector<cv::Mat>>& image_lists,
                                                                  const std::vector<int>& subset_sizes,
                                                                  int frame_index) {
    // A sub-rig reads the lists of its cameras; refuse a rig description that does not cover every camera.
    if (image_lists.size() != static_cast<size_t>(num_cameras_)) {
        throw std::invalid_argument("MultiCameraCalibrator: expected " + std::to_string(num_cameras_) +
                                    " image lists, got " + std::to_string(image_lists.size()));
    }
    std::vector<SubsetResult> results;
    for (int size : subset_sizes) {
        if (size > num_cameras_) {
            logMessage(LogLevel::Warning, "Skipping subsets of size " + std::to_string(size) + ": only " +
                                              std::to_string(num_cameras_) + " cameras.");
            continue;
        }
        for (const std::vector<int>& cameras : cameraCombinations(num_cameras_, size)) {
            logMessage(LogLevel::Info, "Calibrating subset of size " + std::to_string(size));
            const std::vector<std::vector<cv::Mat>> lists = listsOf(image_lists, cameras);
            MultiCameraCalibrator subRig(target_, size, 0, options_, stereo_calibrate_flags_);
            SubsetResult entry;
            entry.subset = cameras;
            entry.result = subRig.calibrate(lists);
            try {
                entry.triangulation = subRig.triangulate(lists, frame_index);
                entry.has_triangulation = true;
            } catch (const std::exception& error) {
                logMessage(LogLevel::Warning, std::string("Triangulation failed for subset: ") + error.what());
            }
            results.push_back(std::move(entry));
        }
    }
    last_subset_results_ = results;
    return results;
}

}  // namespace velk::calibration
