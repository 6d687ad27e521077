#include "calibration/refinement/values_with_sigma.hpp"

#include <sstream>

namespace velk::calibration {

std::string formatValuesWithSigma(const std::string& name, const std::vector<std::string>& labels,
                                  const std::vector<double>& values, const std::vector<double>& sigmas,
                                  double normSigma) {
    std::ostringstream line;
    line.setf(std::ios::fixed);
    line.precision(4);
    line << name << ":";
    for (size_t k = 0; k < labels.size(); ++k) {
        line << (k ? ", " : " ") << labels[k] << " = " << values[k] << " +- " << sigmas[k];
    }
    if (normSigma >= 0.0) {
        line << " (norm " << normSigma << ")";
    }
    return line.str();
}

}  // namespace velk::calibration
