#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace velk::calibration {

// A large picture is searched on a copy halved (area average) until its longer side is at most
// maxSide; what is found there is mapped up and refined on the full-resolution picture.
struct ReducedPicture {
    cv::Mat grey;    // the halved copy
    int factor = 1;  // full-resolution pixels per reduced pixel, a power of two
};

// Whether a picture of this size is searched at a reduced scale: maxSide > 0 and the longer
// side exceeds it.
bool searchesReduced(cv::Size size, int maxSide);

// Full-resolution pixels per reduced pixel: how often a picture of this size is halved (each
// time dropping an odd last row or column) until its longer side is at most maxSide; 1 when it
// already is or maxSide is 0.
int reductionFactor(cv::Size size, int maxSide);

// The grey picture halved until its longer side is at most maxSide (factor 1 when it already is).
ReducedPicture reducePicture(const cv::Mat& grey, int maxSide);

// The caller's BGR (or BGRA) picture reduced as reducePicture reduces it and converted to grey,
// without ever making a full-size grey picture. A reduction by 2 averages every pixel: it is
// done band of rows by band of rows, in colour, and the grey conversion is made on the halved
// band; its pixels are those of reducePicture(toGrey(image), maxSide) to within one grey level
// (the colour averages are rounded before the conversion). A reduction by 4 or more samples the
// picture instead of reading all of it: the quarter picture averages the middle 2 x 2 pixels of
// each 4 x 4 block (so its pixel centres are those of reducePicture's), and is then converted to
// grey and halved by area averaging. Buffers are kept per thread.
ReducedPicture reduceToGrey(const cv::Mat& image, int maxSide);

// A glance at the caller's BGR (or BGRA) picture: reduced by factor (a power of two) to grey by
// sampling each factor x factor block at its centre, as the mean of its middle 2 x 2 pixels, so
// that only 2 rows in factor are read. Its pixel centres are those of a reduction by the same
// factor (mapToFullResolution applies). Much noisier than an area average at large factors:
// meant for a quick look before a reduced copy is made.
ReducedPicture glanceAtGrey(const cv::Mat& image, int factor);

// Reduced-picture positions in full-resolution pixels (pixel centres at integer positions).
std::vector<cv::Point2f> mapToFullResolution(const std::vector<cv::Point2f>& points, int factor);

// Distance from each point to the nearest other point of the set (infinity for a lone point).
std::vector<double> nearestDistances(const std::vector<cv::Point2f>& points);

// Distance from each point to the nearest point of others.
std::vector<double> nearestDistances(const std::vector<cv::Point2f>& points, const std::vector<cv::Point2f>& others);

// Half side of a full-resolution cornerSubPix window: the reduced-scale half window scaled up by
// the reduction factor (at most doubled), held below fraction times the smallest distance in room so that the window
// stays on the corner's own pattern, and never below 2 px.
int fullResolutionHalfWindow(int reducedHalfWindow, int factor, const std::vector<double>& room, double fraction);

// cornerSubPix at full resolution with a square window of the given half side; zeroZone < 0: none.
void refineCorners(const cv::Mat& grey, std::vector<cv::Point2f>& corners, int halfWindow, int zeroZone,
                   const cv::TermCriteria& criteria);

}  // namespace velk::calibration
