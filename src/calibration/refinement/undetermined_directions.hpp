#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace velk::calibration {

// A combination of unknowns the data do not determine: its unit direction over the analysed unknowns,
// each scaled by its limit (a step of one along it moves unknown k by direction[k] * limit[k]), and
// the 1-sigma along it in the same scaled units (above 1: beyond the limits; infinite: no information).
struct UndeterminedDirection {
    std::vector<double> direction;
    double sigma = 0.0;
};

// The directions among the analysed unknowns (columns `analysed` of a symmetric information matrix,
// the other unknowns marginalised) along which the 1-sigma exceeds the limits, the least determined
// first. limits: per analysed unknown, the 1-sigma beyond which it is not determined, in its units.
std::vector<UndeterminedDirection> undeterminedDirections(const cv::Mat& information, const std::vector<int>& analysed,
                                                          const std::vector<double>& limits);

}  // namespace velk::calibration
