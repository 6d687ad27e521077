#include "calibration/refinement/greedy_design.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>

#include <Eigen/Dense>

namespace velk::calibration {
namespace {

// The regularisation of a rank-deficient start, per unknown, as a share of its typical information.
constexpr double kRidgeShare = 1e-9;
// Pivots below this share of the largest one count as zero: the unknowns are not determined.
constexpr double kDeterminedPivot = 1e-12;

Eigen::MatrixXd toEigen(const cv::Mat& matrix) {
    cv::Mat m;
    matrix.convertTo(m, CV_64F);
    Eigen::MatrixXd out(m.rows, m.cols);
    for (int r = 0; r < m.rows; ++r) {
        for (int c = 0; c < m.cols; ++c) {
            out(r, c) = m.at<double>(r, c);
        }
    }
    return out;
}

cv::Mat toMat(const Eigen::MatrixXd& matrix) {
    cv::Mat out(static_cast<int>(matrix.rows()), static_cast<int>(matrix.cols()), CV_64F);
    for (int r = 0; r < out.rows; ++r) {
        for (int c = 0; c < out.cols; ++c) {
            out.at<double>(r, c) = matrix(r, c);
        }
    }
    return out;
}

void checkSizes(const cv::Mat& base, const std::vector<cv::Mat>& candidates, const DesignCriterion& criterion) {
    const int n = base.rows;
    if (base.cols != n) {
        throw std::invalid_argument("greedyDesign: the information matrices must be square");
    }
    for (const cv::Mat& candidate : candidates) {
        if (candidate.rows != n || candidate.cols != n) {
            throw std::invalid_argument("greedyDesign: every information matrix must have the size of the base");
        }
    }
    if (criterion.weights.empty() || criterion.first_column < 0 ||
        criterion.first_column + static_cast<int>(criterion.weights.size()) > n) {
        throw std::invalid_argument("greedyDesign: the criterion's block lies outside the unknowns");
    }
}

// Per unknown, a small share of its mean information over the candidates and the base.
Eigen::VectorXd ridgeOf(const Eigen::MatrixXd& base, const std::vector<Eigen::MatrixXd>& candidates) {
    Eigen::VectorXd diagonal = base.diagonal().cwiseAbs();
    for (const Eigen::MatrixXd& candidate : candidates) {
        diagonal += candidate.diagonal().cwiseAbs() / static_cast<double>(candidates.size());
    }
    for (int k = 0; k < diagonal.size(); ++k) {
        if (!(diagonal(k) > 0.0)) {
            diagonal(k) = 1.0;
        }
    }
    return kRidgeShare * diagonal;
}

bool determines(const Eigen::MatrixXd& information) {
    const Eigen::LDLT<Eigen::MatrixXd> factor(information);
    if (factor.info() != Eigen::Success) {
        return false;
    }
    const Eigen::VectorXd pivots = factor.vectorD();
    return pivots.minCoeff() > kDeterminedPivot * pivots.maxCoeff();
}

Eigen::MatrixXd blockCovariance(const Eigen::LLT<Eigen::MatrixXd>& factor, const DesignCriterion& criterion, int n) {
    const int size = static_cast<int>(criterion.weights.size());
    Eigen::MatrixXd unit = Eigen::MatrixXd::Zero(n, size);
    for (int k = 0; k < size; ++k) {
        unit(criterion.first_column + k, k) = 1.0;
    }
    return unit.transpose() * factor.solve(unit);
}

double weightedTrace(const Eigen::MatrixXd& covariance, const DesignCriterion& criterion) {
    double sum = 0.0;
    for (size_t k = 0; k < criterion.weights.size(); ++k) {
        sum += criterion.weights[k] * covariance(static_cast<int>(k), static_cast<int>(k));
    }
    return sum;
}

// Lower is better: minus the log-determinant while undetermined, the criterion after.
double score(const Eigen::MatrixXd& information, const DesignCriterion& criterion, bool determined) {
    const Eigen::LLT<Eigen::MatrixXd> factor(information);
    if (factor.info() != Eigen::Success) {
        return std::numeric_limits<double>::infinity();
    }
    if (!determined) {
        return -2.0 * factor.matrixLLT().diagonal().array().log().sum();
    }
    return weightedTrace(blockCovariance(factor, criterion, static_cast<int>(information.rows())), criterion);
}

}  // namespace

std::vector<DesignStep> greedyDesign(const cv::Mat& base, const std::vector<cv::Mat>& candidates,
                                     const DesignCriterion& criterion, int count, const std::vector<bool>& usable) {
    checkSizes(base, candidates, criterion);
    const int n = base.rows;
    std::vector<Eigen::MatrixXd> information;
    information.reserve(candidates.size());
    for (const cv::Mat& candidate : candidates) {
        information.push_back(toEigen(candidate));
    }
    Eigen::MatrixXd held = toEigen(base);
    const Eigen::MatrixXd ridge = ridgeOf(held, information).asDiagonal();
    std::vector<bool> taken(candidates.size(), false);
    for (size_t k = 0; k < usable.size() && k < taken.size(); ++k) {
        taken[k] = !usable[k];
    }
    std::vector<DesignStep> steps;
    for (int step = 0; step < count; ++step) {
        const bool determined = determines(held);
        int best = -1;
        double bestScore = std::numeric_limits<double>::infinity();
        for (size_t c = 0; c < information.size(); ++c) {
            if (taken[c]) {
                continue;
            }
            const double value = score(held + information[c] + ridge, criterion, determined);
            if (value < bestScore) {
                bestScore = value;
                best = static_cast<int>(c);
            }
        }
        if (best < 0) {
            break;
        }
        taken[best] = true;
        held += information[best];
        DesignStep chosen;
        chosen.candidate = best;
        chosen.determined = determines(held);
        const Eigen::LLT<Eigen::MatrixXd> factor(chosen.determined ? held : Eigen::MatrixXd(held + ridge));
        chosen.covariance = toMat(blockCovariance(factor, criterion, n));
        steps.push_back(chosen);
    }
    return steps;
}

std::vector<cv::Mat> singleAdditionCovariances(const cv::Mat& base, const std::vector<cv::Mat>& candidates,
                                               const DesignCriterion& criterion) {
    checkSizes(base, candidates, criterion);
    const Eigen::MatrixXd held = toEigen(base);
    std::vector<cv::Mat> covariances;
    for (const cv::Mat& candidate : candidates) {
        const Eigen::MatrixXd sum = held + toEigen(candidate);
        if (!determines(sum)) {
            covariances.emplace_back();
            continue;
        }
        covariances.push_back(toMat(blockCovariance(Eigen::LLT<Eigen::MatrixXd>(sum), criterion, base.rows)));
    }
    return covariances;
}

}  // namespace velk::calibration
