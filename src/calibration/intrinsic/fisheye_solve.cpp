#include "calibration/intrinsic/fisheye_solve.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include <opencv2/calib3d.hpp>

#include "calibration/detection/camera_target_pose.hpp"
#include "calibration/refinement/reprojection_problem.hpp"
#include "core/camera_projection.hpp"

namespace velk::calibration {
namespace {

// cv::fisheye::calibrate's iterations that give the start: enough to settle the focal length
// within a few tenths of a percent, from which the finishing solve converges in a few steps.
constexpr int kStartIterations = 5;
// The finishing solve is plain least squares: a Huber scale no residual reaches.
constexpr double kNoRobustScalePx = 1e9;
constexpr int kFinishIterations = 100;

struct Poses {
    std::vector<cv::Mat> rotations;
    std::vector<cv::Mat> translations;
};

double openCvSolve(const FisheyeInput& input, const cv::Size& imageSize, cv::Mat& intrinsicMatrix, cv::Mat& distortion,
                   Poses& poses, int flags, const cv::TermCriteria& criteria) {
    poses.rotations.clear();
    poses.translations.clear();
    return cv::fisheye::calibrate(input.object_points, input.image_points, imageSize, intrinsicMatrix, distortion,
                                  poses.rotations, poses.translations, flags, criteria);
}

// Each view posed through the guessed camera; false when one cannot be.
bool poseThroughGuess(const FisheyeInput& input, const cv::Mat& intrinsicMatrix, const cv::Mat& distortion,
                      Poses& poses) {
    for (size_t v = 0; v < input.object_points.size(); ++v) {
        cv::Mat rotation, translation;
        if (!solvePoseWithModel(CameraModel::Fisheye, input.object_points[v], input.image_points[v], intrinsicMatrix,
                                distortion, rotation, translation)) {
            return false;
        }
        poses.rotations.push_back(rotation);
        poses.translations.push_back(translation);
    }
    return true;
}

// The joint least-squares solve of the camera and every view's pose from the start; false when it
// does not converge.
bool finish(const FisheyeInput& input, int flags, cv::Mat& intrinsicMatrix, cv::Mat& distortion, Poses& poses) {
    ReprojectionProblem problem(kNoRobustScalePx);
    const int camera = problem.addCamera(intrinsicMatrix, distortion, true, flags, CameraModel::Fisheye);
    const int origin = problem.addPose(cv::Mat::eye(4, 4, CV_64F), true);
    std::vector<int> views;
    for (size_t v = 0; v < input.object_points.size(); ++v) {
        views.push_back(problem.addPose(poseFromRotationTranslation(poses.rotations[v], poses.translations[v]), false));
        problem.addView(camera, origin, cv::Mat(), views.back(), input.object_points[v], input.image_points[v]);
    }
    RefinementSummary summary;
    std::string reason;
    if (!problem.solve(kFinishIterations, summary, reason, 1e-12)) {
        return false;
    }
    intrinsicMatrix = problem.intrinsicMatrix(camera);
    distortion = problem.distortion(camera).reshape(1, 1);
    for (size_t v = 0; v < views.size(); ++v) {
        const cv::Mat pose = problem.pose(views[v]);
        cv::Rodrigues(pose(cv::Rect(0, 0, 3, 3)), poses.rotations[v]);
        poses.translations[v] = pose(cv::Rect(3, 0, 1, 3)).clone();
    }
    return true;
}

double rmsOverCorners(const FisheyeInput& input, const cv::Mat& intrinsicMatrix, const cv::Mat& distortion,
                      const Poses& poses) {
    double squares = 0.0;
    size_t corners = 0;
    for (size_t v = 0; v < input.object_points.size(); ++v) {
        const cv::Mat projected = projectObjectPoints(CameraModel::Fisheye, input.object_points[v], poses.rotations[v],
                                                      poses.translations[v], intrinsicMatrix, distortion);
        squares += cv::norm(projected, input.image_points[v], cv::NORM_L2SQR);
        corners += input.object_points[v].total();
    }
    return corners > 0 ? std::sqrt(squares / static_cast<double>(corners)) : 0.0;
}

}  // namespace

double solveFisheyeIntrinsics(const FisheyeInput& input, const cv::Size& imageSize, cv::Mat& intrinsicMatrix,
                              cv::Mat& distortion, std::vector<cv::Mat>& rotationVectors,
                              std::vector<cv::Mat>& translationVectors, int flags, const cv::TermCriteria& criteria) {
    Poses poses;
    const bool polish = (flags & cv::fisheye::CALIB_FIX_SKEW) != 0;
    const bool guessed = (flags & cv::fisheye::CALIB_USE_INTRINSIC_GUESS) && !intrinsicMatrix.empty();
    double rms = 0.0;
    if (!polish) {
        rms = openCvSolve(input, imageSize, intrinsicMatrix, distortion, poses, flags, criteria);
    } else {
        const cv::Mat startMatrix = intrinsicMatrix.clone(), startDistortion = distortion.clone();
        bool started = false;
        if (guessed) {
            intrinsicMatrix.convertTo(intrinsicMatrix, CV_64F);
            distortion = distortion.empty() ? cv::Mat::zeros(1, 4, CV_64F) : distortion.reshape(1, 1);
            distortion.convertTo(distortion, CV_64F);
            started = poseThroughGuess(input, intrinsicMatrix, distortion, poses);
        }
        if (!started) {
            const cv::TermCriteria start(cv::TermCriteria::COUNT + cv::TermCriteria::EPS,
                                         std::min(kStartIterations, criteria.maxCount), criteria.epsilon);
            openCvSolve(input, imageSize, intrinsicMatrix, distortion, poses, flags, start);
        }
        if (finish(input, flags, intrinsicMatrix, distortion, poses)) {
            rms = rmsOverCorners(input, intrinsicMatrix, distortion, poses);
        } else {
            intrinsicMatrix = startMatrix.clone();
            distortion = startDistortion.clone();
            rms = openCvSolve(input, imageSize, intrinsicMatrix, distortion, poses, flags, criteria);
        }
    }
    rotationVectors = poses.rotations;
    translationVectors = poses.translations;
    return rms;
}

}  // namespace velk::calibration
