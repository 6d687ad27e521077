#pragma once

// Pictures of a printed chessboard turned in the picture, and the grid orders of its corners, for
// the tests of the chessboard searches.

#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

namespace velk::test {

constexpr unsigned char kDark = 30;
constexpr unsigned char kLight = 220;

// A printed board of `size` inner corners with squares of squarePx, the outer square at its first
// corner dark, on a light sheet, turned by `degrees` about the centre of a square picture of
// sidePx and slightly blurred.
inline cv::Mat turnedBoard(cv::Size size, double degrees, int squarePx = 32, int sidePx = 640) {
    const cv::Size picture(sidePx, sidePx);
    cv::Mat sheet(picture, CV_8U, cv::Scalar(kLight));
    const cv::Point origin((picture.width - (size.width + 1) * squarePx) / 2,
                           (picture.height - (size.height + 1) * squarePx) / 2);
    for (int row = 0; row <= size.height; ++row) {
        for (int column = 0; column <= size.width; ++column) {
            if ((row + column) % 2 == 0) {
                sheet(cv::Rect(origin.x + column * squarePx, origin.y + row * squarePx, squarePx, squarePx))
                    .setTo(kDark);
            }
        }
    }
    const cv::Point2f centre(0.5f * static_cast<float>(sidePx), 0.5f * static_cast<float>(sidePx));
    const cv::Mat turn = cv::getRotationMatrix2D(centre, degrees, 1.0);
    cv::Mat turned;
    cv::warpAffine(sheet, turned, turn, picture, cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar(kLight));
    cv::GaussianBlur(turned, turned, cv::Size(0, 0), 0.8);
    return turned;
}

// The grid read with its rows, or the corners within each row, in reverse.
inline std::vector<cv::Point2f> reversed(const std::vector<cv::Point2f>& corners, cv::Size size, bool rows,
                                         bool columns) {
    std::vector<cv::Point2f> out(corners.size());
    for (int r = 0; r < size.height; ++r) {
        for (int c = 0; c < size.width; ++c) {
            const int from = (rows ? size.height - 1 - r : r) * size.width + (columns ? size.width - 1 - c : c);
            out[static_cast<size_t>(r * size.width + c)] = corners[static_cast<size_t>(from)];
        }
    }
    return out;
}

}  // namespace velk::test
