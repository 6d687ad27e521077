#include "calibration/hand_eye/planar_hand_eye.hpp"

#include <cmath>
#include <complex>

#include <opencv2/calib3d.hpp>

#include "core/pose.hpp"

namespace velk::calibration {
namespace {

// Turns below this angle say little about their axis; axes within this angle of the common one are parallel.
constexpr double kSmallTurnDeg = 5.0;
constexpr double kParallelDeg = 2.0;
constexpr double kDegrees = CV_PI / 180.0;

using Complex = std::complex<double>;

// A relative motion of two views: inv(motion_j) * motion_i and camera_j * inv(camera_i).
struct MotionPair {
    cv::Mat robot;
    cv::Mat camera;
};

cv::Mat asDouble(const cv::Mat& pose) {
    cv::Mat copy;
    pose.convertTo(copy, CV_64F);
    return copy;
}

std::vector<MotionPair> turningPairs(const std::vector<cv::Mat>& motions, const std::vector<cv::Mat>& cameras) {
    std::vector<MotionPair> pairs;
    for (size_t i = 0; i < motions.size(); ++i) {
        for (size_t j = i + 1; j < motions.size(); ++j) {
            const cv::Mat robot = asDouble(motions[j]).inv(cv::DECOMP_LU) * asDouble(motions[i]);
            cv::Mat turn;
            cv::Rodrigues(rotationBlock(robot), turn);
            if (cv::norm(turn) < kSmallTurnDeg * kDegrees) {
                continue;
            }
            const cv::Mat camera =
                cameras.empty() ? cv::Mat() : cv::Mat(asDouble(cameras[j]) * asDouble(cameras[i]).inv(cv::DECOMP_LU));
            pairs.push_back({robot, camera});
        }
    }
    return pairs;
}

cv::Vec3d turnVector(const cv::Mat& pose) {
    cv::Mat turn;
    cv::Rodrigues(rotationBlock(pose), turn);
    return cv::Vec3d(turn.at<double>(0), turn.at<double>(1), turn.at<double>(2));
}

// The mean axis of the pairs' turns, each turned to the side of the first; and of the cameras' turns with the
// same signs (the camera turns by the same angle about X's image of the axis).
std::pair<cv::Vec3d, cv::Vec3d> meanAxes(const std::vector<MotionPair>& pairs) {
    cv::Vec3d robotSum(0, 0, 0), cameraSum(0, 0, 0);
    const cv::Vec3d reference = turnVector(pairs.front().robot);
    for (const MotionPair& pair : pairs) {
        const cv::Vec3d robot = turnVector(pair.robot);
        const double sign = robot.dot(reference) >= 0.0 ? 1.0 : -1.0;
        robotSum += sign * robot;
        if (!pair.camera.empty()) {
            cameraSum += sign * turnVector(pair.camera);
        }
    }
    return {cv::normalize(robotSum), cv::norm(cameraSum) > 0.0 ? cv::normalize(cameraSum) : cameraSum};
}

bool allAbout(const std::vector<MotionPair>& pairs, const cv::Vec3d& axis) {
    for (const MotionPair& pair : pairs) {
        const cv::Vec3d turn = turnVector(pair.robot);
        if (std::abs(turn.dot(axis)) < std::cos(kParallelDeg * kDegrees) * cv::norm(turn)) {
            return false;
        }
    }
    return true;
}

cv::Mat rotationAbout(const cv::Vec3d& axis, double angle) {
    cv::Mat rotation;
    cv::Rodrigues(cv::Mat(axis * angle), rotation);
    return rotation;
}

// The smallest rotation taking unit vector from onto unit vector to.
cv::Mat rotationTaking(const cv::Vec3d& from, const cv::Vec3d& to) {
    const cv::Vec3d cross = from.cross(to);
    const double sine = cv::norm(cross);
    const double angle = std::atan2(sine, from.dot(to));
    if (sine < 1e-12) {
        if (from.dot(to) > 0.0) {
            return cv::Mat::eye(3, 3, CV_64F);
        }
        const cv::Vec3d other = std::abs(from[0]) < 0.9 ? cv::Vec3d(1, 0, 0) : cv::Vec3d(0, 1, 0);
        return rotationAbout(cv::normalize(from.cross(other)), CV_PI);
    }
    return rotationAbout(cross / sine, angle);
}

cv::Vec3d column(const cv::Mat& pose) {
    return cv::Vec3d(pose.at<double>(0, 3), pose.at<double>(1, 3), pose.at<double>(2, 3));
}

}  // namespace

std::optional<cv::Vec3d> commonTurnAxis(const std::vector<cv::Mat>& motions) {
    const std::vector<MotionPair> pairs = turningPairs(motions, {});
    if (pairs.empty()) {
        return std::nullopt;
    }
    const cv::Vec3d axis = meanAxes(pairs).first;
    if (!allAbout(pairs, axis)) {
        return std::nullopt;
    }
    return axis;
}

std::optional<HandEyeSolution> solvePlanarHandEye(const std::vector<cv::Mat>& motions,
                                                  const std::vector<cv::Mat>& camera_T_target_list,
                                                  bool zero_target_offset) {
    const std::vector<MotionPair> pairs = turningPairs(motions, camera_T_target_list);
    if (pairs.size() < 2) {
        return std::nullopt;
    }
    const auto [axis, cameraAxis] = meanAxes(pairs);
    if (!allAbout(pairs, axis) || cv::norm(cameraAxis) == 0.0) {
        return std::nullopt;
    }
    const cv::Mat start = rotationTaking(cameraAxis, axis);
    // Complex coordinates in the plane across the axis: e1 x e2 = axis.
    const cv::Vec3d e1 = cv::normalize(axis.cross(std::abs(axis[0]) < 0.9 ? cv::Vec3d(1, 0, 0) : cv::Vec3d(0, 1, 0)));
    const cv::Vec3d e2 = axis.cross(e1);
    const auto inPlane = [&](const cv::Vec3d& v) { return Complex(v.dot(e1), v.dot(e2)); };
    // Rows of (e^{i theta} - 1) t - b z = -a as real equations in [Re t, Im t, Re z, Im z].
    cv::Mat rows(0, 4, CV_64F), right(0, 1, CV_64F);
    std::vector<Complex> turns, bs, as;
    for (const MotionPair& pair : pairs) {
        const double theta = turnVector(pair.robot).dot(axis);
        const Complex c1 = std::polar(1.0, theta) - 1.0;
        const cv::Mat startCamera = start * cv::Mat(column(pair.camera));
        const Complex b = inPlane(cv::Vec3d(startCamera));
        const Complex a = inPlane(column(pair.robot));
        const Complex c2 = -b, d = -a;
        rows.push_back(cv::Mat(cv::Matx14d(c1.real(), -c1.imag(), c2.real(), -c2.imag())));
        rows.push_back(cv::Mat(cv::Matx14d(c1.imag(), c1.real(), c2.imag(), c2.real())));
        right.push_back(d.real());
        right.push_back(d.imag());
        turns.push_back(c1);
        bs.push_back(b);
        as.push_back(a);
    }
    cv::Mat solution;
    if (!cv::solve(rows, right, solution, cv::DECOMP_SVD)) {
        return std::nullopt;
    }
    const Complex z(solution.at<double>(2), solution.at<double>(3));
    if (!(std::abs(z) > 1e-6) || !std::isfinite(std::abs(z))) {
        return std::nullopt;
    }
    const Complex turn = z / std::abs(z);
    // The offset again with the turn of unit length: sum |c1|^2 t = sum conj(c1) (z b - a).
    double weight = 0.0;
    Complex sum(0.0, 0.0);
    for (size_t k = 0; k < turns.size(); ++k) {
        weight += std::norm(turns[k]);
        sum += std::conj(turns[k]) * (turn * bs[k] - as[k]);
    }
    const Complex offset = sum / weight;
    cv::Mat camera = cv::Mat::eye(4, 4, CV_64F);
    const cv::Mat rotation = rotationAbout(axis, std::arg(turn)) * start;
    rotation.copyTo(camera(cv::Rect(0, 0, 3, 3)));
    const cv::Vec3d translation = offset.real() * e1 + offset.imag() * e2;
    for (int k = 0; k < 3; ++k) {
        camera.at<double>(k, 3) = translation[k];
    }
    std::vector<cv::Mat> targets;
    for (size_t i = 0; i < motions.size(); ++i) {
        targets.push_back(asDouble(motions[i]) * camera * asDouble(camera_T_target_list[i]));
    }
    cv::Mat target = averagePose(targets);
    if (zero_target_offset) {
        // X moved by d along the axis moves Y by d along the axis as the motions turn it, the same for every
        // view: d takes Y's offset along it to zero.
        const cv::Mat targetAxis = rotationBlock(asDouble(motions.front())) * cv::Mat(axis);
        const double offset = column(target).dot(cv::Vec3d(targetAxis));
        for (int k = 0; k < 3; ++k) {
            camera.at<double>(k, 3) -= offset * axis[k];
            target.at<double>(k, 3) -= offset * targetAxis.at<double>(k);
        }
    }
    return HandEyeSolution{camera, target};
}

}  // namespace velk::calibration
