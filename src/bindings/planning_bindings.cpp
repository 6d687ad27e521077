#include <pybind11/stl.h>

#include "bindings/registrars.hpp"
#include "bindings/type_casters.hpp"
#include "calibration/detection/corner_visibility.hpp"
#include "calibration/hand_eye/hand_eye_planner.hpp"
#include "calibration/hand_eye/hand_eye_prediction.hpp"
#include "calibration/hand_eye/plan_scene.hpp"

namespace py = pybind11;
using velk::calibration::HandEyePlan;
using velk::calibration::HandEyePlanScene;
using velk::calibration::HandEyePlanStep;
using velk::calibration::HandEyePrediction;
using velk::calibration::NextPoseRanking;
using velk::calibration::VisibilityLimits;

namespace velk::bindings {
namespace {

void bindVisibilityLimits(py::module_& module) {
    py::classh<VisibilityLimits>(module, "VisibilityLimits", "What a camera must see of a corner for it to count.")
        .def(py::init<>(), "Default limits: 10 px inside the picture, board turned away by at most 60 deg.")
        .def_readwrite("margin_px", &VisibilityLimits::margin_px)
        .def_readwrite("max_facing_angle_deg", &VisibilityLimits::max_facing_angle_deg);
    module.def("visible_corners", &velk::calibration::visibleCorners, py::arg("object_points"),
               py::arg("camera_T_target"), py::arg("intrinsic_matrix"), py::arg("distortion"), py::arg("image_size"),
               py::arg("limits") = VisibilityLimits(),
               "Indices of the target corners a camera at camera_T_target sees: in front, inside the picture by the "
               "margin, and none unless the board faces the camera within the limit angle.");
}

void bindHandEyePlanScene(py::module_& module) {
    using Scene = HandEyePlanScene;
    py::classh<Scene>(module, "HandEyePlanScene",
                      "A hand-eye set-up before any picture: camera, target corners, approximate transforms "
                      "(eye-in-hand: tcp_T_camera and robot_T_target; eye-to-hand: robot_T_camera and tcp_T_target) "
                      "and the expected noise of corners and robot poses.")
        .def(py::init<>(), "An empty scene; fill in the camera, the corners and both transforms.")
        .def_readwrite("intrinsic_matrix", &Scene::intrinsic_matrix)
        .def_readwrite("distortion_coefficients", &Scene::distortion_coefficients)
        .def_readwrite("image_size", &Scene::image_size)
        .def_readwrite("camera_model", &Scene::camera_model,
                       "'pinhole' (the only model the planner predicts with; 'fisheye' is refused)")
        .def_readwrite("object_points", &Scene::object_points)
        .def_readwrite("eye_to_hand", &Scene::eye_to_hand)
        .def_readwrite("camera_mount_T_camera", &Scene::camera_mount_T_camera)
        .def_readwrite("target_mount_T_target", &Scene::target_mount_T_target)
        .def_readwrite("free_intrinsics", &Scene::free_intrinsics,
                       "True (default): the intrinsics are estimated with the hand-eye transform; False: given.")
        .def_readwrite("calibration_flags", &Scene::calibration_flags)
        .def_readwrite("pixel_noise_px", &Scene::pixel_noise_px)
        .def_readwrite("robot_translation_noise_mm", &Scene::robot_translation_noise_mm)
        .def_readwrite("robot_rotation_noise_deg", &Scene::robot_rotation_noise_deg)
        .def_readwrite("visibility", &Scene::visibility)
        .def_readwrite("min_corner_share", &Scene::min_corner_share)
        .def_readwrite("known_components", &Scene::known_components,
                       "Translations ('tx', 'ty', 'tz') of tcp_T_camera (eye-to-hand: tcp_T_target) taken as measured "
                       "elsewhere: an arm that turns about one axis cannot determine the offset along it; empty "
                       "(default): none.");
    module.def("plan_camera_T_target", &velk::calibration::planCameraTTarget, py::arg("scene"), py::arg("robot_T_tcp"),
               "camera_T_target of a flange pose under the scene's nominal transforms.");
    module.def("plan_visible_corners", &velk::calibration::planVisibleCorners, py::arg("scene"), py::arg("robot_T_tcp"),
               "Indices of the target corners a flange pose sees.");
}

void bindHandEyePrediction(py::module_& module) {
    py::classh<HandEyePrediction>(module, "HandEyePrediction",
                                  "Predicted 1-sigma of a hand-eye calibration from planned flange poses.")
        .def_readonly("camera_sigma", &HandEyePrediction::camera_sigma)
        .def_readonly("target_sigma", &HandEyePrediction::target_sigma)
        .def_readonly("intrinsic_sigmas", &HandEyePrediction::intrinsic_sigmas)
        .def_readonly("corners_seen", &HandEyePrediction::corners_seen)
        .def_readonly("usable", &HandEyePrediction::usable);
    module.def("predict_hand_eye", &velk::calibration::predictHandEye, py::arg("scene"), py::arg("robot_T_tcp_list"),
               py::call_guard<py::gil_scoped_release>(),
               "The uncertainty a hand-eye calibration from these flange poses will have: the covariance of the "
               "errors-in-variables refinement at the nominal values. ValueError names the reason when fewer than "
               "three poses are usable.");
}

void bindHandEyePlan(py::module_& module) {
    py::classh<HandEyePlanStep>(module, "HandEyePlanStep", "One flange pose added to a plan.")
        .def_readonly("candidate", &HandEyePlanStep::candidate)
        .def_readonly("camera_sigma", &HandEyePlanStep::camera_sigma)
        .def_readonly("determined", &HandEyePlanStep::determined);
    py::classh<HandEyePlan>(module, "HandEyePlan", "Flange poses chosen from candidates, in the order added.")
        .def_readonly("steps", &HandEyePlan::steps)
        .def_readonly("corners_seen", &HandEyePlan::corners_seen)
        .def_readonly("usable_candidates", &HandEyePlan::usable_candidates);
    module.def("plan_hand_eye", &velk::calibration::planHandEye, py::arg("scene"), py::arg("candidates"),
               py::arg("count"), py::arg("captured") = std::vector<cv::Mat>(), py::call_guard<py::gil_scoped_release>(),
               "Chooses count flange poses from the candidates, greedily, each the one that most lowers the predicted "
               "hand-eye uncertainty after the captured poses. ValueError names the reason when the board is never "
               "fully seen or fewer than three poses are usable.");
    py::classh<NextPoseRanking>(module, "NextPoseRanking", "Predicted 1-sigma with each candidate added alone.")
        .def_readonly("current", &NextPoseRanking::current)
        .def_readonly("current_determined", &NextPoseRanking::current_determined)
        .def_readonly("with_candidate", &NextPoseRanking::with_candidate)
        .def_readonly("determined", &NextPoseRanking::determined)
        .def_readonly("corners_seen", &NextPoseRanking::corners_seen);
    module.def("rank_next_poses", &velk::calibration::rankNextPoses, py::arg("scene"), py::arg("captured"),
               py::arg("candidates"), py::call_guard<py::gil_scoped_release>(),
               "Per candidate, the predicted hand-eye 1-sigma with that pose added to the captured ones.");
}

}  // namespace

void registerPlanningBindings(py::module_& module) {
    bindVisibilityLimits(module);
    bindHandEyePlanScene(module);
    bindHandEyePrediction(module);
    bindHandEyePlan(module);
}

}  // namespace velk::bindings
