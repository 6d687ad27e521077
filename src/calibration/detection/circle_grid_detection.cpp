#include <string>
#include <utility>
#include <vector>

#include <opencv2/calib3d.hpp>

#include "calibration/detection/circle_grid_search.hpp"
#include "calibration/detection/image_detection.hpp"
#include "calibration/detection/target_detection.hpp"
#include "core/log.hpp"
#include "core/picture_names.hpp"
#include "targets/annotation.hpp"

namespace velk::calibration {
namespace {

const char* const kComponent = "IntrinsicCalibrator";

// A grid found with light circles where dark ones were looked for first is named in the log, so that a
// user sees which kind of board the pictures show.
void noteOtherPolarity(const CircleGridTarget& target, const CircleGridSearch& search, const std::string& picture) {
    if (target.polarity == CirclePolarity::Either && search.polarity == CirclePolarity::Light) {
        logMessage(LogLevel::Info, std::string("[") + kComponent +
                                       "] Circle grid found as light circles on a dark ground (no dark circles "
                                       "found) in image " +
                                       picture);
    }
}

ImageDetection detectCircleGridImage(const cv::Mat& image, int index, const CircleGridTarget& target,
                                     const cv::Mat& objectPoints, Annotation annotation,
                                     const std::vector<std::string>& names) {
    const CircleGridSearch search = searchCircleGrid(toGrey(image), target);
    if (!search.found) {
        return skippedImage(kComponent, search.missing);
    }
    noteOtherPolarity(target, search, pictureLabel(names, index));
    ImageDetection detection;
    detection.found = true;
    if (annotation == Annotation::Draw) {
        detection.annotated_image = annotatedCopy(
            image, [&](cv::Mat& canvas) { cv::drawChessboardCorners(canvas, target.size, search.centres, true); });
    }
    detection.image_points = cv::Mat(search.centres, true).reshape(2, static_cast<int>(search.centres.size()));
    detection.object_points = objectPoints.clone();
    detection.found_by = circlePolarityName(search.polarity);
    return detection;
}

}  // namespace

bool findCircleCentres(const cv::Mat& grey, const CircleGridTarget& target, std::vector<cv::Point2f>& centres) {
    CircleGridSearch search = searchCircleGrid(grey, target);
    centres = std::move(search.centres);
    return search.found;
}

TargetDetections detectCircleGrid(const std::vector<cv::Mat>& images, const CircleGridTarget& target,
                                  const IntrinsicOptions& options, Annotation annotation) {
    target.validate();
    const cv::Mat objectPoints = target.objectPoints();
    return detectBatch(
        images,
        [&](const cv::Mat& image, int i) {
            return detectCircleGridImage(image, i, target, objectPoints, annotation, options.image_names);
        },
        options);
}

}  // namespace velk::calibration
