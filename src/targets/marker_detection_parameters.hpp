#pragma once

#include <opencv2/core.hpp>
#include <opencv2/objdetect/aruco_detector.hpp>

namespace velk {

// Colours (BGR) of detected markers and of ChArUco corners in annotated images.
const cv::Scalar kMarkerColour(0, 255, 0);
const cv::Scalar kCharucoCornerColour(255, 0, 0);

// Marker refinement shared by every marker detector of the library.
inline cv::aruco::RefineParameters markerRefineParameters() {
    return cv::aruco::RefineParameters(10.0f, 3.0f, true);
}

}  // namespace velk
