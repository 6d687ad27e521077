#include "calibration/rig/fisheye_stereo_pair.hpp"

#include <algorithm>

#include <opencv2/calib3d.hpp>

#include "calibration/intrinsic/fisheye_input.hpp"

namespace velk::calibration {
namespace {

// cv::fisheye wants CV_64F intrinsics and its four coefficients as one row.
void asFisheyeIntrinsics(cv::Mat& matrix, cv::Mat& distortion) {
    cv::Mat k, d;
    matrix.convertTo(k, CV_64F);
    distortion.convertTo(d, CV_64F);
    matrix = k;
    distortion = d.reshape(1, 1).clone();
}

// The count that keeps the most points over the frames; the larger count on a tie.
int bestCommonCount(const std::vector<cv::Mat>& objectPoints) {
    int best = 0;
    size_t bestKept = 0;
    for (const cv::Mat& candidate : objectPoints) {
        const int count = candidate.rows;
        const auto frames = std::count_if(objectPoints.begin(), objectPoints.end(),
                                          [count](const cv::Mat& points) { return points.rows >= count; });
        const size_t kept = static_cast<size_t>(frames) * static_cast<size_t>(count);
        if (kept > bestKept || (kept == bestKept && count > best)) {
            best = count;
            bestKept = kept;
        }
    }
    return best;
}

// Rows round(i * rows / count), i = 0 .. count - 1: evenly spread, the first row always kept.
cv::Mat evenRows(const cv::Mat& points, int count) {
    if (points.rows == count) {
        return points;
    }
    cv::Mat kept(count, points.cols, points.type());
    for (int i = 0; i < count; ++i) {
        const int row = static_cast<int>((static_cast<long long>(i) * points.rows + count / 2) / count);
        points.row(std::min(row, points.rows - 1)).copyTo(kept.row(i));
    }
    return kept;
}

}  // namespace

StereoPairPoints equalCornerCounts(const StereoPairPoints& points) {
    const int count = bestCommonCount(points.object_points);
    StereoPairPoints equal;
    for (size_t f = 0; f < points.object_points.size(); ++f) {
        if (points.object_points[f].rows < count) {
            continue;
        }
        equal.object_points.push_back(evenRows(points.object_points[f], count));
        equal.reference_points.push_back(evenRows(points.reference_points[f], count));
        equal.other_points.push_back(evenRows(points.other_points[f], count));
    }
    return equal;
}

double fisheyeStereoCalibrate(const StereoPairPoints& points, cv::Mat& referenceMatrix, cv::Mat& referenceDistortion,
                              cv::Mat& otherMatrix, cv::Mat& otherDistortion, const cv::Size& imageSize,
                              cv::Mat& rotation, cv::Mat& translation, int flags, const cv::TermCriteria& criteria) {
    const StereoPairPoints equal = equalCornerCounts(points);
    const FisheyeInput reference = fisheyeInput(equal.object_points, equal.reference_points);
    const FisheyeInput other = fisheyeInput(equal.object_points, equal.other_points);
    asFisheyeIntrinsics(referenceMatrix, referenceDistortion);
    asFisheyeIntrinsics(otherMatrix, otherDistortion);
    return cv::fisheye::stereoCalibrate(reference.object_points, reference.image_points, other.image_points,
                                        referenceMatrix, referenceDistortion, otherMatrix, otherDistortion, imageSize,
                                        rotation, translation, flags, fisheyeCriteria(criteria));
}

}  // namespace velk::calibration
