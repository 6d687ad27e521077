#include "targets/charuco_target.hpp"

#include <vector>

#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect/aruco_detector.hpp>

#include "targets/annotation.hpp"
#include "targets/marker_detection_parameters.hpp"

namespace velk {

cv::aruco::CharucoBoard CharucoTarget::createBoard() const {
    return cv::aruco::CharucoBoard(cv::Size(squares_x, squares_y), static_cast<float>(square_length),
                                   static_cast<float>(marker_length),
                                   predefinedDictionary(aruco_dict_id, "CharucoTarget"));
}

cv::aruco::CharucoDetector CharucoTarget::createDetector() const {
    cv::aruco::CharucoParameters charucoParameters;
    charucoParameters.minMarkers = 2;
    charucoParameters.tryRefineMarkers = false;
    charucoParameters.checkMarkers = true;
    return cv::aruco::CharucoDetector(createBoard(), charucoParameters, cv::aruco::DetectorParameters(),
                                      markerRefineParameters());
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
