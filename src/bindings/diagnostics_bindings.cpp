#include <optional>
#include <string>
#include <vector>

#include "bindings/borrowed_images.hpp"
#include "bindings/registrars.hpp"
#include "bindings/type_casters.hpp"
#include "calibration/hand_eye/planar_hand_eye.hpp"
#include "calibration/hand_eye/restricted_motion.hpp"
#include "core/rotation_variety.hpp"
#include "quality/hand_eye_method_comparison.hpp"
#include "quality/method_comparison_report.hpp"

namespace py = pybind11;
using velk::quality::HandEyeMethodResult;
using velk::quality::RotationVarietyStats;

namespace velk::bindings {
namespace {

void bindRotationVarietyStats(py::module_& diagnostics) {
    py::classh<RotationVarietyStats>(
        diagnostics, "RotationVarietyStats",
        "How varied the rotations between captured views are: angles in degrees, singular values of the "
        "rotation axes (dimensionless).")
        .def_readonly("num_motions", &RotationVarietyStats::num_motions)
        .def_property_readonly("singular_values",
                               [](const RotationVarietyStats& stats) {
                                   return std::vector<double>(stats.singular_values.begin(),
                                                              stats.singular_values.end());
                               })
        .def_readonly("axis_span_ratio", &RotationVarietyStats::axis_span_ratio)
        .def_readonly("angle_mean_deg", &RotationVarietyStats::angle_mean_deg)
        .def_readonly("angle_max_deg", &RotationVarietyStats::angle_max_deg);
}

void bindRotationVarietyFunctions(py::module_& diagnostics) {
    diagnostics.def(
        "analyze_rotation_variety", &velk::quality::analyze_rotation_variety, py::arg("camera_T_target_list"),
        py::arg("min_rotation_deg") = 0.5,
        "Rotation variety of the motions between consecutive target poses camera_T_target (target in the "
        "camera frame); motions of at most min_rotation_deg degrees are ignored. None when no motion is left.");
    diagnostics.def("format_rotation_variety", &velk::quality::format_rotation_variety, py::arg("stats"),
                    "Text verdict on a rotation variety (degrees).");
}

void bindHandEyeMethodResult(py::module_& diagnostics) {
    py::classh<HandEyeMethodResult>(
        diagnostics, "HandEyeMethodResult",
        "One solver's hand-eye result: 4x4 poses in metres, pose_deg as [x, y, z, rx, ry, rz] in metres and "
        "degrees.")
        .def_readonly("method_name", &HandEyeMethodResult::method_name)
        .def_readonly("tcp_T_camera", &HandEyeMethodResult::tcp_T_camera)
        .def_readonly("pose_deg", &HandEyeMethodResult::pose_deg)
        .def_readonly("robot_T_camera", &HandEyeMethodResult::robot_T_camera)
        .def_readonly("tcp_T_target", &HandEyeMethodResult::tcp_T_target);
}

void bindMethodComparisonFunctions(py::module_& diagnostics) {
    // The comparison keeps no picture once it returns, so the pictures are read in place.
    diagnostics.def(
        "compare_hand_eye_methods",
        [](const TargetVariant& target, const std::vector<cv::Mat>& robot_T_tcp_list, const BorrowedImages& image_list,
           const std::vector<cv::Mat>& camera_T_target_list, const cv::Mat& intrinsic_matrix,
           const cv::Mat& distortion_coefficients, double per_view_error_threshold, const std::string& setup,
           const std::string& camera_model, bool print_reports) {
            return velk::quality::compare_hand_eye_methods(
                target, robot_T_tcp_list, image_list.images, camera_T_target_list, intrinsic_matrix,
                distortion_coefficients, per_view_error_threshold, setup, camera_model, print_reports);
        },
        py::arg("target"), py::arg("robot_T_tcp_list"), py::arg("image_list"), py::arg("camera_T_target_list"),
        py::arg("intrinsic_matrix"), py::arg("distortion_coefficients"), py::arg("per_view_error_threshold") = 1.0,
        py::arg("setup") = "eye-in-hand", py::arg("camera_model") = "pinhole", py::arg("print_reports") = true,
        "Run the hand-eye calibration once per solver on the same data (robot_T_tcp_list in the robot base "
        "frame, metres; per_view_error_threshold in pixels; camera_model 'pinhole' or 'fisheye', the lens "
        "model of the given intrinsics). Failed solvers map to None. print_reports: each calibration writes "
        "its report on standard output.");
    diagnostics.def("format_method_comparison", &velk::quality::format_method_comparison, py::arg("method_results"),
                    py::arg("consensus_threshold_deg") = 1.5,
                    "Table of the solvers' results (millimetres, degrees) and a verdict on whether they agree within "
                    "consensus_threshold_deg degrees.");
}

void bindCommonTurnAxis(py::module_& diagnostics) {
    diagnostics.def(
        "common_turn_axis",
        [](const std::vector<cv::Mat>& robot_T_tcp_list) -> std::optional<std::vector<double>> {
            const auto axis = velk::calibration::commonTurnAxis(robot_T_tcp_list);
            if (!axis) {
                return std::nullopt;
            }
            return std::vector<double>{(*axis)[0], (*axis)[1], (*axis)[2]};
        },
        py::arg("robot_T_tcp_list"),
        "The one axis (unit, in the flange frame) every turn between the flange poses is about, as a SCARA or a "
        "4-axis arm turns; None when they turn about several axes or too little to tell. The general closed "
        "forms are undefined on such poses.");
}

void bindRestrictedMotion(py::module_& diagnostics) {
    diagnostics.def(
        "restricted_motion",
        [](const std::vector<cv::Mat>& robot_T_tcp_list) -> std::optional<std::string> {
            switch (velk::calibration::restrictedMotion(robot_T_tcp_list)) {
                case velk::calibration::RestrictedMotion::OneAxis: return "one axis";
                case velk::calibration::RestrictedMotion::NoTurn: return "no turn";
                case velk::calibration::RestrictedMotion::None: break;
            }
            return std::nullopt;
        },
        py::arg("robot_T_tcp_list"),
        "How the flange poses move where the general closed forms are undefined: 'one axis' when every turn "
        "between them is about one axis (a SCARA or a 4-axis arm), 'no turn' when they do not turn (a gantry); "
        "None for poses that turn about several axes.");
}

}  // namespace

void registerDiagnosticsBindings(py::module_& module) {
    py::module_ diagnostics =
        module.def_submodule("diagnostics", "Diagnostics for hand-eye calibration data and solvers.");
    bindRotationVarietyStats(diagnostics);
    bindRotationVarietyFunctions(diagnostics);
    bindHandEyeMethodResult(diagnostics);
    bindMethodComparisonFunctions(diagnostics);
    bindCommonTurnAxis(diagnostics);
    bindRestrictedMotion(diagnostics);
}

}  // namespace velk::bindings
