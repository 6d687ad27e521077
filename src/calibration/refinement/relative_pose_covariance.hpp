#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace velk::calibration {

// The covariance of first_T_second = inv(first) * second from the joint covariance of the two poses, each
// a pose block's [w, t] (rotation update on the left, translation as it stands; 12 x 12 row-major, first's
// six parameters then second's). The result is 6 x 6 row-major over first_T_second's own [w, t], so that
// poseSigmaFromCovariance reads its 1-sigma. The cross terms matter: two poses solved from the same data
// are correlated, and their relative pose is often far better known than either.
std::vector<double> relativePoseCovariance(const cv::Mat& first, const cv::Mat& second,
                                           const std::vector<double>& joint_covariance);

}  // namespace velk::calibration
