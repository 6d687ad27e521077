#include "calibration/detection/corner_visibility.hpp"

#include <cmath>
#include <stdexcept>

#include <opencv2/calib3d.hpp>

namespace velk::calibration {
namespace {

// Distortion-free projections this far outside the picture (as a share of its size) are not seen.
constexpr double kPinholeSlack = 0.25;

cv::Mat asPointRows(const cv::Mat& points) {
    cv::Mat rows;
    points.reshape(1, static_cast<int>(points.total() * points.channels() / 3)).convertTo(rows, CV_64F);
    return rows;
}

// Cosine of the angle between the board's normal and the line of sight to its centre.
double facingCosine(const cv::Mat& objects, const cv::Matx33d& rotation, const cv::Vec3d& translation) {
    cv::Vec3d centre(0.0, 0.0, 0.0);
    for (int p = 0; p < objects.rows; ++p) {
        centre += cv::Vec3d(objects.at<double>(p, 0), objects.at<double>(p, 1), objects.at<double>(p, 2));
    }
    centre *= 1.0 / objects.rows;
    const cv::Vec3d sight = rotation * centre + translation;
    const cv::Vec3d normal(rotation(0, 2), rotation(1, 2), rotation(2, 2));
    return std::abs(normal.dot(sight)) / cv::norm(sight);
}

bool inside(double x, double y, cv::Size size, double margin) {
    return x >= margin && y >= margin && x <= size.width - 1 - margin && y <= size.height - 1 - margin;
}

}  // namespace

std::vector<int> visibleCorners(const cv::Mat& object_points, const cv::Mat& camera_T_target,
                                const cv::Mat& intrinsic_matrix, const cv::Mat& distortion, cv::Size image_size,
                                const VisibilityLimits& limits) {
    if (camera_T_target.rows != 4 || camera_T_target.cols != 4) {
        throw std::invalid_argument("visibleCorners: camera_T_target must be 4 x 4");
    }
    const cv::Mat objects = asPointRows(object_points);
    std::vector<int> seen;
    if (objects.rows == 0) {
        return seen;
    }
    cv::Mat pose;
    camera_T_target.convertTo(pose, CV_64F);
    const cv::Matx33d rotation = cv::Matx33d(pose(cv::Rect(0, 0, 3, 3)).clone());
    const cv::Vec3d translation(pose.at<double>(0, 3), pose.at<double>(1, 3), pose.at<double>(2, 3));
    if (facingCosine(objects, rotation, translation) < std::cos(limits.max_facing_angle_deg * CV_PI / 180.0)) {
        return seen;
    }
    cv::Mat k;
    intrinsic_matrix.convertTo(k, CV_64F);
    cv::Mat rvec;
    cv::Rodrigues(cv::Mat(rotation), rvec);
    std::vector<cv::Point2d> pixels;
    cv::projectPoints(objects, rvec, cv::Mat(translation), k, distortion, pixels);
    const double slackX = kPinholeSlack * image_size.width, slackY = kPinholeSlack * image_size.height;
    for (int p = 0; p < objects.rows; ++p) {
        const cv::Vec3d point =
            rotation * cv::Vec3d(objects.at<double>(p, 0), objects.at<double>(p, 1), objects.at<double>(p, 2)) +
            translation;
        if (!(point[2] > 0.0)) {
            continue;
        }
        const double x = k.at<double>(0, 0) * point[0] / point[2] + k.at<double>(0, 2);
        const double y = k.at<double>(1, 1) * point[1] / point[2] + k.at<double>(1, 2);
        const bool nearPicture =
            x > -slackX && y > -slackY && x < image_size.width + slackX && y < image_size.height + slackY;
        if (nearPicture && inside(pixels[p].x, pixels[p].y, image_size, limits.margin_px)) {
            seen.push_back(p);
        }
    }
    return seen;
}

}  // namespace velk::calibration
