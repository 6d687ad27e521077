#include "calibration/intrinsic/calibration_deviations.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include <opencv2/calib3d.hpp>

#include "calibration/intrinsic/determined_parameters.hpp"

namespace velk::calibration {
namespace {

// A view's board points (N x 1 CV_64FC3) and detected corners (N x 1 CV_64FC2), whatever their layout.
void viewPoints(const cv::Mat& objectPoints, const cv::Mat& imagePoints, cv::Mat& objects, cv::Mat& observed) {
    objectPoints.reshape(3, static_cast<int>(objectPoints.total() * objectPoints.channels() / 3))
        .convertTo(objects, CV_64FC3);
    imagePoints.reshape(2, static_cast<int>(imagePoints.total() * imagePoints.channels() / 2))
        .convertTo(observed, CV_64FC2);
}

constexpr int kIntrinsicCount = 18;  // fx, fy, cx, cy and 14 distortion coefficients
constexpr int kDistortionCount = 14;
constexpr int kPoseCount = 6;

// Which of the 18 intrinsic parameters calibrateCamera adjusts under these flags.
std::vector<int> freeIntrinsics(int flags) {
    if (!(flags & cv::CALIB_RATIONAL_MODEL)) {
        flags |= cv::CALIB_FIX_K4 | cv::CALIB_FIX_K5 | cv::CALIB_FIX_K6;
    }
    if (!(flags & cv::CALIB_THIN_PRISM_MODEL)) {
        flags |= cv::CALIB_FIX_S1_S2_S3_S4;
    }
    if (!(flags & cv::CALIB_TILTED_MODEL)) {
        flags |= cv::CALIB_FIX_TAUX_TAUY;
    }
    bool free[kIntrinsicCount];
    std::fill(free, free + kIntrinsicCount, true);
    if (flags & cv::CALIB_FIX_ASPECT_RATIO)
        free[0] = false;
    if (flags & cv::CALIB_FIX_FOCAL_LENGTH)
        free[0] = free[1] = false;
    if (flags & cv::CALIB_FIX_PRINCIPAL_POINT)
        free[2] = free[3] = false;
    if (flags & (cv::CALIB_ZERO_TANGENT_DIST | cv::CALIB_FIX_TANGENT_DIST))
        free[6] = free[7] = false;
    const int radial[] = {cv::CALIB_FIX_K1, cv::CALIB_FIX_K2, 0, 0, cv::CALIB_FIX_K3, cv::CALIB_FIX_K4,
                          cv::CALIB_FIX_K5, cv::CALIB_FIX_K6};
    for (int k = 0; k < 8; ++k) {
        if (radial[k] != 0 && (flags & radial[k]))
            free[4 + k] = false;
    }
    if (flags & cv::CALIB_FIX_S1_S2_S3_S4)
        free[12] = free[13] = free[14] = free[15] = false;
    if (flags & cv::CALIB_FIX_TAUX_TAUY)
        free[16] = free[17] = false;

    std::vector<int> indices;
    for (int k = 0; k < kIntrinsicCount; ++k) {
        if (free[k])
            indices.push_back(k);
    }
    return indices;
}

// The normal-equation blocks of one view: pose x pose and free intrinsics x pose.
struct ViewBlocks {
    cv::Mat pose;      // 6 x 6
    cv::Mat coupling;  // free x 6
};

struct NormalBlocks {
    cv::Mat intrinsics;  // free x free
    std::vector<ViewBlocks> views;
    double squared_residuals = 0.0;
    int residual_count = 0;
};

NormalBlocks normalBlocks(const std::vector<cv::Mat>& objectPoints, const std::vector<cv::Mat>& imagePoints,
                          const cv::Mat& cameraMatrix, const cv::Mat& distortion,
                          const std::vector<cv::Mat>& rotationVectors, const std::vector<cv::Mat>& translationVectors,
                          int flags, const std::vector<int>& freeIndices) {
    cv::Mat intrinsics;
    cameraMatrix.convertTo(intrinsics, CV_64F);
    cv::Mat coefficients = cv::Mat::zeros(kDistortionCount, 1, CV_64F);
    cv::Mat given;
    distortion.reshape(1, static_cast<int>(distortion.total())).convertTo(given, CV_64F);
    given.copyTo(coefficients.rowRange(0, given.rows));
    const double aspectRatio =
        (flags & cv::CALIB_FIX_ASPECT_RATIO) ? intrinsics.at<double>(0, 0) / intrinsics.at<double>(1, 1) : 0.0;

    const int freeCount = static_cast<int>(freeIndices.size());
    NormalBlocks blocks;
    blocks.intrinsics = cv::Mat::zeros(freeCount, freeCount, CV_64F);
    for (size_t v = 0; v < objectPoints.size(); ++v) {
        cv::Mat objects, observed, projected, jacobian;
        viewPoints(objectPoints[v], imagePoints[v], objects, observed);
        cv::projectPoints(objects, rotationVectors[v], translationVectors[v], intrinsics, coefficients, projected,
                          jacobian, aspectRatio);
        blocks.squared_residuals += cv::norm(projected.reshape(2, observed.rows), observed, cv::NORM_L2SQR);
        blocks.residual_count += 2 * observed.rows;

        // Columns: rotation (3), translation (3), fx fy, cx cy, 14 distortion coefficients.
        const cv::Mat pose = jacobian.colRange(0, kPoseCount);
        cv::Mat free(jacobian.rows, freeCount, CV_64F);
        for (int k = 0; k < freeCount; ++k) {
            jacobian.col(kPoseCount + freeIndices[static_cast<size_t>(k)]).copyTo(free.col(k));
        }
        blocks.views.push_back({pose.t() * pose, free.t() * pose});
        blocks.intrinsics += free.t() * free;
    }
    return blocks;
}

// The whole normal matrix, pseudo-inverted by SVD: the way through singular blocks.
cv::Mat fullInverseDiagonal(const NormalBlocks& blocks) {
    const int freeCount = blocks.intrinsics.rows;
    const int size = freeCount + kPoseCount * static_cast<int>(blocks.views.size());
    cv::Mat normal = cv::Mat::zeros(size, size, CV_64F);
    blocks.intrinsics.copyTo(normal(cv::Rect(0, 0, freeCount, freeCount)));
    for (size_t v = 0; v < blocks.views.size(); ++v) {
        const int at = freeCount + kPoseCount * static_cast<int>(v);
        blocks.views[v].pose.copyTo(normal(cv::Rect(at, at, kPoseCount, kPoseCount)));
        blocks.views[v].coupling.copyTo(normal(cv::Rect(at, 0, kPoseCount, freeCount)));
        cv::Mat(blocks.views[v].coupling.t()).copyTo(normal(cv::Rect(0, at, freeCount, kPoseCount)));
    }
    cv::Mat inverse;
    cv::invert(normal, inverse, cv::DECOMP_SVD);
    return inverse.diag().clone();
}

// The inverse of a symmetric positive definite matrix through its unit-diagonal scaling, so that
// Cholesky's test of its pivots is made on the shares of information, not on their units; an empty
// matrix when a pivot is not positive.
cv::Mat scaledInverse(const cv::Mat& information) {
    cv::Mat scale(information.rows, 1, CV_64F);
    for (int k = 0; k < information.rows; ++k) {
        scale.at<double>(k) = 1.0 / std::sqrt(information.at<double>(k, k));
    }
    const cv::Mat scaling = scale * scale.t();
    cv::Mat inverse;
    if (cv::invert(information.mul(scaling), inverse, cv::DECOMP_CHOLESKY) == 0.0) {
        return cv::Mat();
    }
    return inverse.mul(scaling);
}

// The rows (and columns) of a matrix at the given positions.
cv::Mat keptRows(const cv::Mat& matrix, const std::vector<int>& kept) {
    cv::Mat rows(static_cast<int>(kept.size()), matrix.cols, CV_64F);
    for (size_t k = 0; k < kept.size(); ++k) {
        matrix.row(kept[k]).copyTo(rows.row(static_cast<int>(k)));
    }
    return rows;
}

cv::Mat keptBlock(const cv::Mat& matrix, const std::vector<int>& kept) {
    return cv::Mat(keptRows(cv::Mat(keptRows(matrix, kept).t()), kept).t());
}

// The diagonal of the inverse through the Schur complement of the pose blocks, or an empty
// matrix when a pose block is not positive definite. Intrinsic parameters the complement does not
// determine (determinedInOrder) read +inf, and the others' entries are those of the parameters
// determined with them held at their values.
cv::Mat blockInverseDiagonal(const NormalBlocks& blocks, std::vector<int>& undetermined) {
    const int freeCount = blocks.intrinsics.rows;
    std::vector<cv::Mat> poseInverses(blocks.views.size());
    cv::Mat schur = blocks.intrinsics.clone();
    for (size_t v = 0; v < blocks.views.size(); ++v) {
        if (cv::invert(blocks.views[v].pose, poseInverses[v], cv::DECOMP_CHOLESKY) == 0.0) {
            return cv::Mat();
        }
        schur -= blocks.views[v].coupling * poseInverses[v] * blocks.views[v].coupling.t();
    }
    const std::vector<bool> determined = determinedInOrder(schur);
    std::vector<int> kept;
    for (int k = 0; k < freeCount; ++k) {
        (determined[static_cast<size_t>(k)] ? kept : undetermined).push_back(k);
    }
    cv::Mat intrinsicCovariance;
    if (!kept.empty()) {
        intrinsicCovariance = scaledInverse(keptBlock(schur, kept));
        if (intrinsicCovariance.empty()) {
            return cv::Mat();
        }
    }

    cv::Mat diagonal(freeCount + kPoseCount * static_cast<int>(blocks.views.size()), 1, CV_64F);
    for (int k : undetermined) {
        diagonal.at<double>(k) = std::numeric_limits<double>::infinity();
    }
    for (size_t k = 0; k < kept.size(); ++k) {
        diagonal.at<double>(kept[k]) = intrinsicCovariance.at<double>(static_cast<int>(k), static_cast<int>(k));
    }
    for (size_t v = 0; v < blocks.views.size(); ++v) {
        cv::Mat poseCovariance = poseInverses[v].clone();
        if (!kept.empty()) {
            const cv::Mat spread = keptRows(blocks.views[v].coupling, kept) * poseInverses[v];  // kept x 6
            poseCovariance += spread.t() * intrinsicCovariance * spread;
        }
        const int at = freeCount + kPoseCount * static_cast<int>(v);
        poseCovariance.diag().copyTo(diagonal.rowRange(at, at + kPoseCount));
    }
    return diagonal;
}

// The fisheye model's intrinsics as cv::fisheye lays them out: fx, fy, cx, cy, k1..k4, skew.
constexpr int kFisheyeIntrinsicCount = 9;
constexpr int kFisheyeReportedCount = 8;  // the skew's deviation is not reported

std::vector<int> freeFisheyeIntrinsics(int flags) {
    bool free[kFisheyeIntrinsicCount];
    std::fill(free, free + kFisheyeIntrinsicCount, true);
    if (flags & cv::fisheye::CALIB_FIX_FOCAL_LENGTH)
        free[0] = free[1] = false;
    if (flags & cv::fisheye::CALIB_FIX_PRINCIPAL_POINT)
        free[2] = free[3] = false;
    const int radial[] = {cv::fisheye::CALIB_FIX_K1, cv::fisheye::CALIB_FIX_K2, cv::fisheye::CALIB_FIX_K3,
                          cv::fisheye::CALIB_FIX_K4};
    for (int k = 0; k < 4; ++k) {
        if (flags & radial[k])
            free[4 + k] = false;
    }
    if (flags & cv::fisheye::CALIB_FIX_SKEW)
        free[8] = false;
    if (flags & cv::fisheye::CALIB_FIX_INTRINSIC)
        std::fill(free, free + kFisheyeIntrinsicCount, false);
    std::vector<int> indices;
    for (int k = 0; k < kFisheyeIntrinsicCount; ++k) {
        if (free[k])
            indices.push_back(k);
    }
    return indices;
}

// cv::fisheye::projectPoints' jacobian columns: focal (2), centre (2), k (4), rotation (3),
// translation (3), skew (1).
constexpr int kFisheyePoseColumn = 8;
constexpr int kFisheyeSkewColumn = 14;

int fisheyeIntrinsicColumn(int index) {
    return index < 8 ? index : kFisheyeSkewColumn;
}

NormalBlocks fisheyeNormalBlocks(const std::vector<cv::Mat>& objectPoints, const std::vector<cv::Mat>& imagePoints,
                                 const cv::Mat& cameraMatrix, const cv::Mat& distortion,
                                 const std::vector<cv::Mat>& rotationVectors,
                                 const std::vector<cv::Mat>& translationVectors, const std::vector<int>& freeIndices) {
    cv::Mat intrinsics, coefficients;
    cameraMatrix.convertTo(intrinsics, CV_64F);
    distortion.reshape(1, 1).convertTo(coefficients, CV_64F);
    const double skew = intrinsics.at<double>(0, 1) / intrinsics.at<double>(0, 0);
    const int freeCount = static_cast<int>(freeIndices.size());
    NormalBlocks blocks;
    blocks.intrinsics = cv::Mat::zeros(freeCount, freeCount, CV_64F);
    for (size_t v = 0; v < objectPoints.size(); ++v) {
        cv::Mat objects, observed, projected, jacobian, rotation, translation;
        viewPoints(objectPoints[v], imagePoints[v], objects, observed);
        rotationVectors[v].convertTo(rotation, CV_64F);
        translationVectors[v].convertTo(translation, CV_64F);
        cv::fisheye::projectPoints(objects, projected, rotation.reshape(1, 3), translation.reshape(1, 3), intrinsics,
                                   coefficients, skew, jacobian);
        blocks.squared_residuals += cv::norm(projected.reshape(2, observed.rows), observed, cv::NORM_L2SQR);
        blocks.residual_count += 2 * observed.rows;

        const cv::Mat pose = jacobian.colRange(kFisheyePoseColumn, kFisheyePoseColumn + kPoseCount);
        cv::Mat free(jacobian.rows, freeCount, CV_64F);
        for (int k = 0; k < freeCount; ++k) {
            jacobian.col(fisheyeIntrinsicColumn(freeIndices[static_cast<size_t>(k)])).copyTo(free.col(k));
        }
        blocks.views.push_back({pose.t() * pose, free.t() * pose});
        blocks.intrinsics += free.t() * free;
    }
    return blocks;
}

// One-sigma deviations from the normal blocks, scaled by the residual variance; intrinsic
// entries outside `reported` are dropped.
CalibrationDeviations deviationsFromBlocks(const NormalBlocks& blocks, const std::vector<int>& freeIndices,
                                           int reported) {
    std::vector<int> undetermined;
    cv::Mat diagonal = blockInverseDiagonal(blocks, undetermined);
    if (diagonal.empty()) {
        undetermined.clear();
        diagonal = fullInverseDiagonal(blocks);
    }
    const int freeCount = static_cast<int>(freeIndices.size());
    const int views = static_cast<int>(blocks.views.size());
    const int degreesOfFreedom = blocks.residual_count - freeCount - kPoseCount * views;
    const double variance = degreesOfFreedom > 0 ? blocks.squared_residuals / degreesOfFreedom : 0.0;

    CalibrationDeviations deviations{cv::Mat::zeros(reported, 1, CV_64F),
                                     cv::Mat::zeros(kPoseCount * views, 1, CV_64F)};
    for (int k = 0; k < freeCount; ++k) {
        const int index = freeIndices[static_cast<size_t>(k)];
        if (index < reported) {
            deviations.intrinsics.at<double>(index) = std::sqrt(diagonal.at<double>(k) * variance);
        }
    }
    for (int k : undetermined) {
        const int index = freeIndices[static_cast<size_t>(k)];
        deviations.undetermined.push_back(index);
        if (index < reported) {
            deviations.intrinsics.at<double>(index) = std::numeric_limits<double>::infinity();
        }
    }
    for (int j = 0; j < kPoseCount * views; ++j) {
        deviations.extrinsics.at<double>(j) = std::sqrt(diagonal.at<double>(freeCount + j) * variance);
    }
    return deviations;
}

}  // namespace

CalibrationDeviations calibrationDeviations(const std::vector<cv::Mat>& objectPoints,
                                            const std::vector<cv::Mat>& imagePoints, const cv::Mat& cameraMatrix,
                                            const cv::Mat& distortion, const std::vector<cv::Mat>& rotationVectors,
                                            const std::vector<cv::Mat>& translationVectors, int flags) {
    const std::vector<int> freeIndices = freeIntrinsics(flags);
    const NormalBlocks blocks = normalBlocks(objectPoints, imagePoints, cameraMatrix, distortion, rotationVectors,
                                             translationVectors, flags, freeIndices);
    return deviationsFromBlocks(blocks, freeIndices, kIntrinsicCount);
}

CalibrationDeviations fisheyeCalibrationDeviations(const std::vector<cv::Mat>& objectPoints,
                                                   const std::vector<cv::Mat>& imagePoints, const cv::Mat& cameraMatrix,
                                                   const cv::Mat& distortion,
                                                   const std::vector<cv::Mat>& rotationVectors,
                                                   const std::vector<cv::Mat>& translationVectors, int fisheyeFlags) {
    const std::vector<int> freeIndices = freeFisheyeIntrinsics(fisheyeFlags);
    const NormalBlocks blocks = fisheyeNormalBlocks(objectPoints, imagePoints, cameraMatrix, distortion,
                                                    rotationVectors, translationVectors, freeIndices);
    return deviationsFromBlocks(blocks, freeIndices, kFisheyeReportedCount);
}

}  // namespace velk::calibration
