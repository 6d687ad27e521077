#include <optional>

#include "bindings/registrars.hpp"
#include "bindings/type_casters.hpp"
#include "calibration/eye_in_hand_calibrator.hpp"
#include "calibration/hand_eye_methods.hpp"

namespace py = pybind11;
using velk::calibration::EyeInHandCalibrator;
using velk::calibration::HandEyeResult;
using velk::calibration::IntrinsicOptions;
using velk::calibration::RefinementOptions;
using velk::calibration::TargetConsistencyStats;

namespace velk::bindings {
namespace {

void bindHandEyeMethodMap(py::module_& module) {
    module.def("hand_eye_method_by_name_map", &velk::calibration::handEyeMethodByNameMap,
               "Map of hand-eye method names (\"TSAI\", \"PARK\", \"HORAUD\", \"ANDREFF\", \"DANIILIDIS\") to "
               "cv::HandEyeCalibrationMethod values.");
}

void bindTargetConsistencyStats(py::module_& module) {
    py::classh<TargetConsistencyStats>(module, "TargetConsistencyStats",
                                       "Per-frame consistency of the recovered world_T_target.")
        .def_readonly("mean_translation_m", &TargetConsistencyStats::mean_translation_m)
        .def_readonly("max_translation_m", &TargetConsistencyStats::max_translation_m)
        .def_readonly("mean_rotation_deg", &TargetConsistencyStats::mean_rotation_deg)
        .def_readonly("max_rotation_deg", &TargetConsistencyStats::max_rotation_deg)
        .def_readonly("translation_deviations_m", &TargetConsistencyStats::translation_deviations_m)
        .def_readonly("rotation_deviations_deg", &TargetConsistencyStats::rotation_deviations_deg)
        .def_readonly("distances_m", &TargetConsistencyStats::distances_m)
        .def_readonly("board_us", &TargetConsistencyStats::board_us)
        .def_readonly("board_vs", &TargetConsistencyStats::board_vs);
}

void bindHandEyeResult(py::module_& module) {
    py::classh<HandEyeResult>(module, "HandEyeResult", "Result of EyeInHandCalibrator.calibrate().")
        .def_readonly("ok", &HandEyeResult::ok)
        .def_readonly("tcp_T_camera", &HandEyeResult::tcp_T_camera)
        .def_readonly("intrinsic_matrix", &HandEyeResult::intrinsic_matrix)
        .def_readonly("distortion_coefficients", &HandEyeResult::distortion_coefficients)
        .def_readonly("reprojection_error", &HandEyeResult::reprojection_error)
        .def_readonly("valid_robot_T_tcp_list", &HandEyeResult::valid_robot_T_tcp_list)
        .def_readonly("valid_image_list", &HandEyeResult::valid_image_list)
        .def_readonly("camera_T_target_list", &HandEyeResult::camera_T_target_list)
        .def_readonly("has_consistency", &HandEyeResult::has_consistency)
        .def_readonly("consistency", &HandEyeResult::consistency)
        .def_readonly("refined", &HandEyeResult::refined)
        .def_readonly("refinement_reason", &HandEyeResult::refinement_reason)
        .def_readonly("closed_form_tcp_T_camera", &HandEyeResult::closed_form_tcp_T_camera)
        .def_readonly("refinement", &HandEyeResult::refinement);
}

void bindAlignedTargetPoses(py::module_& module) {
    using Aligned = EyeInHandCalibrator::AlignedTargetPoses;
    py::classh<Aligned>(module, "AlignedTargetPoses")
        .def_readonly("camera_T_target_list", &Aligned::camera_T_target_list)
        .def_readonly("valid_image_list", &Aligned::valid_image_list)
        .def_readonly("valid_robot_T_tcp_list", &Aligned::valid_robot_T_tcp_list);
}

HandEyeResult calibrateFromPython(EyeInHandCalibrator& self, const std::vector<cv::Mat>& robot_T_tcp_list,
                                  const std::vector<cv::Mat>& image_list, const std::string& method,
                                  const std::vector<cv::Mat>& camera_T_target_list, const cv::Mat& intrinsic_matrix,
                                  const cv::Mat& distortion_coefficients,
                                  const std::optional<std::filesystem::path>& output_path, bool refine,
                                  const RefinementOptions& refinement_options) {
    return self.calibrate(robot_T_tcp_list, image_list, method, camera_T_target_list, intrinsic_matrix,
                          distortion_coefficients, output_path.value_or(std::filesystem::path()), refine,
                          refinement_options);
}

void bindEyeInHandCalibrator(py::module_& module) {
    py::classh<EyeInHandCalibrator>(module, "EyeInHandCalibrator", "Eye-in-hand (camera-on-flange) hand-eye calibrator.")
        .def(py::init<TargetVariant, IntrinsicOptions>(), py::arg("target"), py::arg("options") = IntrinsicOptions())
        .def("calibrate", &calibrateFromPython, py::arg("robot_T_tcp_list"), py::arg("image_list"),
             py::arg("method") = "TSAI", py::arg("camera_T_target_list") = std::vector<cv::Mat>(),
             py::arg_v("intrinsic_matrix", cv::Mat(), "numpy.empty((0, 0))"),
             py::arg_v("distortion_coefficients", cv::Mat(), "numpy.empty((0, 0))"),
             py::arg("output_path") = py::none(), py::arg("refine") = false,
             py::arg("refinement_options") = RefinementOptions())
        .def("compute_camera_T_target_list", &EyeInHandCalibrator::computeCameraTTargetList, py::arg("image_list"),
             py::arg("robot_T_tcp_list"), py::arg("intrinsic_matrix"), py::arg("distortion_coefficients"))
        .def("format_results", &EyeInHandCalibrator::formatResults)
        .def("print_results", &EyeInHandCalibrator::printResults)
        .def("corner_images", &EyeInHandCalibrator::cornerImages)
        .def("last_result", [](const EyeInHandCalibrator& self) { return self.lastResult(); })
        .def("target", [](const EyeInHandCalibrator& self) { return self.target(); });
}

}  // namespace

void registerHandEyeBindings(py::module_& module) {
    bindHandEyeMethodMap(module);
    bindTargetConsistencyStats(module);
    bindHandEyeResult(module);
    bindAlignedTargetPoses(module);
    bindEyeInHandCalibrator(module);
}

}  // namespace velk::bindings
