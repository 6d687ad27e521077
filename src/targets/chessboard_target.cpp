#include "targets/chessboard_target.hpp"

namespace velk {

cv::Mat ChessboardTarget::objectPoints() const {
    const int cols = size.width;
    const int rows = size.height;
    if (rows <= 0 || cols <= 0) {
        return cv::Mat();
    }
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
