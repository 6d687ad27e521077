#include "calibration/detection/target_detection.hpp"

#include <opencv2/imgproc.hpp>

namespace velk::calibration {

cv::Mat toGrey(const cv::Mat& image) {
    cv::Mat grey;
    cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
    return grey;
}

std::vector<cv::Point3f> charucoObjectPoints(const std::vector<cv::Point3f>& boardCorners,
                                             const std::vector<int>& ids) {
    std::vector<cv::Point3f> points;
    points.reserve(ids.size());
    for (int id : ids) {
        points.push_back(boardCorners.at(static_cast<size_t>(id)));
    }
    return points;
}

TargetDetections detectTarget(const std::vector<cv::Mat>& images, const TargetVariant& target,
                              const IntrinsicOptions& options, Annotation annotation) {
    struct Dispatch {
        const std::vector<cv::Mat>& images;
        const IntrinsicOptions& options;
        Annotation annotation;
        TargetDetections operator()(const ChessboardTarget& t) const {
            return detectChessboard(images, t, options, annotation);
        }
        TargetDetections operator()(const CharucoTarget& t) const {
            return detectCharuco(images, t, options, annotation);
        }
        TargetDetections operator()(const ArucoTarget& t) const {
            return detectArucoGrid(images, t, options, annotation);
        }
        TargetDetections operator()(const CircleGridTarget& t) const {
            return detectCircleGrid(images, t, options, annotation);
        }
    };
    return std::visit(Dispatch{images, options, annotation}, target);
}

}  // namespace velk::calibration
