#include "calibration/refinement/undetermined_directions.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include <Eigen/Dense>

namespace velk::calibration {
namespace {

// Eigenvalues below this share of the largest count as zero: the information there is rounding.
constexpr double kRelativeZero = 1e-12;

Eigen::MatrixXd toEigen(const cv::Mat& information) {
    cv::Mat values;
    information.convertTo(values, CV_64F);
    Eigen::MatrixXd matrix(values.rows, values.cols);
    for (int r = 0; r < values.rows; ++r) {
        for (int c = 0; c < values.cols; ++c) {
            matrix(r, c) = 0.5 * (values.at<double>(r, c) + values.at<double>(c, r));
        }
    }
    return matrix;
}

// A symmetric positive semi-definite matrix's pseudo-inverse, by its eigenvalues.
Eigen::MatrixXd pseudoInverse(const Eigen::MatrixXd& matrix) {
    if (matrix.rows() == 0) {
        return matrix;
    }
    const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> eigen(matrix);
    const Eigen::VectorXd values = eigen.eigenvalues();
    const double floor = std::max(values.maxCoeff(), 0.0) * kRelativeZero;
    Eigen::VectorXd inverted = Eigen::VectorXd::Zero(values.size());
    for (int k = 0; k < values.size(); ++k) {
        if (values(k) > floor) {
            inverted(k) = 1.0 / values(k);
        }
    }
    return eigen.eigenvectors() * inverted.asDiagonal() * eigen.eigenvectors().transpose();
}

}  // namespace

std::vector<UndeterminedDirection> undeterminedDirections(const cv::Mat& information, const std::vector<int>& analysed,
                                                          const std::vector<double>& limits) {
    if (information.rows != information.cols || analysed.size() != limits.size()) {
        throw std::invalid_argument("undeterminedDirections: a square information matrix and one limit per unknown");
    }
    const Eigen::MatrixXd full = toEigen(information);
    std::vector<int> others;
    for (int c = 0; c < full.cols(); ++c) {
        if (std::find(analysed.begin(), analysed.end(), c) == analysed.end()) {
            others.push_back(c);
        }
    }
    const int n = static_cast<int>(analysed.size());
    const int m = static_cast<int>(others.size());
    Eigen::MatrixXd kept(n, n), cross(n, m), rest(m, m);
    for (int r = 0; r < n; ++r) {
        for (int c = 0; c < n; ++c) {
            kept(r, c) = full(analysed[r], analysed[c]);
        }
        for (int c = 0; c < m; ++c) {
            cross(r, c) = full(analysed[r], others[c]);
        }
    }
    for (int r = 0; r < m; ++r) {
        for (int c = 0; c < m; ++c) {
            rest(r, c) = full(others[r], others[c]);
        }
    }
    // Marginal information of the analysed unknowns, in units of their limits.
    const Eigen::MatrixXd marginal = kept - cross * pseudoInverse(rest) * cross.transpose();
    const Eigen::VectorXd scale = Eigen::Map<const Eigen::VectorXd>(limits.data(), n);
    const Eigen::MatrixXd scaled = scale.asDiagonal() * marginal * scale.asDiagonal();
    const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> eigen(0.5 * (scaled + scaled.transpose()));
    const double floor = std::max(eigen.eigenvalues().maxCoeff(), 0.0) * kRelativeZero;
    std::vector<UndeterminedDirection> directions;
    for (int k = 0; k < n; ++k) {  // eigenvalues ascending: the least determined first
        const double value = eigen.eigenvalues()(k);
        if (value >= 1.0) {
            break;
        }
        UndeterminedDirection direction;
        direction.sigma = value > floor ? 1.0 / std::sqrt(value) : std::numeric_limits<double>::infinity();
        const Eigen::VectorXd vector = eigen.eigenvectors().col(k);
        direction.direction.assign(vector.data(), vector.data() + n);
        directions.push_back(direction);
    }
    return directions;
}

}  // namespace velk::calibration
