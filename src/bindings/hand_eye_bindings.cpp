#include <map>
#include <optional>
#include <string>
#include <utility>

#include "bindings/registrars.hpp"
#include "bindings/type_casters.hpp"
#include "calibration/hand_eye/eye_in_hand_calibrator.hpp"
#include "calibration/hand_eye/eye_to_hand_calibrator.hpp"
#include "calibration/hand_eye/hand_eye_methods.hpp"
#include "calibration/hand_eye/hand_eye_setup.hpp"
#include "calibration/hand_eye/hand_eye_solver.hpp"
#include "calibration/hand_eye/hand_eye_validation_report.hpp"
#include "calibration/hand_eye/restricted_motion.hpp"

namespace py = pybind11;
using velk::calibration::EyeInHandCalibrator;
using velk::calibration::EyeToHandCalibrator;
using velk::calibration::EyeToHandResult;
using velk::calibration::HandEyeOptions;
using velk::calibration::HandEyeResult;
using velk::calibration::HandEyeValidation;
using velk::calibration::IntrinsicOptions;
using velk::calibration::RefinementOptions;
using velk::calibration::SkippedPicture;
using velk::calibration::TargetConsistencyStats;

namespace velk::bindings {
namespace {

void bindHandEyeMethodMap(py::module_& module) {
    module.def("hand_eye_method_by_name_map", &velk::calibration::handEyeMethodByNameMap,
               "Map of hand-eye method names (\"TSAI\", \"PARK\", \"HORAUD\", \"ANDREFF\", \"DANIILIDIS\") to "
               "cv::HandEyeCalibrationMethod values.");
}

// The closed-form solve alone, on poses: no pictures, no refinement, nothing logged.
void bindSolveHandEye(py::module_& module) {
    module.def(
        "solve_hand_eye",
        [](const std::vector<cv::Mat>& robot_T_tcp_list, const std::vector<cv::Mat>& camera_T_target_list,
           const std::string& method, const std::string& setup,
           bool restricted_motions) -> std::optional<std::pair<cv::Mat, cv::Mat>> {
            if (robot_T_tcp_list.size() != camera_T_target_list.size()) {
                throw std::invalid_argument(
                    "solve_hand_eye: robot_T_tcp_list and camera_T_target_list must pair "
                    "up entry for entry, got " +
                    std::to_string(robot_T_tcp_list.size()) + " and " + std::to_string(camera_T_target_list.size()));
            }
            const auto setupKind = velk::calibration::handEyeSetupFromName(setup, "solve_hand_eye");
            const velk::calibration::HandEyeSolver solver = velk::calibration::handEyeSolverFromName(method);
            const std::vector<cv::Mat> motions = velk::calibration::handEyeMotions(setupKind, robot_T_tcp_list);
            auto solution = restricted_motions
                                ? velk::calibration::solveRestrictedHandEye(
                                      velk::calibration::restrictedMotion(motions), motions, camera_T_target_list,
                                      setupKind == velk::calibration::HandEyeSetup::EyeToHand)
                                : std::nullopt;
            if (!solution) {
                solution = velk::calibration::solveHandEye(solver, motions, camera_T_target_list);
            }
            if (!solution) {
                return std::nullopt;
            }
            return std::make_pair(solution->camera_transform, solution->target_transform);
        },
        py::arg("robot_T_tcp_list"), py::arg("camera_T_target_list"), py::arg("method") = "TSAI",
        py::arg("setup") = "eye-in-hand", py::arg("restricted_motions") = false,
        "The closed-form hand-eye solve of paired poses (4x4, metres), as the calibrators run it: (tcp_T_camera, "
        "world_T_target) for 'eye-in-hand', (robot_T_camera, tcp_T_target) for 'eye-to-hand'; None when the "
        "poses do not determine them. method: a hand-eye or robot-world/hand-eye method name. "
        "restricted_motions: on poses that turn about one axis only, or not at all, the closed form for such "
        "motions stands in for the method, as in the calibrators (the offset it cannot determine is zero on the "
        "flange). Raises RuntimeError when the solver refuses the poses (too few of them).");
}

void bindHandEyeValidation(py::module_& module) {
    py::classh<HandEyeValidation>(module, "HandEyeValidation",
                                  "Leave-one-view-out validation of a hand-eye calibration: each view predicted "
                                  "from a solve without it (pixels, mm, deg; per view in view order).")
        .def_readonly("validated", &HandEyeValidation::validated)
        .def_readonly("reason", &HandEyeValidation::reason)
        .def_readonly("frames", &HandEyeValidation::frames)
        .def_readonly("held_out_rms_px", &HandEyeValidation::held_out_rms_px)
        .def_readonly("fitted_rms_px", &HandEyeValidation::fitted_rms_px)
        .def_readonly("translation_mm", &HandEyeValidation::translation_mm)
        .def_readonly("rotation_deg", &HandEyeValidation::rotation_deg)
        .def_readonly("predicted_rms_px", &HandEyeValidation::predicted_rms_px)
        .def_readonly("skipped", &HandEyeValidation::skipped)
        .def_readonly("median_px", &HandEyeValidation::median_px)
        .def_readonly("p90_px", &HandEyeValidation::p90_px)
        .def_readonly("median_mm", &HandEyeValidation::median_mm)
        .def_readonly("median_deg", &HandEyeValidation::median_deg)
        .def_readonly("worst_frames", &HandEyeValidation::worst_frames)
        .def_readonly("observed_over_predicted", &HandEyeValidation::observed_over_predicted)
        .def("sentence", &velk::calibration::heldOutSentence,
             "The report's sentence: median pixels, mm and deg, and observed/predicted when there is one.");
}

void bindRobotWorldHandEyeMethodMap(py::module_& module) {
    module.def("robot_world_hand_eye_method_by_name_map", &velk::calibration::robotWorldHandEyeMethodByNameMap,
               "Map of robot-world/hand-eye method names (\"SHAH\", \"LI\") to "
               "cv::RobotWorldHandEyeCalibrationMethod values; calibrate() accepts them beside the hand-eye methods.");
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

void bindSkippedPicture(py::module_& module) {
    py::classh<SkippedPicture>(module, "SkippedPicture", "A picture a hand-eye calibration did not use, and why.")
        .def_readonly("index", &SkippedPicture::index, "Position in the list of pictures given.")
        .def_readonly("name", &SkippedPicture::name,
                      "Its file name when IntrinsicOptions.image_names named the pictures, else ''.")
        .def_readonly("reason", &SkippedPicture::reason, "Why it was not used.")
        .def("__repr__", [](const SkippedPicture& self) {
            return "SkippedPicture(" + std::to_string(self.index) + ", '" + self.name + "', '" + self.reason + "')";
        });
}

// The fields both set-ups' results share, bound on each result class.
template <typename Result>
void bindOutcomeFields(py::classh<Result>& result) {
    result.def_readonly("intrinsic_matrix", &Result::intrinsic_matrix)
        .def_readonly("distortion_coefficients", &Result::distortion_coefficients)
        .def_readonly("camera_model", &Result::camera_model, "'pinhole' or 'fisheye'.")
        .def_readonly("reprojection_error", &Result::reprojection_error)
        .def_readonly("valid_robot_T_tcp_list", &Result::valid_robot_T_tcp_list)
        .def_readonly("valid_image_list", &Result::valid_image_list)
        .def_readonly("camera_T_target_list", &Result::camera_T_target_list)
        .def_readonly("image_indices", &Result::image_indices)
        .def_readonly("has_consistency", &Result::has_consistency)
        .def_readonly("consistency", &Result::consistency)
        .def_readonly("refined", &Result::refined)
        .def_readonly("refinement_reason", &Result::refinement_reason)
        .def_readonly("refinement", &Result::refinement)
        .def_readonly("validation", &Result::validation)
        .def_readonly("target_points_per_picture", &Result::target_points_per_picture,
                      "Most points the target gives in one picture (the report warns below 8).")
        .def_readonly("image_names", &Result::image_names,
                      "The names given with the pictures (IntrinsicOptions.image_names), in the order given.")
        .def_readonly("skipped_pictures", &Result::skipped_pictures,
                      "The pictures given that the calibration did not use (SkippedPicture), in the order given.");
}

void bindHandEyeResult(py::module_& module) {
    py::classh<HandEyeResult> result(module, "HandEyeResult", "Result of EyeInHandCalibrator.calibrate().");
    result.def_readonly("ok", &HandEyeResult::ok)
        .def_readonly("tcp_T_camera", &HandEyeResult::tcp_T_camera)
        .def_readonly("world_T_target", &HandEyeResult::world_T_target)
        .def_readonly("closed_form_tcp_T_camera", &HandEyeResult::closed_form_tcp_T_camera);
    bindOutcomeFields(result);
}

void bindEyeToHandResult(py::module_& module) {
    py::classh<EyeToHandResult> result(module, "EyeToHandResult", "Result of EyeToHandCalibrator.calibrate().");
    result.def_readonly("ok", &EyeToHandResult::ok)
        .def_readonly("method", &EyeToHandResult::method)
        .def_readonly("robot_T_camera", &EyeToHandResult::robot_T_camera)
        .def_readonly("tcp_T_target", &EyeToHandResult::tcp_T_target)
        .def_readonly("closed_form_robot_T_camera", &EyeToHandResult::closed_form_robot_T_camera)
        // Its class is bound later, in the diagnostics submodule: converted at call time, so the
        // signature reads "object" rather than a C++ type name.
        .def_property_readonly(
            "rotation_variety",
            [](const EyeToHandResult& self) -> py::object {
                return self.rotation_variety ? py::cast(*self.rotation_variety) : py::none();
            },
            "Rotation variety of the captured camera poses (a diagnostics.RotationVarietyStats), or None.");
    bindOutcomeFields(result);
}

void bindAlignedTargetPoses(py::module_& module) {
    using Aligned = EyeInHandCalibrator::AlignedTargetPoses;
    py::classh<Aligned>(
        module, "AlignedTargetPoses",
        "Target poses camera_T_target (target in the camera frame, metres) with the images and flange poses "
        "robot_T_tcp (robot base frame, metres) they belong to, entry for entry.")
        .def_readonly("camera_T_target_list", &Aligned::camera_T_target_list)
        .def_readonly("valid_image_list", &Aligned::valid_image_list)
        .def_readonly("valid_robot_T_tcp_list", &Aligned::valid_robot_T_tcp_list);
}

template <typename Calibrator>
auto calibrateFromPython(Calibrator& self, const std::vector<cv::Mat>& robot_T_tcp_list,
                         const std::vector<cv::Mat>& image_list, const std::string& method,
                         const std::vector<cv::Mat>& camera_T_target_list, const cv::Mat& intrinsic_matrix,
                         const cv::Mat& distortion_coefficients,
                         const std::optional<std::filesystem::path>& output_path, bool refine,
                         const RefinementOptions& refinement_options, bool validate, bool print_report,
                         const std::map<std::string, double>& fix,
                         const std::map<std::string, std::pair<double, double>>& prior) {
    HandEyeOptions options{
        method, refine, refinement_options, validate, output_path.value_or(std::filesystem::path()), print_report};
    for (const auto& [component, value] : fix) {
        options.mount_components.push_back({component, value, 0.0});
    }
    for (const auto& [component, given] : prior) {
        if (!(given.second > 0.0)) {
            throw py::value_error("calibrate: the prior of " + component + " needs a positive sigma (metres)");
        }
        options.mount_components.push_back({component, given.first, given.second});
    }
    return self.calibrate(robot_T_tcp_list, image_list, camera_T_target_list, intrinsic_matrix, distortion_coefficients,
                          options);
}

// What the two hand-eye calibrators share in Python; they differ in names and in what they solve.
struct HandEyeCalibratorTexts {
    const char* name;
    const char* doc;
    const char* solves;  // the end of calibrate's docstring
    const char* last_result;
};

template <typename Calibrator>
void bindHandEyeCalibrator(py::module_& module, const HandEyeCalibratorTexts& texts) {
    const std::string calibrateDoc =
        std::string(
            "Run the calibration. robot_T_tcp_list: flange poses in the robot base frame (4x4, metres), one "
            "per image; image_list: 8-bit BGR images; method: a hand-eye method name; camera_T_target_list: "
            "target poses in the camera frame (metres) to use instead of estimating them; intrinsic_matrix "
            "(pixels) and distortion_coefficients: known intrinsics, empty to calibrate them; output_path: "
            "folder or JSON file for the result, None to save nothing. ") +
        texts.solves +
        " refine: then refine by reprojection error over every corner (refinement_options). "
        "validate: then predict each view from a solve without it (the result's validation). "
        "print_report: write the text report (format_results) on standard output after a "
        "successful calibration. fix: {'tz': metres} holds translations of the flange-side transform "
        "(eye-in-hand tcp_T_camera, eye-to-hand tcp_T_target) at values measured elsewhere; prior: "
        "{'tz': (metres, 1-sigma metres)} ties them to such values; both are for what the robot's motions "
        "do not determine (the refinement's mount_components, robot error modelled).";
    py::classh<Calibrator>(module, texts.name, texts.doc)
        .def(py::init<TargetVariant, IntrinsicOptions>(), py::arg("target"), py::arg("options") = IntrinsicOptions(),
             "target: ChessboardTarget, CharucoTarget, ArucoTarget or CircleGridTarget (lengths in metres); options: "
             "IntrinsicOptions of the inner intrinsic calibration.")
        .def("calibrate", &calibrateFromPython<Calibrator>, py::arg("robot_T_tcp_list"), py::arg("image_list"),
             py::arg("method") = "TSAI", py::arg("camera_T_target_list") = std::vector<cv::Mat>(),
             py::arg_v("intrinsic_matrix", cv::Mat(), "numpy.empty((0, 0))"),
             py::arg_v("distortion_coefficients", cv::Mat(), "numpy.empty((0, 0))"),
             py::arg("output_path") = py::none(), py::arg("refine") = false,
             py::arg("refinement_options") = RefinementOptions(), py::arg("validate") = false,
             py::arg("print_report") = true, py::arg("fix") = std::map<std::string, double>(),
             py::arg("prior") = std::map<std::string, std::pair<double, double>>(), calibrateDoc.c_str())
        .def("compute_camera_T_target_list", &Calibrator::computeCameraTTargetList, py::arg("image_list"),
             py::arg("robot_T_tcp_list"), py::arg("intrinsic_matrix"), py::arg("distortion_coefficients"),
             "Estimate camera_T_target (target in the camera frame, metres) for each image with the given "
             "intrinsics (pixels) and pair it with its flange pose robot_T_tcp (robot base frame, metres); images "
             "without the target are dropped from all three lists.")
        .def("format_results", &Calibrator::formatResults,
             "The text report of the last calibration (millimetres and degrees).")
        .def("print_results", &Calibrator::printResults, "Print the text report to standard output.")
        .def("corner_images", &Calibrator::cornerImages,
             "Images of the last calibration with the detected corners drawn (8-bit BGR).")
        .def(
            "last_result", [](const Calibrator& self) { return self.lastResult(); }, texts.last_result)
        .def(
            "target", [](const Calibrator& self) { return self.target(); },
            "A copy of the target (lengths in metres).");
}

void bindEyeToHandCalibrator(py::module_& module) {
    bindHandEyeCalibrator<EyeToHandCalibrator>(
        module, {"EyeToHandCalibrator", "Eye-to-hand (stationary camera, target on the flange) hand-eye calibrator.",
                 "Solves robot_T_camera (camera in the robot base frame) and tcp_T_target (target in the flange "
                 "frame), metres.",
                 "A copy of the last EyeToHandResult (poses 4x4 in metres)."});
}

void bindEyeInHandCalibrator(py::module_& module) {
    bindHandEyeCalibrator<EyeInHandCalibrator>(
        module, {"EyeInHandCalibrator", "Eye-in-hand (camera-on-flange) hand-eye calibrator.",
                 "Solves tcp_T_camera (camera in the flange frame, metres).",
                 "A copy of the last HandEyeResult (poses 4x4 in metres)."});
}

}  // namespace

void registerHandEyeBindings(py::module_& module) {
    bindHandEyeMethodMap(module);
    bindSolveHandEye(module);
    bindTargetConsistencyStats(module);
    bindSkippedPicture(module);
    bindHandEyeValidation(module);
    bindHandEyeResult(module);
    bindAlignedTargetPoses(module);
    bindEyeInHandCalibrator(module);
    bindRobotWorldHandEyeMethodMap(module);
    bindEyeToHandResult(module);
    bindEyeToHandCalibrator(module);
}

}  // namespace velk::bindings
