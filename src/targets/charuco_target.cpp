#include "targets/charuco_target.hpp"

#include <vector>

#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect/aruco_detector.hpp>

#include "targets/annotation.hpp"
#include "targets/marker_detection_parameters.hpp"
#include "targets/target_checks.hpp"

namespace velk {
namespace {

const char* const kOwner = "CharucoTarget";
// A ChArUco board needs at least one inner corner.
constexpr int kMinimumSquares = 2;

void requireSquareCount(const std::string& field, int count) {
    if (count < kMinimumSquares) {
        throw std::invalid_argument(std::string(kOwner) + ": " + field + " must be at least " +
                                    std::to_string(kMinimumSquares) + ", got " + std::to_string(count));
    }
}

}  // namespace

void CharucoTarget::validate() const {
    requireSquareCount("squares_x", squares_x);
    requireSquareCount("squares_y", squares_y);
    requireBoardLength(kOwner, "square_length", square_length);
    requireBoardLength(kOwner, "marker_length", marker_length);
    // The board compares the lengths after narrowing them to float.
    if (!(static_cast<float>(marker_length) < static_cast<float>(square_length))) {
        throw std::invalid_argument(std::string(kOwner) + ": marker_length must be smaller than square_length, got " +
                                    lengthText(marker_length) + " and " + lengthText(square_length));
    }
    // One marker in every other square, as the board places them.
    const long long markers = static_cast<long long>(squares_x) * squares_y / 2;
    requireMarkersInDictionary(
        kOwner, "squares_x x squares_y = " + std::to_string(squares_x) + " x " + std::to_string(squares_y), markers,
        aruco_dict_id);
}

cv::aruco::CharucoBoard CharucoTarget::createBoard() const {
    validate();
    return cv::aruco::CharucoBoard(cv::Size(squares_x, squares_y), static_cast<float>(square_length),
                                   static_cast<float>(marker_length), predefinedDictionary(aruco_dict_id, kOwner));
}

namespace {

cv::aruco::CharucoDetector charucoDetector(const cv::aruco::CharucoBoard& board,
                                           const cv::aruco::DetectorParameters& markerParameters, bool refineMarkers) {
    cv::aruco::CharucoParameters charucoParameters;
    charucoParameters.minMarkers = 2;
    charucoParameters.tryRefineMarkers = refineMarkers;
    charucoParameters.checkMarkers = true;
    return cv::aruco::CharucoDetector(board, charucoParameters, markerParameters, markerRefineParameters());
}

}  // namespace

cv::aruco::CharucoDetector CharucoTarget::createDetector() const {
    return charucoDetector(createBoard(), cv::aruco::DetectorParameters(), false);
}

cv::aruco::CharucoDetector CharucoTarget::createWiderDetector() const {
    return charucoDetector(createBoard(), widerMarkerSearchParameters(), true);
}

std::pair<cv::Mat, int> CharucoTarget::detectAndAnnotate(const cv::Mat& image) const {
    const cv::aruco::CharucoDetector detector = createDetector();
    cv::Mat grey;
    cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);

    std::vector<cv::Point2f> charucoCorners;
    std::vector<int> charucoIds;
    std::vector<std::vector<cv::Point2f>> markerCorners;
    std::vector<int> markerIds;
    detector.detectBoard(grey, charucoCorners, charucoIds, markerCorners, markerIds);

    const cv::Mat annotated = annotatedCopy(image, [&](cv::Mat& canvas) {
        if (!markerCorners.empty()) {
            cv::aruco::drawDetectedMarkers(canvas, markerCorners, markerIds, kMarkerColour);
        }
        if (!charucoCorners.empty()) {
            cv::aruco::drawDetectedCornersCharuco(canvas, charucoCorners, charucoIds, kCharucoCornerColour);
        }
    });
    return {annotated, static_cast<int>(charucoCorners.size())};
}

}  // namespace velk
