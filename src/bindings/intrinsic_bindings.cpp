#include <stdexcept>

#include <opencv2/calib3d.hpp>
#include <pybind11/functional.h>

#include "bindings/borrowed_images.hpp"
#include "bindings/registrars.hpp"
#include "bindings/type_casters.hpp"
#include "calibration/intrinsic/intrinsic_calibrator.hpp"
#include "core/camera_projection.hpp"
#include "quality/intrinsic_held_out.hpp"

namespace py = pybind11;
using velk::calibration::HeldOutViews;
using velk::calibration::IntrinsicCalibrator;
using velk::calibration::IntrinsicOptions;
using velk::calibration::IntrinsicResult;
using velk::calibration::TargetDetections;

namespace velk::bindings {
namespace {

void bindTermCriteriaConstants(py::module_& module) {
    module.attr("TERM_CRITERIA_COUNT") = static_cast<int>(cv::TermCriteria::COUNT);
    module.attr("TERM_CRITERIA_MAX_ITER") = static_cast<int>(cv::TermCriteria::MAX_ITER);
    module.attr("TERM_CRITERIA_EPS") = static_cast<int>(cv::TermCriteria::EPS);
}

void bindTermCriteria(py::module_& module) {
    py::classh<cv::TermCriteria>(module, "TermCriteria", "OpenCV solver termination criteria.")
        .def(py::init<int, int, double>(), py::arg("type"), py::arg("max_count"), py::arg("epsilon"),
             "type: TERM_CRITERIA_COUNT and/or TERM_CRITERIA_EPS; max_count: iterations; epsilon: parameter change"
             " at which the solver stops.")
        .def_readwrite("type", &cv::TermCriteria::type)
        .def_readwrite("max_count", &cv::TermCriteria::maxCount)
        .def_readwrite("epsilon", &cv::TermCriteria::epsilon);
}

void bindIntrinsicOptions(py::module_& module) {
    py::classh<IntrinsicOptions>(module, "IntrinsicOptions", "Tunables for intrinsic calibration.")
        .def(py::init<>(), "Default options: per_view_error_threshold in pixels, window sizes in pixels.")
        .def_readwrite("criteria", &IntrinsicOptions::criteria)
        .def_readwrite("chessboard_corner_detector", &IntrinsicOptions::chessboard_corner_detector)
        .def_readwrite("chessboard_flags", &IntrinsicOptions::chessboard_flags)
        .def_readwrite("fallback_searches", &IntrinsicOptions::fallback_searches,
                       "True (default): a picture in which the first search finds no target is searched "
                       "again. Chessboards (Default detector): with adaptive threshold and normalisation added "
                       "to chessboard_flags, then with the sector-based search, the corners ordered as the "
                       "first search's. ChArUco and ArUco boards: markers thresholded over a wider range of "
                       "window sizes, smaller markers accepted and (ChArUco) markers completed against the "
                       "board. A picture the first search finds keeps its corners; found_by says which "
                       "search found each picture. False: the first search only.")
        .def_readwrite("sub_pixel_detection_window_size", &IntrinsicOptions::sub_pixel_detection_window_size)
        .def_readwrite("sub_pixel_detection_zero_zone_size", &IntrinsicOptions::sub_pixel_detection_zero_zone_size)
        .def_readwrite("calibrate_camera_method", &IntrinsicOptions::calibrate_camera_method)
        .def_readwrite("calibrate_camera_flags", &IntrinsicOptions::calibrate_camera_flags)
        .def_readwrite("index_of_fixed_3d_point", &IntrinsicOptions::index_of_fixed_3d_point)
        .def_readwrite("intrinsic_matrix_guess", &IntrinsicOptions::intrinsic_matrix_guess)
        .def_readwrite("distortion_coefficients_guess", &IntrinsicOptions::distortion_coefficients_guess)
        .def_readwrite("per_view_error_threshold", &IntrinsicOptions::per_view_error_threshold)
        .def_readwrite("camera_model", &IntrinsicOptions::camera_model,
                       "'pinhole' (default: radial-tangential distortion) or 'fisheye' (the equidistant model; "
                       "the distortion is k1, k2, k3, k4). Calibrators taking these options pose and project "
                       "with it.")
        .def_readwrite("fisheye_flags", &IntrinsicOptions::fisheye_flags,
                       "cv2.fisheye.CALIB_* flags of a fisheye calibration (default CALIB_RECOMPUTE_EXTRINSIC | "
                       "CALIB_FIX_SKEW).")
        .def_readwrite("detection_max_side", &IntrinsicOptions::detection_max_side,
                       "Pixels (default 1600). A picture whose longer side exceeds it is searched on a copy "
                       "halved until its longer side is at most this long; the corners found there are refined "
                       "on the full-resolution picture, and a picture without the board is rejected at the "
                       "reduced scale (a chessboard is first looked for on a copy reduced twice as much). Pictures at "
                       "or below it are searched as they are; 0 searches every "
                       "picture at full resolution.")
        .def_readwrite("progress_callback", &IntrinsicOptions::progress_callback,
                       "None, or a callable f(done, total) called on the calling thread as images finish "
                       "detection.")
        .def_readwrite("image_names", &IntrinsicOptions::image_names,
                       "File names of the pictures a calibration is given, in the order given. When set, log "
                       "lines and reports name a picture by its capture number and file name "
                       "('8 (image_8.png)') instead of its position in the list. It never changes the results.");
}

void bindTargetDetections(py::module_& module) {
    py::classh<TargetDetections>(module, "TargetDetections", "Per-frame target detections for a batch of images.")
        .def_readonly("successful_indices", &TargetDetections::successful_indices)
        .def_readonly("image_points", &TargetDetections::image_points)
        .def_readonly("object_points", &TargetDetections::object_points)
        .def_readonly("point_ids", &TargetDetections::point_ids)
        .def_readonly("found_by", &TargetDetections::found_by,
                      "How the target was found in each successful image, for the target kinds that have "
                      "more than one way, empty for the others. Chessboards: the search, 'plain' "
                      "(chessboard_flags as given, or the Sector Based detector), 'adaptive' or 'sector'. "
                      "ChArUco and ArUco boards: 'plain' or 'wider' (see fallback_searches).")
        .def_readonly("annotated_images", &TargetDetections::annotated_images)
        .def_readonly("skipped_indices", &TargetDetections::skipped_indices,
                      "Positions in the input list of the images in which the target was not found, ascending.")
        .def_readonly("skipped_reasons", &TargetDetections::skipped_reasons,
                      "What was missing in each of them ('Chessboard not found', 'Not enough ChArUco corners', ...).");
}

void bindHeldOutViews(py::module_& module) {
    py::classh<HeldOutViews>(module, "HeldOutViews",
                             "Pictures predicted by a calibration solved without them (intrinsics: each view "
                             "left out; rig: each frame left out, one entry per non-reference camera). Errors in "
                             "pixels; NaN where no figure exists.")
        .def_readonly("validated", &HeldOutViews::validated)
        .def_readonly("reason", &HeldOutViews::reason)
        .def_readonly("frames", &HeldOutViews::frames)
        .def_readonly("cameras", &HeldOutViews::cameras)
        .def_readonly("held_out_rms_px", &HeldOutViews::held_out_rms_px)
        .def_readonly("fitted_rms_px", &HeldOutViews::fitted_rms_px)
        .def_readonly("skipped", &HeldOutViews::skipped)
        .def_readonly("median_px", &HeldOutViews::median_px)
        .def_readonly("p90_px", &HeldOutViews::p90_px)
        .def_readonly("worst_frames", &HeldOutViews::worst_frames)
        .def_readonly("camera_indices", &HeldOutViews::camera_indices)
        .def_readonly("camera_median_px", &HeldOutViews::camera_median_px)
        .def("sentence", &velk::calibration::heldOutViewsSentence,
             "The report's sentence: median and 90th percentile in pixels, per camera for a rig.");
}

void bindIntrinsicResult(py::module_& module) {
    py::classh<IntrinsicResult>(module, "IntrinsicResult", "Result of IntrinsicCalibrator.calibrate().")
        .def_readonly("ok", &IntrinsicResult::ok)
        .def_readonly("intrinsic_matrix", &IntrinsicResult::intrinsic_matrix)
        .def_readonly("distortion_coefficients", &IntrinsicResult::distortion_coefficients)
        .def_readonly("camera_model", &IntrinsicResult::camera_model, "'pinhole' or 'fisheye'.")
        .def_readonly("reprojection_error", &IntrinsicResult::reprojection_error)
        .def_readonly("successful_indices", &IntrinsicResult::successful_indices)
        .def_readonly("image_points", &IntrinsicResult::image_points)
        .def_readonly("low_view_error_indices", &IntrinsicResult::low_view_error_indices)
        .def_readonly("per_view_errors", &IntrinsicResult::per_view_errors)
        .def_readonly("std_deviations_intrinsics", &IntrinsicResult::std_deviations_intrinsics)
        .def_readonly("std_deviations_extrinsics", &IntrinsicResult::std_deviations_extrinsics)
        .def_readonly("undetermined_parameters", &IntrinsicResult::undetermined_parameters,
                      "Free parameters the pictures do not determine apart from the others, by name ('k4', "
                      "...): their 1-sigma in std_deviations_intrinsics reads inf, and the other parameters' "
                      "1-sigma is that with them held at their values. Empty when every free parameter is "
                      "determined.")
        .def_readonly("validation", &IntrinsicResult::validation,
                      "HeldOutViews when calibrate ran with validate, else None.");
}

TargetDetections findCornersFromPython(const IntrinsicCalibrator& self, const BorrowedImages& images, bool annotate) {
    return annotate ? self.findCorners(images.images)
                    : self.findCorners(images.images, velk::calibration::Annotation::Skip);
}

IntrinsicResult calibrateFromPython(IntrinsicCalibrator& self, const BorrowedImages& images, bool validate) {
    IntrinsicResult result = self.calibrate(images.images);
    if (validate && result.ok) {
        result.validation = velk::quality::validateIntrinsicsHeldOut(self, result, images.images.front().size(),
                                                                     static_cast<int>(images.images.size()));
    }
    return result;
}

void bindIntrinsicCalibrator(py::module_& module) {
    py::classh<IntrinsicCalibrator>(module, "IntrinsicCalibrator",
                                    "Intrinsic camera calibrator for chessboard, ChArUco and ArUco targets.")
        .def(py::init<TargetVariant, IntrinsicOptions>(), py::arg("target"), py::arg("options") = IntrinsicOptions(),
             "target: ChessboardTarget, CharucoTarget, ArucoTarget or CircleGridTarget (lengths in metres); options: "
             "IntrinsicOptions.")
        .def("find_corners", &findCornersFromPython, py::arg("images"), py::arg("annotate") = true,
             "Detect the target in 8-bit BGR images: image points in pixels, object points in the target frame "
             "(metres). annotate: draw the found corners on copies of the images (annotated_images); False "
             "leaves annotated_images empty and saves a full-size copy of every image in which the target is "
             "found.")
        .def("calibrate", &calibrateFromPython, py::arg("images"), py::arg("validate") = false,
             "Calibrate from 8-bit BGR images: camera matrix in pixels, distortion coefficients, RMS and per-view "
             "reprojection errors in pixels. validate: then predict each view from intrinsics solved without it "
             "(the result's validation).")
        .def("corner_images", &IntrinsicCalibrator::cornerImages,
             "Copies of the images of the last detection with the found corners drawn (8-bit BGR).")
        .def(
            "detections", [](const IntrinsicCalibrator& self) { return self.detections(); },
            "The detections of the last find_corners or calibrate (pixels; object points in metres, target frame).")
        .def(
            "target", [](const IntrinsicCalibrator& self) { return self.target(); },
            "A copy of the target (lengths in metres).")
        .def(
            "options", [](const IntrinsicCalibrator& self) { return self.options(); }, "A copy of the options.");
}

// Pixels (N x 2) of target points seen from a 4 x 4 camera_T_target through either lens model.
cv::Mat projectThroughPose(const cv::Mat& object_points, const cv::Mat& camera_T_target,
                           const cv::Mat& intrinsic_matrix, const cv::Mat& distortion_coefficients,
                           const std::string& camera_model) {
    if (camera_T_target.rows != 4 || camera_T_target.cols != 4 || camera_T_target.channels() != 1) {
        throw std::invalid_argument("project_points: camera_T_target must be a 4 x 4 transform");
    }
    const velk::CameraModel model = velk::cameraModelFromName(camera_model, "project_points");
    velk::checkDistortionForModel(model, distortion_coefficients, "project_points");
    cv::Mat pose;
    camera_T_target.convertTo(pose, CV_64F);
    cv::Mat rotationVector;
    cv::Rodrigues(pose(cv::Rect(0, 0, 3, 3)), rotationVector);
    const cv::Mat translation = pose(cv::Rect(3, 0, 1, 3)).clone();
    const cv::Mat pixels = velk::projectObjectPoints(model, object_points, rotationVector, translation,
                                                     intrinsic_matrix, distortion_coefficients);
    return pixels.reshape(1, pixels.rows).clone();
}

void bindProjectPoints(py::module_& module) {
    module.def("project_points", &projectThroughPose, py::arg("object_points"), py::arg("camera_T_target"),
               py::arg("intrinsic_matrix"), py::arg("distortion_coefficients"), py::arg("camera_model") = "pinhole",
               "Pixels (N x 2) of target points (N x 3, metres) seen from camera_T_target (4x4, metres) through the "
               "lens model ('pinhole' or 'fisheye', the distortion its own), as the library projects them.");
}

}  // namespace

void registerIntrinsicBindings(py::module_& module) {
    bindTermCriteriaConstants(module);
    bindTermCriteria(module);
    bindIntrinsicOptions(module);
    bindTargetDetections(module);
    bindHeldOutViews(module);
    bindIntrinsicResult(module);
    bindIntrinsicCalibrator(module);
    bindProjectPoints(module);
}

}  // namespace velk::bindings
