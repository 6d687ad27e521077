#include <pybind11/stl.h>

#include "bindings/registrars.hpp"
#include "bindings/type_casters.hpp"
#include "calibration/hand_eye/hand_eye_refinement.hpp"
#include "calibration/hand_eye/robot_noise_text.hpp"
#include "calibration/refinement/refinement_options.hpp"
#include "calibration/refinement/refinement_statistics.hpp"
#include "calibration/rig/rig_refinement.hpp"

namespace py = pybind11;
using velk::calibration::HandEyeRefinement;
using velk::calibration::HandEyeRefinementProblem;
using velk::calibration::PoseSigma;
using velk::calibration::RefinementOptions;
using velk::calibration::RefinementSummary;
using velk::calibration::RigRefinement;
using velk::calibration::RigRefinementProblem;
using velk::calibration::TargetScale;

namespace velk::bindings {
namespace {

const char* targetScaleName(TargetScale mode) {
    switch (mode) {
        case TargetScale::Fixed: return "fixed";
        case TargetScale::Fitted: return "fitted";
        case TargetScale::Measured: break;
    }
    return "measured";
}

TargetScale targetScaleOf(const std::string& name) {
    for (TargetScale mode : {TargetScale::Fixed, TargetScale::Measured, TargetScale::Fitted}) {
        if (name == targetScaleName(mode)) {
            return mode;
        }
    }
    throw py::value_error("RefinementOptions.target_scale: expected 'fixed', 'measured' or 'fitted', got '" + name +
                          "'");
}

void bindRefinementOptions(py::module_& module) {
    py::classh<RefinementOptions>(module, "RefinementOptions", "Tunables of the joint reprojection-error refinement.")
        .def(py::init<>(), "Default tunables: Huber scale 1 px, given intrinsics held fixed.")
        .def_readwrite("huber_scale_px", &RefinementOptions::huber_scale_px)
        .def_readwrite("max_iterations", &RefinementOptions::max_iterations)
        .def_readwrite("refine_given_intrinsics", &RefinementOptions::refine_given_intrinsics)
        .def_readwrite("outlier_z_score", &RefinementOptions::outlier_z_score)
        .def_readwrite("robot_translation_sigma_mm", &RefinementOptions::robot_translation_sigma_mm,
                       "Robot pose error of a hand-eye refinement, 1-sigma per axis in mm: negative (default) "
                       "estimated from the data, 0 robot poses exact, positive held at that value.")
        .def_readwrite("robot_rotation_sigma_deg", &RefinementOptions::robot_rotation_sigma_deg,
                       "Robot pose error, 1-sigma per axis in deg: negative (default) estimated, 0 exact, positive "
                       "held.")
        .def_readwrite("pixel_sigma_px", &RefinementOptions::pixel_sigma_px,
                       "Corner noise of a hand-eye refinement that models the robot's error, 1-sigma per image "
                       "coordinate in px: negative (default) estimated from the data, positive held at that value.")
        .def_readwrite("intrinsic_sigmas_px", &RefinementOptions::intrinsic_sigmas_px,
                       "1-sigma [fx, fy, cx, cy] in pixels of intrinsics that were passed in; empty (default): "
                       "exact.")
        .def_property(
            "target_scale", [](const RefinementOptions& options) { return targetScaleName(options.target_scale); },
            [](RefinementOptions& options, const std::string& name) { options.target_scale = targetScaleOf(name); },
            "How a hand-eye refinement with the robot error modelled treats the target's true size against its "
            "description, which the robot's translations measure: 'measured' (default) estimates it in a second "
            "solve and reports it beside a result at the described size; 'fitted' solves the result with the size "
            "as one more unknown; 'fixed' takes the described size.")
        .def_readwrite(
            "held_out_resolves", &RefinementOptions::held_out_resolves,
            "Held-out validation of a refined rig or of a hand-eye refinement that models the robot's error: "
            "False (default) predicts each view (rig: frame) from one Gauss-Newton step from the full "
            "solution without it; True re-solves without each (slower; the step agrees with the re-solves "
            "to a small fraction of the noise).");
}

void bindPoseSigma(py::module_& module) {
    py::classh<PoseSigma>(module, "PoseSigma", "1-sigma of a rigid transform, in its parent frame (mm, deg).")
        .def_readonly("translation_mm", &PoseSigma::translation_mm)
        .def_readonly("translation_norm_mm", &PoseSigma::translation_norm_mm)
        .def_readonly("rotation_deg", &PoseSigma::rotation_deg)
        .def_readonly("rotation_norm_deg", &PoseSigma::rotation_norm_deg);
}

void bindRefinementSummary(py::module_& module) {
    py::classh<RefinementSummary>(module, "RefinementSummary", "What the least-squares solver reported.")
        .def_readonly("iterations", &RefinementSummary::iterations)
        .def_readonly("initial_cost", &RefinementSummary::initial_cost)
        .def_readonly("final_cost", &RefinementSummary::final_cost)
        .def_readonly("converged", &RefinementSummary::converged)
        .def_readonly("message", &RefinementSummary::message)
        .def_readonly("round_seconds", &RefinementSummary::round_seconds,
                      "Wall-clock seconds of each noise-level round: its solve and the variance components at its "
                      "solution.")
        .def_readonly("final_solve_seconds", &RefinementSummary::final_solve_seconds,
                      "Wall-clock seconds of the last solve, under the settled noise levels.")
        .def_readonly("covariance_seconds", &RefinementSummary::covariance_seconds,
                      "Wall-clock seconds of the covariance at the final solution.");
}

void bindHandEyeRefinementProblem(py::module_& module) {
    using Problem = HandEyeRefinementProblem;
    py::classh<Problem>(module, "HandEyeRefinementProblem",
                        "Corners and starting values of a joint hand-eye refinement: camera_T_target_i = "
                        "inv(camera_mount_T_camera) * camera_mount_T_target_mount_i * target_mount_T_target.")
        .def(py::init<>(), "An empty problem; fill in the poses (4x4, metres), corners (pixels) and intrinsics.")
        .def_readwrite("camera_mount_T_camera", &Problem::camera_mount_T_camera)
        .def_readwrite("target_mount_T_target", &Problem::target_mount_T_target)
        .def_readwrite("camera_mount_T_target_mount_list", &Problem::camera_mount_T_target_mount_list)
        .def_readwrite("object_points", &Problem::object_points)
        .def_readwrite("image_points", &Problem::image_points)
        .def_readwrite("intrinsic_matrix", &Problem::intrinsic_matrix)
        .def_readwrite("distortion_coefficients", &Problem::distortion_coefficients)
        .def_readwrite("refine_intrinsics", &Problem::refine_intrinsics)
        .def_readwrite("calibration_flags", &Problem::calibration_flags)
        .def_property(
            "camera_model",
            [](const Problem& problem) { return std::string(velk::cameraModelName(problem.camera_model)); },
            [](Problem& problem, const std::string& name) {
                problem.camera_model = velk::cameraModelFromName(name, "HandEyeRefinementProblem");
            },
            "'pinhole' or 'fisheye': the lens model the views are posed and projected with (fisheye: "
            "calibration_flags are cv.fisheye flags).")
        .def_readwrite("eye_to_hand", &Problem::eye_to_hand,
                       "False: camera_mount_T_target_mount_i = inv(robot_T_tcp_i) (eye-in-hand); True: robot_T_tcp_i "
                       "(eye-to-hand). Robot pose errors are modelled in the flange frame.")
        .def_readwrite("view_frames", &Problem::view_frames,
                       "The caller's frame of each view, carried into the result; empty (default): 0, 1, ...")
        .def_readwrite("target_scale", &Problem::target_scale,
                       "The target's size over its description where a solve that fits it starts (default 1).")
        .def_readwrite("mount_components", &Problem::mount_components,
                       "Translations of the flange-side transform (eye-in-hand camera_mount_T_camera, eye-to-hand "
                       "target_mount_T_target) known from outside the pictures (MountComponent); empty (default): "
                       "those the motions do not determine are held at their start and flagged.");
}

void bindMountComponents(py::module_& module) {
    using velk::calibration::MountComponent;
    using velk::calibration::MountComponentOutcome;
    py::classh<MountComponent>(module, "MountComponent",
                               "A translation of the flange-side transform known from outside the pictures.")
        .def(py::init([](const std::string& component, double value, double sigma) {
                 return MountComponent{component, value, sigma};
             }),
             py::arg("component"), py::arg("value"), py::arg("sigma") = 0.0,
             "component: 'tx', 'ty' or 'tz'; value in metres; sigma: 0 holds it at value, a positive 1-sigma "
             "(metres) ties it to value.")
        .def_readwrite("component", &MountComponent::component)
        .def_readwrite("value", &MountComponent::value)
        .def_readwrite("sigma", &MountComponent::sigma);
    py::classh<MountComponentOutcome>(
        module, "MountComponentOutcome",
        "A component of the hand-eye transforms the robot's motions do not determine (1-sigma from the pictures "
        "alone beyond 10 mm or 1 deg), or one given from outside, and how the refinement set it.")
        .def_readonly("transform", &MountComponentOutcome::transform,
                      "'tcp_T_camera', 'world_T_target', 'robot_T_camera' or 'tcp_T_target'.")
        .def_readonly("component", &MountComponentOutcome::component,
                      "'tx', 'ty', 'tz' (metres) or 'rx', 'ry', 'rz' (a turn about the frame's axis).")
        .def_readonly("source", &MountComponentOutcome::source,
                      "'fixed' or 'prior' (given), 'held': kept at its start and not measured.")
        .def_readonly("undetermined", &MountComponentOutcome::undetermined, "The pictures alone do not determine it.")
        .def_readonly("value", &MountComponentOutcome::value, "The translation in metres (0 for a turn).")
        .def_readonly("sigma", &MountComponentOutcome::sigma,
                      "1-sigma as reported (metres; degrees for a turn): 0 fixed, about the prior's, infinite when "
                      "held.")
        .def_readonly("data_sigma", &MountComponentOutcome::data_sigma,
                      "1-sigma along it from the pictures alone (mm or deg); infinite when they hold nothing.")
        .def_readonly("coupled_transform", &MountComponentOutcome::coupled_transform,
                      "The other transform whose component moves with it along the undetermined direction.")
        .def_readonly("coupled_component", &MountComponentOutcome::coupled_component,
                      "That component ('tz' ...); empty when none does.")
        .def_readonly("sentence", &MountComponentOutcome::sentence,
                      "'the camera's offset along the flange's z axis (tz of tcp_T_camera) is not determined: every "
                      "rotation is about parallel axes'; empty for a given component the pictures determine.")
        .def_readonly("measurement", &MountComponentOutcome::measurement, "What would complete it.");
}

void bindHandEyeRefinement(py::module_& module) {
    py::classh<HandEyeRefinement>(module, "HandEyeRefinement", "Outcome of a joint hand-eye refinement.")
        .def_readonly("refined", &HandEyeRefinement::refined)
        .def_readonly("reason", &HandEyeRefinement::reason)
        .def_readonly("camera_mount_T_camera", &HandEyeRefinement::camera_mount_T_camera)
        .def_readonly("target_mount_T_target", &HandEyeRefinement::target_mount_T_target)
        .def_readonly("intrinsic_matrix", &HandEyeRefinement::intrinsic_matrix)
        .def_readonly("distortion_coefficients", &HandEyeRefinement::distortion_coefficients)
        .def_readonly("intrinsics_refined", &HandEyeRefinement::intrinsics_refined)
        .def_readonly("camera_sigma", &HandEyeRefinement::camera_sigma)
        .def_readonly("target_sigma", &HandEyeRefinement::target_sigma)
        .def_readonly("intrinsic_sigmas", &HandEyeRefinement::intrinsic_sigmas)
        .def_readonly("per_view_rms_px", &HandEyeRefinement::per_view_rms_px)
        .def_readonly("outlier_views", &HandEyeRefinement::outlier_views)
        .def_readonly("rms_px", &HandEyeRefinement::rms_px)
        .def_readonly("corner_count", &HandEyeRefinement::corner_count)
        .def_readonly("view_frames", &HandEyeRefinement::view_frames,
                      "The frame of each view: a calibrator's result numbers them by position in its "
                      "valid_image_list.")
        .def_readonly("projected_corners", &HandEyeRefinement::projected_corners,
                      "Per view, the corners' pixels (N x 2, in the order of the view's points) under the refined "
                      "model as the solver evaluated them, the robot pose corrections included; empty unless "
                      "refined.")
        .def_readonly("summary", &HandEyeRefinement::summary)
        .def_readonly("robot_error_modelled", &HandEyeRefinement::robot_error_modelled)
        .def_readonly("noise_estimated", &HandEyeRefinement::noise_estimated)
        .def_readonly("noise_settled", &HandEyeRefinement::noise_settled)
        .def_readonly("robot_translation_noise_mm", &HandEyeRefinement::robot_translation_noise_mm)
        .def_readonly("robot_rotation_noise_deg", &HandEyeRefinement::robot_rotation_noise_deg)
        .def_readonly("pixel_noise_px", &HandEyeRefinement::pixel_noise_px)
        .def_readonly("robot_pose_corrections", &HandEyeRefinement::robot_pose_corrections)
        .def_readonly("suspect_poses", &HandEyeRefinement::suspect_poses)
        .def_readonly("noise_warning", &HandEyeRefinement::noise_warning)
        .def_readonly("joint_covariance", &HandEyeRefinement::joint_covariance,
                      "Covariance (16 x 16, row-major) of camera_mount_T_camera [w, t], target_mount_T_target [w, t] "
                      "(rad, m; rotation update on the left) and [fx, fy, cx, cy] (px); empty unless the robot error "
                      "was modelled.")
        .def_readonly("view_labels", &HandEyeRefinement::view_labels,
                      "How the log and report name each view ('8 (image_8.png)'); empty: by its number.")
        .def_readonly("target_scale_measured", &HandEyeRefinement::target_scale_measured,
                      "The target's true size was measured against its description (RefinementOptions.target_scale "
                      "not 'fixed', robot error modelled).")
        .def_readonly("target_scale_applied", &HandEyeRefinement::target_scale_applied,
                      "The refined values are solved at the measured size ('fitted').")
        .def_readonly("target_scale", &HandEyeRefinement::target_scale,
                      "The target's true size over its described size; 1 when not measured.")
        .def_readonly("target_scale_sigma", &HandEyeRefinement::target_scale_sigma,
                      "1-sigma of target_scale; 0 when not measured.")
        .def_readonly("target_scale_differs", &HandEyeRefinement::target_scale_differs,
                      "The measured size differs from the description by more than 3 sigma (with 0.2 % for the robot's "
                      "own length scale) and more than 0.3 %.")
        .def_readonly("target_scale_reason", &HandEyeRefinement::target_scale_reason,
                      "Why the size was not measured, when it was asked for.")
        .def_readonly("mount_components", &HandEyeRefinement::mount_components,
                      "The components the robot's motions do not determine and those given from outside "
                      "(MountComponentOutcome); empty when the robot error was not modelled.")
        .def("robot_noise_sentence", &velk::calibration::robotNoiseSentence,
             "The report's sentence on the robot's pose error: 'Robot poses agree with the pictures to 0.42 mm / "
             "0.041 deg RMS per axis (estimated)'.");
}

void bindRefineHandEye(py::module_& module) {
    module.def("refine_hand_eye", &velk::calibration::refineHandEye, py::arg("problem"),
               py::arg("options") = RefinementOptions(),
               "Refines a hand-eye solution (and optionally the intrinsics) over every corner; keeps the starting "
               "values with refined False and the reason when the refinement fails.");
}

void bindRigRefinementProblem(py::module_& module) {
    using Problem = RigRefinementProblem;
    py::classh<Problem>(module, "RigRefinementProblem",
                        "Corners and starting values of a joint rig refinement: camera_k_T_target_f = "
                        "inv(reference_T_camera_k) * reference_T_target_f; points are indexed [camera][frame].")
        .def(py::init<>(), "An empty problem; fill in the poses (4x4, metres), corners (pixels) and intrinsics.")
        .def_readwrite("reference_index", &Problem::reference_index)
        .def_readwrite("reference_T_camera_list", &Problem::reference_T_camera_list)
        .def_readwrite("intrinsic_matrices", &Problem::intrinsic_matrices)
        .def_readwrite("distortion_coefficients", &Problem::distortion_coefficients)
        .def_readwrite("object_points", &Problem::object_points)
        .def_readwrite("image_points", &Problem::image_points)
        .def_readwrite("refine_intrinsics", &Problem::refine_intrinsics)
        .def_readwrite("calibration_flags", &Problem::calibration_flags);
}

void bindRigRefinement(py::module_& module) {
    py::classh<RigRefinement>(module, "RigRefinement", "Outcome of a joint rig refinement.")
        .def_readonly("refined", &RigRefinement::refined)
        .def_readonly("reason", &RigRefinement::reason)
        .def_readonly("reference_T_camera_list", &RigRefinement::reference_T_camera_list)
        .def_readonly("intrinsic_matrices", &RigRefinement::intrinsic_matrices)
        .def_readonly("distortion_coefficients", &RigRefinement::distortion_coefficients)
        .def_readonly("intrinsics_refined", &RigRefinement::intrinsics_refined)
        .def_readonly("camera_sigmas", &RigRefinement::camera_sigmas)
        .def_readonly("intrinsic_sigmas", &RigRefinement::intrinsic_sigmas)
        .def_readonly("frames_used", &RigRefinement::frames_used)
        .def_readonly("reference_T_target_list", &RigRefinement::reference_T_target_list)
        .def_readonly("view_cameras", &RigRefinement::view_cameras)
        .def_readonly("view_frames", &RigRefinement::view_frames)
        .def_readonly("per_view_rms_px", &RigRefinement::per_view_rms_px)
        .def_readonly("outlier_views", &RigRefinement::outlier_views)
        .def_readonly("rms_px", &RigRefinement::rms_px)
        .def_readonly("corner_count", &RigRefinement::corner_count)
        .def_readonly("projected_corners", &RigRefinement::projected_corners,
                      "Per view (view_cameras, view_frames), the corners' pixels (N x 2, in the order of the view's "
                      "points) under the refined rig as the solver evaluated them; empty unless refined.")
        .def_readonly("summary", &RigRefinement::summary);
}

void bindRefineRig(py::module_& module) {
    module.def("refine_rig", &velk::calibration::refineRig, py::arg("problem"),
               py::arg("options") = RefinementOptions(),
               "Refines every camera pose (and optionally the intrinsics) of a rig over all frames seen by two or "
               "more cameras; keeps the starting values with refined False and the reason when it fails.");
}

}  // namespace

void registerRefinementBindings(py::module_& module) {
    bindRefinementOptions(module);
    bindPoseSigma(module);
    bindRefinementSummary(module);
    bindMountComponents(module);
    bindHandEyeRefinementProblem(module);
    bindHandEyeRefinement(module);
    bindRefineHandEye(module);
    bindRigRefinementProblem(module);
    bindRigRefinement(module);
    bindRefineRig(module);
}

}  // namespace velk::bindings
