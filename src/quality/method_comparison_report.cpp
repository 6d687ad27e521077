#include "quality/method_comparison_report.hpp"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace velk::quality {
namespace {

const std::string kBar(60, '=');
const std::string kRule = "  " + std::string(58, '-');
constexpr size_t kPoseSize = 6;
constexpr size_t kRz = 5;

struct Solved {
    std::string name;
    const std::vector<double>* pose;
    double rz() const { return (*pose)[kRz]; }
};

// Ascending, with NaN last, so a broken pose cannot break the sort.
bool lessWithNanLast(double a, double b) {
    return std::isnan(b) ? !std::isnan(a) : a < b;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end(), lessWithNanLast);
    const size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2.0;
}

void writeHeader(std::ostringstream& text) {
    text << kBar << "\nHAND-EYE CROSS-METHOD COMPARISON\n" << kBar << "\n";
    text << "  " << std::left << std::setw(12) << "Method" << std::right << std::setw(8) << "x (m)" << std::setw(8)
         << "y (m)" << std::setw(8) << "z (m)" << std::setw(7) << "rx" << std::setw(7) << "ry" << std::setw(7) << "rz"
         << "\n";
    text << kRule << "\n";
}

void writeRow(std::ostringstream& text, const std::string& name, const std::vector<double>& pose) {
    text << std::fixed << std::setprecision(4);
    text << "  " << std::left << std::setw(12) << name << std::right << std::setw(8) << pose[0] << std::setw(8)
         << pose[1] << std::setw(8) << pose[2];
    text << std::setprecision(2) << std::setw(7) << pose[3] << std::setw(7) << pose[4] << std::setw(7) << pose[5]
         << "\n";
}

// Norm of the per-axis extent of the solved translations, metres.
double translationSpread(const std::vector<Solved>& solved) {
    double squared = 0.0;
    for (size_t axis = 0; axis < 3; ++axis) {
        double low = (*solved.front().pose)[axis];
        double high = low;
        for (const Solved& entry : solved) {
            low = std::min(low, (*entry.pose)[axis]);
            high = std::max(high, (*entry.pose)[axis]);
        }
        squared += (high - low) * (high - low);
    }
    return std::sqrt(squared);
}

// An angle in degrees brought into (-180, 180].
double wrapDegrees(double angle) {
    const double wrapped = std::fmod(angle + 180.0, 360.0);
    const double result = (wrapped < 0.0 ? wrapped + 360.0 : wrapped) - 180.0;
    return result == -180.0 ? 180.0 : result;
}

// Angles that differ by a full turn are the same rotation: the angles are laid out along
// the shortest arc that holds them all (the circle cut at the widest gap between
// neighbours), so +179.9 and -179.9 deg lie 0.2 deg apart. NaN stays NaN.
std::vector<double> unwrapAlongShortestArc(const std::vector<double>& angles) {
    std::vector<double> sorted;
    for (double angle : angles) {
        if (!std::isnan(angle)) {
            sorted.push_back(wrapDegrees(angle));
        }
    }
    if (sorted.empty()) {
        return angles;
    }
    std::sort(sorted.begin(), sorted.end());
    double start = sorted.front();
    double widestGap = sorted.front() + 360.0 - sorted.back();
    for (size_t k = 1; k < sorted.size(); ++k) {
        if (sorted[k] - sorted[k - 1] > widestGap) {
            widestGap = sorted[k] - sorted[k - 1];
            start = sorted[k];
        }
    }
    std::vector<double> unwrapped;
    for (double angle : angles) {
        unwrapped.push_back(std::isnan(angle) ? angle
                                              : start + std::fmod(std::fmod(angle - start, 360.0) + 360.0, 360.0));
    }
    return unwrapped;
}

void writeSummary(std::ostringstream& text, const std::vector<Solved>& solved, double threshold) {
    std::vector<double> raw;
    for (const Solved& entry : solved) {
        raw.push_back(entry.rz());
    }
    const std::vector<double> rzs = unwrapAlongShortestArc(raw);
    const double median_rz = median(rzs);
    const auto [lowest, highest] = std::minmax_element(rzs.begin(), rzs.end());
    const double spread = *highest - *lowest;
    const double centre = std::isnan(median_rz) ? median_rz : wrapDegrees(median_rz);

    std::vector<std::string> inliers, outliers;
    for (const Solved& entry : solved) {
        (std::abs(wrapDegrees(entry.rz() - centre)) <= threshold ? inliers : outliers).push_back(entry.name);
    }
    const size_t count = solved.size();

    text << kRule << "\n" << std::setprecision(2);
    text << "  rz total spread:      " << spread << " deg (median rz = " << centre << " deg)\n";
    text << "  translation spread:   " << translationSpread(solved) * 1000.0 << " mm\n";
    if (outliers.empty()) {
        text << "  >>> All " << count << " methods agree to within ~" << threshold << " deg of median (" << centre
             << " deg).\n"
             << "      The data uniquely determines rz. If this differs from\n"
             << "      visual ground truth, the bias is in the *data* (robot\n"
             << "      kinematics or detection), not the solver.\n";
    } else if (inliers.size() + 1 < count) {
        text << "  >>> No consensus  -  methods split into clusters with >" << threshold << " deg spread.\n"
             << "      Solution is under-determined; capture more axis-diverse poses.\n";
    } else {
        text << "  >>> " << inliers.size() << "-of-" << count << " methods cluster near " << centre
             << " deg; outlier(s): ";
        for (size_t k = 0; k < outliers.size(); ++k) {
            text << (k == 0 ? "" : ", ") << outliers[k];
        }
        text << ".\n"
             << "      Trust the consensus value (" << centre << " deg). The\n"
             << "      outlier likely hit a local optimum specific to its formulation.\n";
    }
}

}  // namespace

std::string format_method_comparison(const HandEyeMethodResults& method_results, double consensus_threshold_deg) {
    std::ostringstream text;
    writeHeader(text);
    std::vector<Solved> solved;
    for (const auto& [name, result] : method_results) {
        if (!result) {
            text << "  " << std::left << std::setw(12) << name << "(failed)\n";
            continue;
        }
        if (result->pose_deg.size() != kPoseSize) {
            throw std::invalid_argument("format_method_comparison: pose_deg of " + name + " must hold 6 values, got " +
                                        std::to_string(result->pose_deg.size()));
        }
        writeRow(text, name, result->pose_deg);
        solved.push_back({name, &result->pose_deg});
    }
    if (solved.size() >= 2) {
        writeSummary(text, solved, consensus_threshold_deg);
    }
    return text.str();
}

}  // namespace velk::quality
