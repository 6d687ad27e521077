#include "calibration/refinement/corner_rows.hpp"

namespace velk::calibration {

cv::Mat asDoubleRows(const cv::Mat& points, int columns) {
    cv::Mat converted;
    points.convertTo(converted, CV_64F);
    return converted.reshape(1, static_cast<int>(converted.total() * converted.channels() / columns)).clone();
}

cv::Mat mountOrIdentity(const cv::Mat& mount) {
    cv::Mat converted;
    if (mount.empty()) {
        return cv::Mat::eye(4, 4, CV_64F);
    }
    mount.convertTo(converted, CV_64F);
    return converted;
}

ReprojectionCost cornerCost(const cv::Mat& objects, const cv::Mat& pixels, int row, const cv::Mat& mount,
                            const PoseBlock& camera_pose, const PoseBlock& target_pose, const CameraBlock& camera) {
    ReprojectionCost cost{};
    for (int k = 0; k < 3; ++k) {
        cost.object[k] = objects.at<double>(row, k);
        cost.mount_translation[k] = mount.at<double>(k, 3);
        for (int c = 0; c < 3; ++c) {
            cost.mount_rotation[3 * k + c] = mount.at<double>(k, c);
        }
    }
    cost.observed[0] = pixels.at<double>(row, 0);
    cost.observed[1] = pixels.at<double>(row, 1);
    cost.camera_base = camera_pose.base_rotation;
    cost.target_base = target_pose.base_rotation;
    cost.equidistant = camera.model == CameraModel::Fisheye;
    return cost;
}

}  // namespace velk::calibration
