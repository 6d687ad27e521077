#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace velk::calibration {

// Share of a parameter's information, after the parameters before it that are kept have been
// accounted for, below which it is taken as not determined. The information matrix is scaled to
// unit diagonal first, so this is the square of the parameter's least-squares independence from
// the others; rounding moves such a share by about 1e-16, so a parameter's fate does not depend
// on the machine, while the inverse of what is kept loses at most a few of its sixteen digits.
constexpr double kDeterminedInformationShare = 1e-10;

// Which parameters a symmetric information (normal) matrix determines, taken in their order: a
// parameter is kept when what remains of its information, once the kept parameters before it
// are accounted for, is at least kDeterminedInformationShare of all of it. Of two parameters that
// trade off exactly (the rational model's k1 and k4 on a lens without distortion), the later one
// is the one not determined. A parameter without information is never determined.
std::vector<bool> determinedInOrder(const cv::Mat& information);

}  // namespace velk::calibration
