#include "calibration/detection/camera_target_pose.hpp"

#include <string>
#include <utility>

#include <opencv2/calib3d.hpp>
#include <opencv2/objdetect/aruco_detector.hpp>
#include <opencv2/objdetect/charuco_detector.hpp>

#include "calibration/detection/parallel_detection.hpp"
#include "calibration/detection/target_detection.hpp"
#include "core/log.hpp"
#include "targets/marker_detection_parameters.hpp"

namespace velk::calibration {
namespace {

constexpr int kMinimumPoints = 4;

struct PoseContext {
    const std::vector<cv::Mat>& images;
    const std::vector<cv::Mat>& imagePoints;
    const cv::Mat& intrinsicMatrix;
    const cv::Mat& distortion;
    const std::string& component;  // the calibrator whose log lines these are
    CameraModel model;
};

void append(FramePoses& poses, const std::optional<cv::Mat>& pose, int position) {
    if (pose) {
        poses.camera_T_target_list.push_back(*pose);
        poses.positions.push_back(position);
    }
}

// Targets whose views all show every point: the detected image points are posed again
// against the fixed object points (what names the target in the warning).
FramePoses fixedGridPoses(const cv::Mat& objectPoints, const std::string& what, const PoseContext& context) {
    FramePoses poses;
    for (int p = 0; p < static_cast<int>(context.imagePoints.size()); ++p) {
        const auto pose = estimateCameraTTarget(objectPoints, context.imagePoints[p], context.intrinsicMatrix,
                                                context.distortion, context.model);
        if (!pose) {
            logMessage(LogLevel::Warning, "[" + context.component + "] solvePnP failed for " + what + " image " +
                                              std::to_string(p) + ", skipping.");
        }
        append(poses, pose, p);
    }
    return poses;
}

// The pose found in one image, or the warning to log when its target was not found again.
struct ImagePose {
    std::optional<cv::Mat> pose;
    std::string warning;
};

// Finds each image's pose on OpenCV's thread pool and gathers them in image order, logging
// the warnings where a sequential loop would.
template <typename PoseOfImage>
FramePoses posesInParallel(const PoseContext& context, const PoseOfImage& poseOfImage) {
    FramePoses poses;
    detectEachImage<ImagePose>(
        static_cast<int>(context.images.size()), [&](int p) { return poseOfImage(context.images[p], p); },
        [&](int p, const ImagePose& found) {
            if (!found.warning.empty()) {
                logMessage(LogLevel::Warning, found.warning);
            }
            append(poses, found.pose, p);
        });
    return poses;
}

FramePoses charucoPoses(const CharucoTarget& target, const PoseContext& context) {
    return posesInParallel(context, [&](const cv::Mat& image, int p) {
        CharucoPose found = findCharucoPose(target, image, context.intrinsicMatrix, context.distortion, context.model);
        if (!found.detected) {
            return ImagePose{std::nullopt, "[" + context.component + "] ChArUco re-detection failed for image " +
                                               std::to_string(p) + ", skipping."};
        }
        return ImagePose{std::move(found.pose), ""};
    });
}

FramePoses arucoGridPoses(const ArucoTarget& target, const PoseContext& context) {
    return posesInParallel(context, [&](const cv::Mat& image, int p) {
        const cv::aruco::GridBoard board = target.createBoard();
        const cv::Mat grey = toGrey(image);
        std::vector<std::vector<cv::Point2f>> corners;
        std::vector<int> ids;
        // As the detection does: the wider search where the default one finds too few markers.
        for (const cv::aruco::DetectorParameters& parameters :
             {cv::aruco::DetectorParameters(), widerMarkerSearchParameters()}) {
            const cv::aruco::ArucoDetector detector(target.createDictionary(), parameters, markerRefineParameters());
            detector.detectMarkers(grey, corners, ids);
            if (static_cast<int>(ids.size()) >= target.markersNeededPerPicture()) {
                break;
            }
        }
        if (static_cast<int>(ids.size()) < target.markersNeededPerPicture()) {
            return ImagePose{std::nullopt, "[" + context.component + "] ArUco re-detection failed for image " +
                                               std::to_string(p) + ", skipping."};
        }
        cv::Mat objectPoints, imagePoints;
        board.matchImagePoints(corners, ids, objectPoints, imagePoints);
        if (objectPoints.empty()) {
            return ImagePose{};
        }
        return ImagePose{estimateCameraTTarget(objectPoints, imagePoints, context.intrinsicMatrix, context.distortion,
                                               context.model),
                         ""};
    });
}

}  // namespace

cv::Mat poseFromRotationTranslation(const cv::Mat& rotationVector, const cv::Mat& translation) {
    cv::Mat rotation;
    cv::Rodrigues(rotationVector, rotation);
    rotation.convertTo(rotation, CV_64F);
    cv::Mat t;
    translation.convertTo(t, CV_64F);
    cv::Mat pose = cv::Mat::eye(4, 4, CV_64F);
    rotation.copyTo(pose(cv::Rect(0, 0, 3, 3)));
    t.reshape(1, 3).copyTo(pose(cv::Rect(3, 0, 1, 3)));
    return pose;
}

std::optional<cv::Mat> estimateCameraTTarget(const cv::Mat& objectPoints, const cv::Mat& imagePoints,
                                             const cv::Mat& intrinsicMatrix, const cv::Mat& distortion,
                                             CameraModel model) {
    if (model == CameraModel::Fisheye) {
        cv::Mat rotationVector, translation;
        if (!solvePoseWithModel(model, objectPoints, imagePoints, intrinsicMatrix, distortion, rotationVector,
                                translation)) {
            return std::nullopt;
        }
        return poseFromRotationTranslation(rotationVector, translation);
    }
    cv::Mat object3f, image2f;
    objectPoints.convertTo(object3f, CV_32F);
    imagePoints.convertTo(image2f, CV_32F);
    cv::Mat rotationVector, translation;
    if (!cv::solvePnP(object3f.reshape(3, static_cast<int>(object3f.total() * object3f.channels() / 3)),
                      image2f.reshape(2, static_cast<int>(image2f.total() * image2f.channels() / 2)), intrinsicMatrix,
                      distortion, rotationVector, translation, false, cv::SOLVEPNP_ITERATIVE)) {
        return std::nullopt;
    }
    return poseFromRotationTranslation(rotationVector, translation);
}

CharucoPose findCharucoPose(const CharucoTarget& target, const cv::Mat& image, const cv::Mat& intrinsicMatrix,
                            const cv::Mat& distortion, CameraModel model) {
    const cv::aruco::CharucoDetector detector = target.createDetector();
    const cv::Mat grey = toGrey(image);
    std::vector<cv::Point2f> corners;
    std::vector<int> ids;
    detector.detectBoard(grey, corners, ids);
    if (static_cast<int>(corners.size()) < kMinimumPoints) {
        // As the detection does: the wider search where the default one finds too little.
        target.createWiderDetector().detectBoard(grey, corners, ids);
    }
    if (static_cast<int>(corners.size()) < kMinimumPoints) {
        return {};
    }
    const std::vector<cv::Point3f> objectPoints = charucoObjectPoints(detector.getBoard().getChessboardCorners(), ids);
    return {true, estimateCameraTTarget(cv::Mat(objectPoints), cv::Mat(corners), intrinsicMatrix, distortion, model)};
}

FramePoses estimateFramePoses(const TargetVariant& target, const std::vector<cv::Mat>& images,
                              const std::vector<cv::Mat>& imagePoints, const cv::Mat& intrinsicMatrix,
                              const cv::Mat& distortion, const std::string& component, CameraModel model) {
    const PoseContext context{images, imagePoints, intrinsicMatrix, distortion, component, model};
    struct Dispatch {
        const PoseContext& context;
        FramePoses operator()(const ChessboardTarget& t) const {
            return fixedGridPoses(t.objectPoints(), "chessboard", context);
        }
        FramePoses operator()(const CharucoTarget& t) const { return charucoPoses(t, context); }
        FramePoses operator()(const ArucoTarget& t) const { return arucoGridPoses(t, context); }
        FramePoses operator()(const CircleGridTarget& t) const {
            return fixedGridPoses(t.objectPoints(), "circle grid", context);
        }
    };
    return std::visit(Dispatch{context}, target);
}

}  // namespace velk::calibration
