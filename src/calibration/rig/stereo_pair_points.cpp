#include "calibration/rig/stereo_pair_points.hpp"

#include <algorithm>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>

#include "core/log.hpp"

namespace velk::calibration {
namespace {

constexpr size_t kMinimumCommonCorners = 15;

std::vector<int> keepListed(const std::vector<int>& frames, const std::optional<std::set<int>>& allowed) {
    if (!allowed) {
        return frames;
    }
    std::vector<int> kept;
    std::copy_if(frames.begin(), frames.end(), std::back_inserter(kept),
                 [&](int frame) { return allowed->count(frame) > 0; });
    return kept;
}

// Position of a frame in a camera's detections.
size_t positionOf(const TargetDetections& detections, int frame) {
    const auto& indices = detections.successful_indices;
    const auto found = std::find(indices.begin(), indices.end(), frame);
    if (found == indices.end()) {
        throw std::runtime_error("multi_camera: frame index not found in successful_indices");
    }
    return static_cast<size_t>(found - indices.begin());
}

std::vector<int> idsOf(const cv::Mat& idMatrix) {
    std::vector<int> ids;
    ids.reserve(idMatrix.total());
    for (int row = 0; row < idMatrix.rows; ++row) {
        for (int col = 0; col < idMatrix.cols; ++col) {
            ids.push_back(idMatrix.at<int>(row, col));
        }
    }
    return ids;
}

std::vector<int> sortedUnique(std::vector<int> ids) {
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    return ids;
}

// Row of each id in the detection order; a repeated id maps to its last row.
std::map<int, int> rowsById(const std::vector<int>& ids) {
    std::map<int, int> rows;
    for (int row = 0; row < static_cast<int>(ids.size()); ++row) {
        rows[ids[row]] = row;
    }
    return rows;
}

cv::Point2f pointAt(const cv::Mat& imagePoints, int row) {
    return imagePoints.at<cv::Point2f>(row, 0);
}

class CharucoPairing {
public:
    CharucoPairing(const CharucoTarget& target, int referenceIndex, int otherIndex)
        : board_corners_(target.createBoard().getChessboardCorners()),
          reference_index_(referenceIndex),
          other_index_(otherIndex) {}

    void addFrame(int frame, const TargetDetections& reference, size_t referencePosition, const TargetDetections& other,
                  size_t otherPosition, StereoPairPoints& points) const {
        const std::vector<int> referenceIds = idsOf(reference.point_ids[referencePosition]);
        const std::vector<int> otherIds = idsOf(other.point_ids[otherPosition]);
        const std::vector<int> a = sortedUnique(referenceIds);
        const std::vector<int> b = sortedUnique(otherIds);
        std::vector<int> common;
        std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(common));
        if (common.size() < kMinimumCommonCorners) {
            logMessage(LogLevel::Warning, "[MultiCameraCalibrator] Frame " + std::to_string(frame) + ": only " +
                                              std::to_string(common.size()) + " corners shared between ref (cam " +
                                              std::to_string(reference_index_) + ") and cam " +
                                              std::to_string(other_index_) + "; dropping from pair.");
            return;
        }
        const std::map<int, int> referenceRows = rowsById(referenceIds);
        const std::map<int, int> otherRows = rowsById(otherIds);
        const cv::Mat& referenceImage = reference.image_points[referencePosition];
        const cv::Mat& otherImage = other.image_points[otherPosition];

        const int count = static_cast<int>(common.size());
        cv::Mat objectPoints(count, 3, CV_32F);
        cv::Mat referencePoints(count, 1, CV_32FC2);
        cv::Mat otherPoints(count, 1, CV_32FC2);
        for (int j = 0; j < count; ++j) {
            const cv::Point3f& corner = board_corners_.at(static_cast<size_t>(common[j]));
            objectPoints.at<float>(j, 0) = corner.x;
            objectPoints.at<float>(j, 1) = corner.y;
            objectPoints.at<float>(j, 2) = corner.z;
            referencePoints.at<cv::Point2f>(j) = pointAt(referenceImage, referenceRows.at(common[j]));
            otherPoints.at<cv::Point2f>(j) = pointAt(otherImage, otherRows.at(common[j]));
        }
        points.object_points.push_back(objectPoints);
        points.reference_points.push_back(referencePoints);
        points.other_points.push_back(otherPoints);
    }

private:
    std::vector<cv::Point3f> board_corners_;
    int reference_index_;
    int other_index_;
};

void addFrameByPosition(int frame, const TargetDetections& reference, size_t referencePosition,
                        const TargetDetections& other, size_t otherPosition, int otherIndex, StereoPairPoints& points) {
    const cv::Mat& referenceImage = reference.image_points[referencePosition];
    const cv::Mat& otherImage = other.image_points[otherPosition];
    if (referenceImage.rows != otherImage.rows) {
        logMessage(LogLevel::Warning, "[MultiCameraCalibrator] Frame " + std::to_string(frame) + ": ref has " +
                                          std::to_string(referenceImage.rows) + " pts, cam " +
                                          std::to_string(otherIndex) + " has " + std::to_string(otherImage.rows) +
                                          " pts; dropping from pair.");
        return;
    }
    points.object_points.push_back(reference.object_points[referencePosition]);
    points.reference_points.push_back(referenceImage);
    points.other_points.push_back(otherImage);
}

}  // namespace

std::vector<int> sharedFrames(const RigCameraView& reference, const RigCameraView& other, size_t& detectedInBoth) {
    const auto& a = reference.detections.successful_indices;
    const auto& b = other.detections.successful_indices;
    std::vector<int> frames;
    std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(frames));
    detectedInBoth = frames.size();
    return keepListed(keepListed(frames, reference.low_error_frames), other.low_error_frames);
}

StereoPairPoints intersectPairCorners(const std::vector<int>& frames, const RigCameraView& reference,
                                      const RigCameraView& other, const TargetVariant& target, int referenceIndex,
                                      int otherIndex) {
    const TargetDetections& a = reference.detections;
    const TargetDetections& b = other.detections;
    std::optional<CharucoPairing> charuco;
    if (!a.point_ids.empty() && !b.point_ids.empty()) {
        charuco.emplace(std::get<CharucoTarget>(target), referenceIndex, otherIndex);
    }
    StereoPairPoints points;
    for (int frame : frames) {
        const size_t referencePosition = positionOf(a, frame);
        const size_t otherPosition = positionOf(b, frame);
        if (charuco) {
            charuco->addFrame(frame, a, referencePosition, b, otherPosition, points);
        } else {
            addFrameByPosition(frame, a, referencePosition, b, otherPosition, otherIndex, points);
        }
    }
    return points;
}

}  // namespace velk::calibration
