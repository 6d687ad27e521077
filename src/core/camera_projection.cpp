#include "core/camera_projection.hpp"

#include <cmath>
#include <stdexcept>

#include <opencv2/calib3d.hpp>

namespace velk {
namespace {

// Points of any of the layouts the library uses as one column of `channels`-channel doubles.
cv::Mat pointColumn(const cv::Mat& points, int channels) {
    cv::Mat doubles;
    points.convertTo(doubles, CV_64F);
    if (!doubles.isContinuous()) {
        doubles = doubles.clone();
    }
    const int count = static_cast<int>(doubles.total() * doubles.channels() / channels);
    return doubles.reshape(channels, count);
}

// Gauss-Newton steps on the pose that minimise the pixel error of the fisheye projection; the
// pose from normalised coordinates weighs the stretched rim of a wide lens too strongly.
void refineFisheyePose(const cv::Mat& object, const cv::Mat& pixels, const cv::Mat& k, const cv::Mat& d,
                       cv::Mat& rotationVector, cv::Mat& translation) {
    constexpr int kSteps = 10;
    constexpr int kPoseColumns = 8;  // the jacobian's rotation and translation columns start here
    cv::Mat pose(6, 1, CV_64F);
    rotationVector.reshape(1, 3).convertTo(pose.rowRange(0, 3), CV_64F);
    translation.reshape(1, 3).convertTo(pose.rowRange(3, 6), CV_64F);
    const cv::Mat observed = pointColumn(pixels, 2).reshape(1, static_cast<int>(object.total() * 2));
    double previous = -1.0;
    for (int step = 0; step < kSteps; ++step) {
        cv::Mat projected, jacobian;
        cv::fisheye::projectPoints(object, projected, pose.rowRange(0, 3), pose.rowRange(3, 6), k, d, 0.0, jacobian);
        const cv::Mat residual = observed - pointColumn(projected, 2).reshape(1, observed.rows);
        const double cost = residual.dot(residual);
        if (!std::isfinite(cost) || (previous >= 0.0 && cost >= previous * (1.0 - 1e-12))) {
            break;
        }
        previous = cost;
        const cv::Mat poseJacobian = jacobian.colRange(kPoseColumns, kPoseColumns + 6);
        cv::Mat delta;
        if (!cv::solve(poseJacobian, residual, delta, cv::DECOMP_SVD)) {
            break;
        }
        cv::Mat candidate = pose + delta;
        cv::Mat candidateProjection;
        cv::fisheye::projectPoints(object, candidateProjection, candidate.rowRange(0, 3), candidate.rowRange(3, 6), k,
                                   d);
        const cv::Mat candidateResidual = observed - pointColumn(candidateProjection, 2).reshape(1, observed.rows);
        if (!(candidateResidual.dot(candidateResidual) < cost)) {
            break;
        }
        pose = candidate;
    }
    pose.rowRange(0, 3).copyTo(rotationVector);
    pose.rowRange(3, 6).copyTo(translation);
}

}  // namespace

CameraModel cameraModelFromName(const std::string& name, const std::string& owner) {
    if (name == "pinhole") {
        return CameraModel::Pinhole;
    }
    if (name == "fisheye") {
        return CameraModel::Fisheye;
    }
    throw std::invalid_argument(owner + ": camera_model must be 'pinhole' or 'fisheye', got '" + name + "'");
}

const char* cameraModelName(CameraModel model) {
    return model == CameraModel::Fisheye ? "fisheye" : "pinhole";
}

void checkDistortionForModel(CameraModel model, const cv::Mat& distortion, const std::string& owner) {
    if (model == CameraModel::Fisheye && static_cast<int>(distortion.total()) != kFisheyeCoefficientCount) {
        throw std::invalid_argument(owner + ": a fisheye camera has 4 distortion coefficients (k1, k2, k3, k4), got " +
                                    std::to_string(distortion.total()));
    }
}

cv::Mat projectObjectPoints(CameraModel model, const cv::Mat& objectPoints, const cv::Mat& rotationVector,
                            const cv::Mat& translation, const cv::Mat& intrinsicMatrix, const cv::Mat& distortion) {
    const cv::Mat object = pointColumn(objectPoints, 3);
    cv::Mat pixels;
    if (object.empty()) {
        return cv::Mat(0, 1, CV_64FC2);
    }
    cv::Mat rvec, tvec;
    rotationVector.convertTo(rvec, CV_64F);
    translation.convertTo(tvec, CV_64F);
    if (model == CameraModel::Fisheye) {
        cv::Mat k, d;
        intrinsicMatrix.convertTo(k, CV_64F);
        distortion.convertTo(d, CV_64F);
        cv::fisheye::projectPoints(object, pixels, rvec.reshape(1, 3), tvec.reshape(1, 3), k, d.reshape(1, 1));
    } else {
        cv::projectPoints(object, rvec, tvec, intrinsicMatrix, distortion, pixels);
    }
    return pointColumn(pixels, 2);
}

cv::Mat normalisedCoordinates(CameraModel model, const cv::Mat& pixels, const cv::Mat& intrinsicMatrix,
                              const cv::Mat& distortion) {
    const cv::Mat distorted = pointColumn(pixels, 2);
    if (distorted.empty()) {
        return cv::Mat(0, 1, CV_64FC2);
    }
    cv::Mat normalised;
    if (model == CameraModel::Fisheye) {
        cv::Mat k, d;
        intrinsicMatrix.convertTo(k, CV_64F);
        distortion.convertTo(d, CV_64F);
        cv::fisheye::undistortPoints(distorted, normalised, k, d.reshape(1, 1));
    } else {
        cv::undistortPoints(distorted, normalised, intrinsicMatrix, distortion);
    }
    return pointColumn(normalised, 2);
}

bool solvePoseWithModel(CameraModel model, const cv::Mat& objectPoints, const cv::Mat& imagePoints,
                        const cv::Mat& intrinsicMatrix, const cv::Mat& distortion, cv::Mat& rotationVector,
                        cv::Mat& translation) {
    const cv::Mat object = pointColumn(objectPoints, 3);
    if (model == CameraModel::Fisheye) {
        // Posed on ideal normalised coordinates: an identity camera without distortion.
        const cv::Mat normalised = normalisedCoordinates(model, imagePoints, intrinsicMatrix, distortion);
        if (!cv::solvePnP(object, normalised, cv::Mat::eye(3, 3, CV_64F), cv::noArray(), rotationVector, translation,
                          false, cv::SOLVEPNP_ITERATIVE)) {
            return false;
        }
        cv::Mat k, d;
        intrinsicMatrix.convertTo(k, CV_64F);
        distortion.convertTo(d, CV_64F);
        refineFisheyePose(object, imagePoints, k, d.reshape(1, 1), rotationVector, translation);
        return true;
    }
    cv::Mat object3f, image2f;
    object.convertTo(object3f, CV_32F);
    pointColumn(imagePoints, 2).convertTo(image2f, CV_32F);
    return cv::solvePnP(object3f, image2f, intrinsicMatrix, distortion, rotationVector, translation, false,
                        cv::SOLVEPNP_ITERATIVE);
}

}  // namespace velk
