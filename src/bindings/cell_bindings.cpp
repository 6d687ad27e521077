#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bindings/registrars.hpp"
#include "bindings/type_casters.hpp"
#include "calibration/cell/cell_calibrator.hpp"

namespace py = pybind11;
using velk::calibration::CameraPairTransform;
using velk::calibration::CellCalibrator;
using velk::calibration::CellCamera;
using velk::calibration::CellCameraStart;
using velk::calibration::CellOptions;
using velk::calibration::CellRefinement;
using velk::calibration::CellResult;
using velk::calibration::IntrinsicOptions;
using velk::calibration::RefinementOptions;

namespace velk::bindings {
namespace {

void bindCameraPairTransform(py::module_& module) {
    py::classh<CameraPairTransform>(module, "CameraPairTransform",
                                    "One camera's pose in another's frame, from a cell calibration.")
        .def_readonly("first", &CameraPairTransform::first)
        .def_readonly("second", &CameraPairTransform::second)
        .def_readonly("first_T_second", &CameraPairTransform::first_T_second,
                      "camera_first_T_camera_second, 4x4 in metres.")
        .def_readonly("sigma", &CameraPairTransform::sigma,
                      "1-sigma (PoseSigma) from the joint covariance of both cameras' poses.")
        .def_readonly("covariance", &CameraPairTransform::covariance,
                      "6x6 row-major covariance of its [rotation (rad, on the left), translation (m)].");
}

void bindCellRefinement(py::module_& module) {
    py::classh<CellRefinement>(module, "CellRefinement", "The joint solve of every camera of a cell.")
        .def_readonly("refined", &CellRefinement::refined)
        .def_readonly("reason", &CellRefinement::reason)
        .def_readonly("camera_mount_T_camera_list", &CellRefinement::camera_mount_T_camera_list,
                      "Per camera: robot_T_camera (stationary) or tcp_T_camera (on the flange), 4x4 in metres.")
        .def_readonly("camera_sigmas", &CellRefinement::camera_sigmas)
        .def_readonly("intrinsic_matrices", &CellRefinement::intrinsic_matrices)
        .def_readonly("distortion_coefficients_list", &CellRefinement::distortion_coefficients_list)
        .def_readonly("intrinsic_sigmas", &CellRefinement::intrinsic_sigmas,
                      "Per camera, 1-sigma [fx, fy, cx, cy] in pixels; empty for given intrinsics.")
        .def_readonly("camera_rms_px", &CellRefinement::camera_rms_px)
        .def_readonly("view_rms_px", &CellRefinement::view_rms_px)
        .def_readonly("camera_view_counts", &CellRefinement::camera_view_counts)
        .def_readonly("target_mount_T_target", &CellRefinement::target_mount_T_target,
                      "tcp_T_target (stationary cameras) or world_T_target (cameras on the flange).")
        .def_readonly("target_sigma", &CellRefinement::target_sigma)
        .def_readonly("camera_pairs", &CellRefinement::camera_pairs, "Every pair of cameras (CameraPairTransform).")
        .def_readonly("robot_translation_noise_mm", &CellRefinement::robot_translation_noise_mm)
        .def_readonly("robot_rotation_noise_deg", &CellRefinement::robot_rotation_noise_deg)
        .def_readonly("pixel_noise_px", &CellRefinement::pixel_noise_px)
        .def_readonly("noise_settled", &CellRefinement::noise_settled)
        .def_readonly("robot_pose_corrections", &CellRefinement::robot_pose_corrections,
                      "Per robot pose, [x, y, z] mm and [rx, ry, rz] deg in the flange frame; empty where no "
                      "camera pictured it.")
        .def_readonly("pose_camera_counts", &CellRefinement::pose_camera_counts)
        .def_readonly("rms_px", &CellRefinement::rms_px)
        .def_readonly("corner_count", &CellRefinement::corner_count)
        .def_readonly("summary", &CellRefinement::summary)
        .def_readonly("joint_covariance", &CellRefinement::joint_covariance,
                      "Row-major covariance of every camera's mount pose [w, t], then the target's.");
}

void bindCellCameraStart(py::module_& module) {
    py::classh<CellCameraStart>(module, "CellCameraStart", "One camera's own calibration, the start of the cell's.")
        .def_readonly("name", &CellCameraStart::name)
        .def_readonly("ok", &CellCameraStart::ok)
        .def_readonly("reason", &CellCameraStart::reason)
        .def_readonly("camera_transform", &CellCameraStart::camera_transform)
        .def_readonly("target_transform", &CellCameraStart::target_transform)
        .def_readonly("intrinsics_from_pictures", &CellCameraStart::intrinsics_from_pictures)
        .def_property_readonly("intrinsic_matrix",
                               [](const CellCameraStart& self) { return self.outcome.intrinsic_matrix; })
        .def_property_readonly("distortion_coefficients",
                               [](const CellCameraStart& self) { return self.outcome.distortion_coefficients; })
        .def_property_readonly("camera_model", [](const CellCameraStart& self) { return self.outcome.camera_model; })
        .def_property_readonly("reprojection_error",
                               [](const CellCameraStart& self) { return self.outcome.reprojection_error; })
        .def_property_readonly(
            "poses", [](const CellCameraStart& self) { return self.outcome.image_indices; },
            "The robot poses whose pictures the camera's calibration used.")
        .def_property_readonly(
            "skipped_pictures", [](const CellCameraStart& self) { return self.outcome.skipped_pictures; },
            "Pictures it did not use (SkippedPicture; index is the robot pose).")
        .def_readonly("used_image_names", &CellCameraStart::used_image_names,
                      "The names of the pictures used (in the order of poses), when names were given.");
}

void bindCellResult(py::module_& module) {
    py::classh<CellResult>(module, "CellResult", "Result of CellCalibrator.calibrate().")
        .def_readonly("ok", &CellResult::ok)
        .def_readonly("reason", &CellResult::reason)
        .def_readonly("eye_to_hand", &CellResult::eye_to_hand)
        .def_readonly("method", &CellResult::method)
        .def_readonly("camera_names", &CellResult::camera_names)
        .def_readonly("starts", &CellResult::starts)
        .def_readonly("refinement", &CellResult::refinement)
        .def_readonly("validations", &CellResult::validations,
                      "Per camera, HandEyeValidation whose frames are robot poses; empty unless validate.")
        .def_readonly("robot_pose_count", &CellResult::robot_pose_count);
}

CellResult calibrateCell(const CellCalibrator& self, const std::vector<cv::Mat>& robot_T_tcp_list,
                         const std::vector<std::vector<cv::Mat>>& image_lists, bool eye_to_hand,
                         const std::vector<std::string>& camera_names,
                         const std::vector<std::optional<std::pair<cv::Mat, cv::Mat>>>& intrinsics,
                         const std::vector<IntrinsicOptions>& options, const std::string& method,
                         const RefinementOptions& refinement_options, bool validate) {
    const size_t count = image_lists.size();
    if ((!camera_names.empty() && camera_names.size() != count) ||
        (!intrinsics.empty() && intrinsics.size() != count) || (options.size() > 1 && options.size() != count)) {
        throw py::value_error(
            "CellCalibrator.calibrate: camera_names, intrinsics and options hold one entry per "
            "camera (options may hold one for all)");
    }
    std::vector<CellCamera> cameras(count);
    for (size_t c = 0; c < count; ++c) {
        cameras[c].name = camera_names.empty() ? std::to_string(c) : camera_names[c];
        cameras[c].images = image_lists[c];
        if (!intrinsics.empty() && intrinsics[c]) {
            cameras[c].intrinsic_matrix = intrinsics[c]->first;
            cameras[c].distortion_coefficients = intrinsics[c]->second;
        }
        if (!options.empty()) {
            cameras[c].options = options.size() == 1 ? options[0] : options[c];
        }
    }
    CellOptions cell;
    cell.eye_to_hand = eye_to_hand;
    cell.method = method;
    cell.refinement_options = refinement_options;
    cell.validate = validate;
    return self.calibrate(robot_T_tcp_list, cameras, cell);
}

void bindCellCalibrator(py::module_& module) {
    py::classh<CellCalibrator>(module, "CellCalibrator",
                               "Several cameras around one robot, calibrated at once from pictures taken at shared "
                               "robot poses: one correction of each reported robot pose, shared by every camera.")
        .def(py::init<velk::TargetVariant>(), py::arg("target"),
             "target: ChessboardTarget, CharucoTarget, ArucoTarget or CircleGridTarget (lengths in metres), the one "
             "board every camera of the cell pictures.")
        .def("calibrate", &calibrateCell, py::arg("robot_T_tcp_list"), py::arg("image_lists"),
             py::arg("eye_to_hand") = true, py::arg("camera_names") = std::vector<std::string>(),
             py::arg("intrinsics") = std::vector<std::optional<std::pair<cv::Mat, cv::Mat>>>(),
             py::arg("options") = std::vector<IntrinsicOptions>(), py::arg("method") = "TSAI",
             py::arg("refinement_options") = RefinementOptions(), py::arg("validate") = false,
             "robot_T_tcp_list: reported flange poses (4x4, metres), one per capture; image_lists: per camera one "
             "8-bit BGR picture per pose (None or an empty array where it took none); eye_to_hand: stationary "
             "cameras and the board on the flange (True) or cameras on the flange and the board standing still "
             "(False); intrinsics: per camera (matrix, distortion) or None to solve them from its pictures; "
             "options: IntrinsicOptions, one for all cameras or one each; method: the closed form each camera "
             "starts from; validate: predict every camera's pictures at each robot pose from a solve without it.");
}

}  // namespace

void registerCellBindings(py::module_& module) {
    bindCameraPairTransform(module);
    bindCellRefinement(module);
    bindCellCameraStart(module);
    bindCellResult(module);
    bindCellCalibrator(module);
}

}  // namespace velk::bindings
