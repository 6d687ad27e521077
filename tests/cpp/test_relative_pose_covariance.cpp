#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>

#include "calibration/refinement/relative_pose_covariance.hpp"

namespace velk::calibration {
namespace {

cv::Mat pose(double rx, double ry, double rz, double x, double y, double z) {
    cv::Mat transform = cv::Mat::eye(4, 4, CV_64F);
    cv::Rodrigues(cv::Mat((cv::Mat_<double>(3, 1) << rx, ry, rz)), transform(cv::Rect(0, 0, 3, 3)));
    transform.at<double>(0, 3) = x;
    transform.at<double>(1, 3) = y;
    transform.at<double>(2, 3) = z;
    return transform;
}

// The pose moved by a pose block's parameters: [exp(w) R | t + dt].
cv::Mat moved(const cv::Mat& transform, const double* step) {
    cv::Mat turn;
    cv::Rodrigues(cv::Mat((cv::Mat_<double>(3, 1) << step[0], step[1], step[2])), turn);
    cv::Mat result = transform.clone();
    result(cv::Rect(0, 0, 3, 3)) = turn * transform(cv::Rect(0, 0, 3, 3));
    for (int k = 0; k < 3; ++k) {
        result.at<double>(k, 3) += step[3 + k];
    }
    return result;
}

// The relative pose's own [w, t] change between two transforms.
cv::Mat change(const cv::Mat& from, const cv::Mat& to) {
    cv::Mat w;
    cv::Rodrigues(cv::Mat(to(cv::Rect(0, 0, 3, 3)) * from(cv::Rect(0, 0, 3, 3)).t()), w);
    cv::Mat values(6, 1, CV_64F);
    w.copyTo(values.rowRange(0, 3));
    cv::Mat(to(cv::Rect(3, 0, 1, 3)) - from(cv::Rect(3, 0, 1, 3))).copyTo(values.rowRange(3, 6));
    return values;
}

TEST(RelativePoseCovariance, MatchesTheNumericalPropagationWithCorrelatedPoses) {
    const cv::Mat first = pose(0.3, -1.1, 0.4, 1.0, 0.2, 0.6), second = pose(-2.0, 0.5, 0.1, 0.8, -0.3, 0.9);
    cv::Mat factor(12, 12, CV_64F);
    cv::randn(factor, 0.0, 1e-3);
    const cv::Mat joint = factor * factor.t();  // correlated within and across the two poses
    const cv::Mat relative = first.inv() * second;
    cv::Mat jacobian(6, 12, CV_64F);
    // Large enough for the rotation-vector conversion, which returns zero below a sine of 1e-5.
    constexpr double kStep = 1e-4;
    for (int k = 0; k < 12; ++k) {
        double plus[6] = {}, minus[6] = {};
        plus[k % 6] = kStep;
        minus[k % 6] = -kStep;
        const bool ofFirst = k < 6;
        const cv::Mat up =
            ofFirst ? cv::Mat(moved(first, plus).inv() * second) : cv::Mat(first.inv() * moved(second, plus));
        const cv::Mat down =
            ofFirst ? cv::Mat(moved(first, minus).inv() * second) : cv::Mat(first.inv() * moved(second, minus));
        cv::Mat column = (change(relative, up) - change(relative, down)) / (2.0 * kStep);
        column.copyTo(jacobian.col(k));
    }
    const cv::Mat expected = jacobian * joint * jacobian.t();
    const std::vector<double> values(joint.begin<double>(), joint.end<double>());
    const std::vector<double> computed = relativePoseCovariance(first, second, values);
    for (int r = 0; r < 6; ++r) {
        for (int c = 0; c < 6; ++c) {
            EXPECT_NEAR(computed[r * 6 + c], expected.at<double>(r, c),
                        1e-12 + 1e-5 * std::abs(expected.at<double>(r, c)))
                << r << ", " << c;
        }
    }
    EXPECT_THROW(relativePoseCovariance(first, second, std::vector<double>(36)), std::invalid_argument);
}

}  // namespace
}  // namespace velk::calibration
