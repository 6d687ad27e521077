#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace velk::calibration {

// What a design is judged by: the weighted trace of the covariance of a block of the unknowns,
// sum_k weights[k] * covariance(first_column + k, first_column + k).
struct DesignCriterion {
    int first_column = 0;
    std::vector<double> weights;
};

// One pick of a greedy design: the candidate added, the covariance of the criterion's block
// after adding it (weights.size() square, CV_64F) and whether the information held by then
// determines every unknown (before that the covariance is that of a slightly regularised matrix).
struct DesignStep {
    int candidate = -1;
    cv::Mat covariance;
    bool determined = false;
};

// Picks count candidates one at a time from candidate information matrices (all n x n, CV_64F, like
// base, the information already held): while the sum does not yet determine every unknown, the one
// that most raises its determinant; after that, the one that leaves the smallest criterion. Each
// candidate is taken at most once; usable (empty: all) excludes some. Throws std::invalid_argument
// for matrices of different sizes or a criterion outside them.
std::vector<DesignStep> greedyDesign(const cv::Mat& base, const std::vector<cv::Mat>& candidates,
                                     const DesignCriterion& criterion, int count, const std::vector<bool>& usable = {});

// The covariance of the criterion's block with each candidate added alone to base (empty where the
// sum does not determine every unknown).
std::vector<cv::Mat> singleAdditionCovariances(const cv::Mat& base, const std::vector<cv::Mat>& candidates,
                                               const DesignCriterion& criterion);

}  // namespace velk::calibration
