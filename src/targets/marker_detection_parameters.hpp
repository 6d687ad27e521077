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

// Marker detection for a picture in which the default parameters found too little: the adaptive
// threshold tried over windows from 3 to 73 px (large markers close to the camera, uneven light
// across a marker), markers down to 1 % of the picture's longer side around (a small board far
// away), and outlines a little less straight (blur).
inline cv::aruco::DetectorParameters widerMarkerSearchParameters() {
    cv::aruco::DetectorParameters parameters;
    parameters.adaptiveThreshWinSizeMin = 3;
    parameters.adaptiveThreshWinSizeMax = 73;
    parameters.adaptiveThreshWinSizeStep = 10;
    parameters.minMarkerPerimeterRate = 0.01;
    parameters.polygonalApproxAccuracyRate = 0.05;
    return parameters;
}

}  // namespace velk
