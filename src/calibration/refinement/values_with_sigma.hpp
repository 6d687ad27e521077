#pragma once

#include <string>
#include <vector>

namespace velk::calibration {

// "name [unit]: a = v +- s, b = v +- s, c = v +- s (norm s)" with four decimals; no norm when it is negative.
std::string formatValuesWithSigma(const std::string& name, const std::vector<std::string>& labels,
                                  const std::vector<double>& values, const std::vector<double>& sigmas,
                                  double normSigma);

}  // namespace velk::calibration
