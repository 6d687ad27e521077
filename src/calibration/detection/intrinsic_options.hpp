#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

namespace velk::calibration {

// Longer picture side (pixels) above which detection searches a reduced copy first.
constexpr int kDefaultDetectionMaxSide = 1600;

// Tunables of intrinsic calibration. The text fields are checked where they are used.
struct IntrinsicOptions {
    cv::TermCriteria criteria{cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 30, 0.001};
    std::string chessboard_corner_detector = "Default";  // "Default" or "Sector Based"
    int chessboard_flags = 0;
    // When the first search finds no target, the picture is searched again. Chessboards (the Default
    // detector): with adaptive threshold and normalisation added to chessboard_flags, then with the
    // sector-based search; the corners come ordered as the first search's. ChArUco and ArUco boards:
    // markers thresholded over a wider range of window sizes, smaller markers accepted, and (ChArUco)
    // markers completed against the board. A picture the first search finds keeps its corners.
    // false: the first search only.
    bool fallback_searches = true;
    int sub_pixel_detection_window_size = 11;         // half side of the cornerSubPix window
    int sub_pixel_detection_zero_zone_size = -1;      // -1: no zero zone
    std::string calibrate_camera_method = "Default";  // "Default" or "Release Object"
    int calibrate_camera_flags = 0;
    int index_of_fixed_3d_point = 0;
    std::optional<cv::Mat> intrinsic_matrix_guess;
    std::optional<cv::Mat> distortion_coefficients_guess;
    // "pinhole" (calibrateCamera's model) or "fisheye" (the equidistant model of cv::fisheye,
    // whose distortion is k1..k4); the calibrators that take these options pose and project with it.
    std::string camera_model = "pinhole";
    // cv::fisheye::CALIB_* flags of a fisheye calibration.
    int fisheye_flags = cv::fisheye::CALIB_RECOMPUTE_EXTRINSIC | cv::fisheye::CALIB_FIX_SKEW;
    double per_view_error_threshold = 1.0;  // pixels; views at or below it are low-error views
    // Pictures whose longer side exceeds this many pixels are searched on a copy halved until its
    // longer side is at most this long, and the corners found there are refined on the
    // full-resolution picture; a picture without the board is rejected at the reduced scale.
    // Pictures at or below it are searched as they are. 0: every picture at full resolution.
    int detection_max_side = kDefaultDetectionMaxSide;
    // Told (done, total) on the calling thread as images finish detection; empty: nobody listens.
    // It never changes the results.
    std::function<void(int done, int total)> progress_callback;
    // File names of the pictures a calibration is given, in the order given. When set, the log lines and
    // reports name a picture by its capture number and file name ("8 (image_8.png)") instead of its
    // position in the list ("3"). It never changes the results.
    std::vector<std::string> image_names;
};

}  // namespace velk::calibration
