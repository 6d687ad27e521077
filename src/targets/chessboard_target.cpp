#include "targets/chessboard_target.hpp"

#include <stdexcept>

#include "targets/target_checks.hpp"

namespace velk {
namespace {

const char* const kOwner = "ChessboardTarget";

void requireSizeWithinLimit(const cv::Size& size) {
    if (size.width > kMaxChessboardCornersPerSide || size.height > kMaxChessboardCornersPerSide) {
        throw std::invalid_argument(std::string(kOwner) + ": size must count at most " +
                                    std::to_string(kMaxChessboardCornersPerSide) + " inner corners per side, got " +
                                    gridText(size));
    }
}

}  // namespace

void ChessboardTarget::validate() const {
    requirePositiveGrid(kOwner, "size", size, "inner corner");
    requireSizeWithinLimit(size);
    requireBoardLength(kOwner, "square_size", square_size);
}

cv::Mat ChessboardTarget::objectPoints() const {
    const int cols = size.width;
    const int rows = size.height;
    if (rows <= 0 || cols <= 0) {
        return cv::Mat();
    }
    requireSizeWithinLimit(size);
    cv::Mat points = cv::Mat::zeros(rows * cols, 3, CV_32F);
    for (int i = 0; i < rows; ++i) {
        for (int j = 0; j < cols; ++j) {
            auto* point = points.ptr<float>(i * cols + j);
            point[0] = static_cast<float>(j * square_size);
            point[1] = static_cast<float>(i * square_size);
        }
    }
    return points;
}

}  // namespace velk
