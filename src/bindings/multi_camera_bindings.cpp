#include <optional>

#include "bindings/borrowed_images.hpp"
#include "bindings/registrars.hpp"
#include "bindings/type_casters.hpp"
#include "calibration/rig/multi_camera_calibrator.hpp"

namespace py = pybind11;
using velk::calibration::IntrinsicOptions;
using velk::calibration::MultiCameraCalibrator;
using velk::calibration::MultiCameraResult;
using velk::calibration::RefinementOptions;
using velk::calibration::SubsetResult;
using velk::calibration::TriangulationReport;

namespace velk::bindings {
namespace {

using ImageLists = std::vector<std::vector<cv::Mat>>;

void bindStereoFlags(py::module_& module) {
    module.attr("CALIB_FIX_INTRINSIC") = MultiCameraCalibrator::kFixIntrinsic;
    module.attr("CALIB_USE_INTRINSIC_GUESS") = MultiCameraCalibrator::kUseIntrinsicGuess;
}

void bindTriangulationReport(py::module_& module) {
    py::classh<TriangulationReport>(module, "TriangulationReport",
                                    "Triangulation validation report for one synchronized frame.")
        .def_readonly("frame_index", &TriangulationReport::frame_index)
        .def_readonly("points_3d", &TriangulationReport::points_3d)
        .def_readonly("ids", &TriangulationReport::ids)
        .def_readonly("neighbor_distances_m", &TriangulationReport::neighbor_distances_m)
        .def_readonly("plane_thickness_m", &TriangulationReport::plane_thickness_m)
        .def_readonly("rms_per_camera", &TriangulationReport::rms_per_camera)
        .def_readonly("counts_per_camera", &TriangulationReport::counts_per_camera);
}

void bindMultiCameraResult(py::module_& module) {
    py::classh<MultiCameraResult>(module, "MultiCameraResult", "Result of MultiCameraCalibrator.calibrate().")
        .def_readonly("ok", &MultiCameraResult::ok)
        .def_readonly("reference_index", &MultiCameraResult::reference_index)
        .def_readonly("camera_model", &MultiCameraResult::camera_model,
                      "\"pinhole\" or \"fisheye\": the lens model every camera was calibrated with.")
        .def_readonly("reference_T_camera_list", &MultiCameraResult::reference_T_camera_list)
        .def_readonly("intrinsic_matrices", &MultiCameraResult::intrinsic_matrices)
        .def_readonly("distortion_coefficients", &MultiCameraResult::distortion_coefficients)
        .def_readonly("intrinsic_reprojection_errors", &MultiCameraResult::intrinsic_reprojection_errors)
        .def_readonly("pair_reprojection_errors", &MultiCameraResult::pair_reprojection_errors)
        .def_readonly("refined", &MultiCameraResult::refined)
        .def_readonly("refinement_reason", &MultiCameraResult::refinement_reason)
        .def_readonly("pairwise_reference_T_camera_list", &MultiCameraResult::pairwise_reference_T_camera_list)
        .def_readonly("refinement", &MultiCameraResult::refinement)
        .def_readonly("validation", &MultiCameraResult::validation,
                      "HeldOutViews when calibrate ran with validate, else None.")
        .def_readonly("image_names", &MultiCameraResult::image_names,
                      "The names given with the frames (IntrinsicOptions.image_names), in capture order.");
}

void bindSubsetResult(py::module_& module) {
    py::classh<SubsetResult>(module, "SubsetResult",
                             "Result of one entry of MultiCameraCalibrator.calibrate_subsets().")
        .def_readonly("subset", &SubsetResult::subset)
        .def_readonly("result", &SubsetResult::result)
        .def_readonly("has_triangulation", &SubsetResult::has_triangulation)
        .def_readonly("triangulation", &SubsetResult::triangulation);
}

// An absent output path means "do not save"; pathlib.Path('') would arrive as "." otherwise.
// The pictures are lent for the call: the calibrator keeps detections and results, never pictures.
MultiCameraResult calibrateFromPython(MultiCameraCalibrator& self, const std::vector<BorrowedImages>& image_lists,
                                      const std::vector<cv::Mat>& intrinsic_matrices,
                                      const std::vector<cv::Mat>& distortion_coefficients,
                                      const std::optional<std::filesystem::path>& output_path, bool refine,
                                      const RefinementOptions& refinement_options, bool validate, bool print_report) {
    ImageLists lists;
    lists.reserve(image_lists.size());
    for (const BorrowedImages& images : image_lists) {
        lists.push_back(images.images);
    }
    const velk::calibration::RigOptions options{output_path.value_or(std::filesystem::path()), refine,
                                                refinement_options, validate, print_report};
    return self.calibrate(lists, intrinsic_matrices, distortion_coefficients, options);
}

void bindMultiCameraCalibrator(py::module_& module) {
    py::classh<MultiCameraCalibrator>(module, "MultiCameraCalibrator",
                                      "Multi-camera extrinsic calibrator built on cv::stereoCalibrate.")
        .def(py::init<TargetVariant, int, int, IntrinsicOptions, int>(), py::arg("target"), py::arg("num_cameras"),
             py::arg("reference_index") = 0,
             py::arg_v("options", MultiCameraCalibrator::defaultOptions(), "MultiCameraCalibrator.default_options()"),
             py::arg("stereo_calibrate_flags") = MultiCameraCalibrator::kFixIntrinsic,
             "target: ChessboardTarget, CharucoTarget, ArucoTarget or CircleGridTarget (lengths in metres); "
             "num_cameras: cameras of "
             "the rig; reference_index: the camera whose frame the poses reference_T_camera are given in; options:"
             " IntrinsicOptions of the per-camera calibrations (camera_model \"fisheye\": every camera is an "
             "equidistant fisheye, paired with cv::fisheye::stereoCalibrate); stereo_calibrate_flags: "
             "CALIB_FIX_INTRINSIC or CALIB_USE_INTRINSIC_GUESS.")
        .def_static("default_options", &MultiCameraCalibrator::defaultOptions,
                    "The IntrinsicOptions a rig calibration uses unless given others.")
        .def("calibrate", &calibrateFromPython, py::arg("image_lists"),
             py::arg("intrinsic_matrices") = std::vector<cv::Mat>(),
             py::arg("distortion_coefficients") = std::vector<cv::Mat>(), py::arg("output_path") = py::none(),
             py::arg("refine") = false, py::arg("refinement_options") = RefinementOptions(),
             py::arg("validate") = false, py::arg("print_report") = true,
             "Calibrate the rig. image_lists: one list of 8-bit BGR images per camera, entry f of each taken at "
             "the same instant; intrinsic_matrices (pixels) and distortion_coefficients: known intrinsics per "
             "camera, empty to calibrate them; output_path: folder or JSON file for the result, None to save "
             "nothing. Gives reference_T_camera (camera in the reference camera's frame, metres) for every camera. "
             "refine: then refine "
             "every camera jointly by reprojection error (refinement_options). validate: then leave each frame out, "
             "solve the rig without it and predict every other camera's corners in it from the reference camera's "
             "board pose (the result's validation, pixels). print_report: write the text report (format_results) on "
             "standard output when done.")
        .def("triangulate", &MultiCameraCalibrator::triangulate, py::arg("image_lists"), py::arg("frame_index") = 0,
             "Triangulate the target corners of one frame from all cameras: points in the reference camera's frame"
             " (metres), reprojection errors in pixels.")
        .def("calibrate_subsets", &MultiCameraCalibrator::calibrateSubsets, py::arg("image_lists"),
             py::arg("subset_sizes") = std::vector<int>{2, 3}, py::arg("frame_index") = 0,
             "Calibrate every combination of cameras of the given sizes as a rig of its own (reference: its first "
             "camera) and validate each by triangulating frame_index.")
        .def("format_results", &MultiCameraCalibrator::formatResults,
             "The text report of the last calibration, triangulation and subsets (millimetres, degrees, pixels).")
        .def("print_results", &MultiCameraCalibrator::printResults, "Print the text report to standard output.")
        .def("last_result", &MultiCameraCalibrator::lastResult,
             "A copy of the last MultiCameraResult (poses 4x4 in metres).")
        .def(
            "target", [](const MultiCameraCalibrator& self) { return self.target(); },
            "A copy of the target (lengths in metres).")
        .def("num_cameras", &MultiCameraCalibrator::numCameras, "Number of cameras of the rig.")
        .def("reference_index", &MultiCameraCalibrator::referenceIndex,
             "Index of the reference camera, whose frame the poses reference_T_camera are given in.");
}

}  // namespace

void registerMultiCameraBindings(py::module_& module) {
    bindStereoFlags(module);
    bindTriangulationReport(module);
    bindMultiCameraResult(module);
    bindSubsetResult(module);
    bindMultiCameraCalibrator(module);
}

}  // namespace velk::bindings
