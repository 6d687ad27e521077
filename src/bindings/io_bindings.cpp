#include "bindings/registrars.hpp"
#include "bindings/type_casters.hpp"
#include "calibration/cell/cell_record.hpp"
#include "calibration/hand_eye/hand_eye_records.hpp"
#include "calibration/rig/rig_record.hpp"
#include "io/cell_record.hpp"
#include "io/hand_eye_dataset.hpp"
#include "io/multi_camera_dataset.hpp"
#include "io/result_record_files.hpp"
#include "io/robot_pose_files.hpp"

namespace py = pybind11;
using velk::io::EyeToHandResultRecord;
using velk::io::HandEyeResultRecord;
using velk::io::MultiCameraCalibrationRecord;
using velk::io::RefinementRecord;
using velk::io::RobotNoiseRecord;
using velk::io::TargetScaleRecord;
using velk::io::ValidationRecord;

namespace velk::bindings {
namespace {

void bindRobotNoiseRecord(py::module_& io) {
    py::classh<RobotNoiseRecord>(io, "RobotNoiseRecord",
                                 "The robot pose error a hand-eye refinement found: noise levels (mm, deg, px, "
                                 "1-sigma per axis), the correction of every flange pose and the suspect poses.")
        .def(py::init<>(), "An empty robot noise record.")
        .def_readwrite("estimated", &RobotNoiseRecord::estimated)
        .def_readwrite("translation_mm", &RobotNoiseRecord::translation_mm)
        .def_readwrite("rotation_deg", &RobotNoiseRecord::rotation_deg)
        .def_readwrite("pixel_px", &RobotNoiseRecord::pixel_px)
        .def_readwrite("pose_corrections", &RobotNoiseRecord::pose_corrections)
        .def_readwrite("suspect_poses", &RobotNoiseRecord::suspect_poses)
        .def_readwrite("warning", &RobotNoiseRecord::warning);
}

void bindTargetScaleRecord(py::module_& io) {
    py::classh<TargetScaleRecord>(io, "TargetScaleRecord",
                                  "The target's true size over its description, measured by a hand-eye refinement "
                                  "from the robot's translations: scale with its 1-sigma, whether the record's "
                                  "transforms are solved at it (applied) and whether it differs from the "
                                  "description beyond its noise and 0.3 % (differs).")
        .def(py::init<>(), "An empty target scale record (scale 1).")
        .def_readwrite("scale", &TargetScaleRecord::scale)
        .def_readwrite("sigma", &TargetScaleRecord::sigma)
        .def_readwrite("applied", &TargetScaleRecord::applied)
        .def_readwrite("differs", &TargetScaleRecord::differs);
}

void bindValidationRecord(py::module_& io) {
    py::classh<ValidationRecord>(io, "ValidationRecord",
                                 "Held-out validation as a result record stores it: per view and summarized "
                                 "(pixels, mm, deg; NaN where no figure exists).")
        .def(py::init<>(), "An empty validation record (validated false).")
        .def_readwrite("validated", &ValidationRecord::validated)
        .def_readwrite("reason", &ValidationRecord::reason)
        .def_readwrite("frames", &ValidationRecord::frames)
        .def_readwrite("cameras", &ValidationRecord::cameras)
        .def_readwrite("held_out_rms_px", &ValidationRecord::held_out_rms_px)
        .def_readwrite("fitted_rms_px", &ValidationRecord::fitted_rms_px)
        .def_readwrite("translation_mm", &ValidationRecord::translation_mm)
        .def_readwrite("rotation_deg", &ValidationRecord::rotation_deg)
        .def_readwrite("predicted_rms_px", &ValidationRecord::predicted_rms_px)
        .def_readwrite("median_px", &ValidationRecord::median_px)
        .def_readwrite("p90_px", &ValidationRecord::p90_px)
        .def_readwrite("median_mm", &ValidationRecord::median_mm)
        .def_readwrite("median_deg", &ValidationRecord::median_deg)
        .def_readwrite("worst_frames", &ValidationRecord::worst_frames)
        .def_readwrite("observed_over_predicted", &ValidationRecord::observed_over_predicted);
}

void bindMountComponentRecord(py::module_& io) {
    using velk::io::MountComponentRecord;
    py::classh<MountComponentRecord>(io, "MountComponentRecord",
                                     "A component of the hand-eye transforms the robot's motions do not determine, "
                                     "or one given from outside the pictures.")
        .def(py::init<>(), "An empty component record.")
        .def_readwrite("transform", &MountComponentRecord::transform)
        .def_readwrite("component", &MountComponentRecord::component)
        .def_readwrite("source", &MountComponentRecord::source, "'fixed', 'prior' or 'held' (not measured).")
        .def_readwrite("undetermined", &MountComponentRecord::undetermined)
        .def_readwrite("value", &MountComponentRecord::value, "Metres (0 for a turn).")
        .def_readwrite("sigma", &MountComponentRecord::sigma, "Metres (degrees for a turn); infinite when held.")
        .def_readwrite("sentence", &MountComponentRecord::sentence)
        .def_readwrite("measurement", &MountComponentRecord::measurement);
}

void bindRefinementRecord(py::module_& io) {
    py::classh<RefinementRecord>(io, "RefinementRecord",
                                 "What a joint refinement adds to a result record (sigmas: mm and deg, pixels).")
        .def(py::init<>(), "An empty refinement record (refined false).")
        .def_readwrite("refined", &RefinementRecord::refined)
        .def_readwrite("reason", &RefinementRecord::reason)
        .def_readwrite("unrefined_poses", &RefinementRecord::unrefined_poses)
        .def_readwrite("pose_sigmas", &RefinementRecord::pose_sigmas)
        .def_readwrite("target_poses", &RefinementRecord::target_poses)
        .def_readwrite("target_pose_sigmas", &RefinementRecord::target_pose_sigmas)
        .def_readwrite("intrinsic_sigmas", &RefinementRecord::intrinsic_sigmas)
        .def_readwrite("per_view_rms_px", &RefinementRecord::per_view_rms_px)
        .def_readwrite("outlier_views", &RefinementRecord::outlier_views)
        .def_readwrite("rms_px", &RefinementRecord::rms_px)
        .def_readwrite("iterations", &RefinementRecord::iterations)
        .def_readwrite("initial_cost", &RefinementRecord::initial_cost)
        .def_readwrite("final_cost", &RefinementRecord::final_cost)
        .def_readwrite("converged", &RefinementRecord::converged)
        .def_readwrite("robot_noise", &RefinementRecord::robot_noise)
        .def_readwrite("target_scale", &RefinementRecord::target_scale,
                       "TargetScaleRecord when the refinement measured the target's size, else None.")
        .def_readwrite("mount_components", &RefinementRecord::mount_components,
                       "MountComponentRecord per component the robot's motions leave undetermined or that was "
                       "given; the sigmas along a held one are NaN (not measured).");
}

void bindKinematicsRecord(py::module_& io) {
    using velk::io::KinematicParameterRecord;
    using velk::io::KinematicPredictionRecord;
    using velk::io::KinematicsRecord;
    py::classh<KinematicParameterRecord>(io, "KinematicParameterRecord",
                                         "One correction of the arm's chain: estimated with its 1-sigma, or held.")
        .def(py::init<>(), "An empty correction (held, value 0).")
        .def_readwrite("name", &KinematicParameterRecord::name)
        .def_readwrite("unit", &KinematicParameterRecord::unit, "'rad' or 'm'.")
        .def_readwrite("value", &KinematicParameterRecord::value)
        .def_readwrite("sigma", &KinematicParameterRecord::sigma, "1-sigma, None when held.")
        .def_readwrite("estimated", &KinematicParameterRecord::estimated)
        .def_readwrite("held", &KinematicParameterRecord::held, "Why held; empty when estimated.");
    py::classh<KinematicPredictionRecord>(io, "KinematicPredictionRecord",
                                          "Views left out of the fit, predicted by the nominal and the calibrated "
                                          "chain: RMS px, median board mm and deg.")
        .def(py::init<>(), "An empty prediction (no folds).")
        .def_readwrite("folds", &KinematicPredictionRecord::folds)
        .def_readwrite("nominal_px", &KinematicPredictionRecord::nominal_px)
        .def_readwrite("calibrated_px", &KinematicPredictionRecord::calibrated_px)
        .def_readwrite("nominal_mm", &KinematicPredictionRecord::nominal_mm)
        .def_readwrite("calibrated_mm", &KinematicPredictionRecord::calibrated_mm)
        .def_readwrite("nominal_deg", &KinematicPredictionRecord::nominal_deg)
        .def_readwrite("calibrated_deg", &KinematicPredictionRecord::calibrated_deg);
    py::classh<KinematicsRecord>(io, "KinematicsRecord",
                                 "A hand-eye calibration through the arm's kinematic chain, as a record stores it.")
        .def(py::init<>(), "An empty record: no corrections, not applied.")
        .def_readwrite("model", &KinematicsRecord::model)
        .def_readwrite("mode", &KinematicsRecord::mode, "'offsets' or 'full'.")
        .def_readwrite("base_frame", &KinematicsRecord::base_frame)
        .def_readwrite("flange_frame", &KinematicsRecord::flange_frame)
        .def_readwrite("parameters", &KinematicsRecord::parameters, "KinematicParameterRecord per correction.")
        .def_readwrite("camera_mount_T_camera", &KinematicsRecord::camera_mount_T_camera, "One 4x4 transform.")
        .def_readwrite("target_mount_T_target", &KinematicsRecord::target_mount_T_target, "One 4x4 transform.")
        .def_readwrite("camera_sigma", &KinematicsRecord::camera_sigma, "x, y, z mm, rx, ry, rz deg.")
        .def_readwrite("target_sigma", &KinematicsRecord::target_sigma, "x, y, z mm, rx, ry, rz deg.")
        .def_readwrite("corrected_flange_poses", &KinematicsRecord::corrected_flange_poses,
                       "base_T_flange of every view used, through the corrected chain.")
        .def_readwrite("chi_square", &KinematicsRecord::chi_square)
        .def_readwrite("chi_square_limit", &KinematicsRecord::chi_square_limit)
        .def_readwrite("held_out", &KinematicsRecord::held_out, "KinematicPredictionRecord, or None.")
        .def_readwrite("helps", &KinematicsRecord::helps, "The calibrated chain predicts held-out views better.")
        .def_readwrite("applied", &KinematicsRecord::applied,
                       "The record's transforms are those of the calibration through the chain.");
}

void bindAnnotationRecords(py::module_& io) {
    using velk::io::CheckRecord;
    using velk::io::IntrinsicsUsedRecord;
    using velk::io::RefinementAppliedRecord;
    using velk::io::VerdictRecord;
    py::classh<CheckRecord>(io, "CheckRecord", "One check of a verdict as a result record stores it.")
        .def(py::init<>(), "An empty check.")
        .def_readwrite("name", &CheckRecord::name)
        .def_readwrite("passed", &CheckRecord::passed, "True, False, or None when there was nothing to judge.")
        .def_readwrite("figures", &CheckRecord::figures)
        .def_readwrite("limit", &CheckRecord::limit);
    py::classh<VerdictRecord>(io, "VerdictRecord", "The verdict of a result as its record stores it.")
        .def(py::init<>(), "An empty verdict (not passed).")
        .def_readwrite("passed", &VerdictRecord::passed)
        .def_readwrite("text", &VerdictRecord::text, "The verdict line.")
        .def_readwrite("causes", &VerdictRecord::causes, "Likely causes of a failure.")
        .def_readwrite("checks", &VerdictRecord::checks, "Every check (CheckRecord).")
        .def_readwrite("warnings", &VerdictRecord::warnings,
                       "What a passing result leaves to act on (extrapolated distortion, unused pictures, ...).");
    py::classh<IntrinsicsUsedRecord>(io, "IntrinsicsUsedRecord",
                                     "The intrinsics a hand-eye result was solved with (pixels).")
        .def(py::init<>(), "An empty record of the intrinsics used.")
        .def_readwrite("source", &IntrinsicsUsedRecord::source, "'given' or 'calibrated from the pictures'.")
        .def_readwrite("camera_matrix", &IntrinsicsUsedRecord::camera_matrix, "3 rows of 3 numbers.")
        .def_readwrite("distortion_coefficients", &IntrinsicsUsedRecord::distortion_coefficients)
        .def_readwrite("refined", &IntrinsicsUsedRecord::refined);
    py::classh<RefinementAppliedRecord>(io, "RefinementAppliedRecord",
                                        "Whether the saved result is the refined one, what was refined, or why not.")
        .def(py::init<>(), "An empty record: not refined.")
        .def_readwrite("refined", &RefinementAppliedRecord::refined)
        .def_readwrite("what", &RefinementAppliedRecord::what)
        .def_readwrite("reason", &RefinementAppliedRecord::reason)
        .def_readwrite("rms_px", &RefinementAppliedRecord::rms_px, "RMS over every corner, None when not refined.");
}

// The annotations every result record carries, bound on each record class.
template <typename Record>
void bindAnnotations(py::classh<Record>& record) {
    record.def_readwrite("units", &Record::units, "What the numbers are in (member name to unit); {}: not written.")
        .def_readwrite("intrinsics_used", &Record::intrinsics_used, "IntrinsicsUsedRecord, or None.")
        .def_readwrite("refinement_applied", &Record::refinement_applied, "RefinementAppliedRecord, or None.")
        .def_readwrite("saved_method", &Record::saved_method, "How the saved transform was found, or None.")
        .def_readwrite("image_names", &Record::image_names, "The file name of each frame used, or None.")
        .def_readwrite("verdict", &Record::verdict, "VerdictRecord, or None.")
        .def_readwrite("kinematics", &Record::kinematics, "KinematicsRecord, or None.");
}

void bindHandEyeResultRecord(py::module_& io) {
    py::classh<HandEyeResultRecord> record(
        io, "HandEyeResultRecord",
        "Eye-in-hand result as stored in hand_eye.json: tcp_T_camera_list, camera in the flange frame, 4x4, "
        "metres.");
    record
        .def(py::init<>(),
             "An empty record of an eye-in-hand result; tcp_T_camera_list holds camera-in-flange poses (4x4, "
             "metres).")
        .def_readwrite("reference_index", &HandEyeResultRecord::reference_index)
        .def_readwrite("num_cameras", &HandEyeResultRecord::num_cameras)
        .def_readwrite("method", &HandEyeResultRecord::method)
        .def_readwrite("num_frames_used", &HandEyeResultRecord::num_frames_used)
        .def_readwrite("num_frames_total", &HandEyeResultRecord::num_frames_total)
        .def_readwrite("tcp_T_camera_list", &HandEyeResultRecord::tcp_T_camera_list)
        .def_readwrite("camera_model", &HandEyeResultRecord::camera_model,
                       "Lens model the transforms were found with: 'pinhole' (also for records without the member) "
                       "or 'fisheye'.")
        .def_readwrite("refinement", &HandEyeResultRecord::refinement)
        .def_readwrite("validation", &HandEyeResultRecord::validation);
    bindAnnotations(record);
}

void bindEyeToHandResultRecord(py::module_& io) {
    py::classh<EyeToHandResultRecord> record(
        io, "EyeToHandResultRecord",
        "Eye-to-hand result as stored in its JSON file: robot_T_camera_list (camera in the robot base frame) "
        "and tcp_T_target (target in the flange frame), 4x4, metres.");
    record
        .def(py::init<>(),
             "An empty record of an eye-to-hand result; robot_T_camera_list holds camera-in-robot-base poses and "
             "tcp_T_target the target in the flange frame (4x4, metres).")
        .def_readwrite("reference_index", &EyeToHandResultRecord::reference_index)
        .def_readwrite("num_cameras", &EyeToHandResultRecord::num_cameras)
        .def_readwrite("method", &EyeToHandResultRecord::method)
        .def_readwrite("num_frames_used", &EyeToHandResultRecord::num_frames_used)
        .def_readwrite("num_frames_total", &EyeToHandResultRecord::num_frames_total)
        .def_readwrite("robot_T_camera_list", &EyeToHandResultRecord::robot_T_camera_list)
        .def_readwrite("camera_model", &EyeToHandResultRecord::camera_model,
                       "Lens model the transforms were found with: 'pinhole' (also for records without the member) "
                       "or 'fisheye'.")
        .def_readwrite("tcp_T_target", &EyeToHandResultRecord::tcp_T_target)
        .def_readwrite("refinement", &EyeToHandResultRecord::refinement)
        .def_readwrite("validation", &EyeToHandResultRecord::validation);
    bindAnnotations(record);
}

void bindCellCalibrationRecord(py::module_& io) {
    using velk::io::CameraPairRecord;
    using velk::io::CellCalibrationRecord;
    using velk::io::CellCameraRecord;
    py::classh<CameraPairRecord>(io, "CameraPairRecord", "One camera's pose in another's, as cell.json stores it.")
        .def(py::init<>(), "An empty camera pair: the first camera's own pose, no sigma.")
        .def_readwrite("first", &CameraPairRecord::first)
        .def_readwrite("second", &CameraPairRecord::second)
        .def_readwrite("first_T_second", &CameraPairRecord::first_T_second)
        .def_readwrite("sigma", &CameraPairRecord::sigma, "[x, y, z] mm, [rx, ry, rz] deg.")
        .def_readwrite("covariance", &CameraPairRecord::covariance);
    py::classh<CellCameraRecord>(io, "CellCameraRecord", "What cell.json stores of one camera beyond its poses.")
        .def(py::init<>(), "An empty camera record: no name, no sigmas, no validation.")
        .def_readwrite("name", &CellCameraRecord::name)
        .def_readwrite("intrinsics_source", &CellCameraRecord::intrinsics_source)
        .def_readwrite("sigma", &CellCameraRecord::sigma)
        .def_readwrite("intrinsic_sigmas", &CellCameraRecord::intrinsic_sigmas)
        .def_readwrite("rms_px", &CellCameraRecord::rms_px)
        .def_readwrite("poses", &CellCameraRecord::poses)
        .def_readwrite("image_names", &CellCameraRecord::image_names)
        .def_readwrite("validation", &CellCameraRecord::validation);
    py::classh<CellCalibrationRecord> record(
        io, "CellCalibrationRecord",
        "A cell calibration as stored in cell.json; the hand-eye reader of its set-up and the rig reader read it "
        "too. Poses 4x4 in metres.");
    record.def(py::init<>(), "An empty record of a cell of stationary cameras, with no camera.")
        .def_readwrite("eye_to_hand", &CellCalibrationRecord::eye_to_hand)
        .def_readwrite("reference_index", &CellCalibrationRecord::reference_index)
        .def_readwrite("num_cameras", &CellCalibrationRecord::num_cameras)
        .def_readwrite("method", &CellCalibrationRecord::method)
        .def_readwrite("num_frames_used", &CellCalibrationRecord::num_frames_used)
        .def_readwrite("num_frames_total", &CellCalibrationRecord::num_frames_total)
        .def_readwrite("camera_model", &CellCalibrationRecord::camera_model)
        .def_readwrite("robot_T_camera_list", &CellCalibrationRecord::robot_T_camera_list)
        .def_readwrite("tcp_T_target", &CellCalibrationRecord::tcp_T_target)
        .def_readwrite("tcp_T_camera_list", &CellCalibrationRecord::tcp_T_camera_list)
        .def_readwrite("world_T_target", &CellCalibrationRecord::world_T_target)
        .def_readwrite("target_sigma", &CellCalibrationRecord::target_sigma)
        .def_readwrite("intrinsic_matrices", &CellCalibrationRecord::intrinsic_matrices)
        .def_readwrite("distortion_coefficients", &CellCalibrationRecord::distortion_coefficients)
        .def_readwrite("reference_T_camera_list", &CellCalibrationRecord::reference_T_camera_list)
        .def_readwrite("intrinsic_reprojection_errors", &CellCalibrationRecord::intrinsic_reprojection_errors)
        .def_readwrite("cameras", &CellCalibrationRecord::cameras)
        .def_readwrite("camera_pairs", &CellCalibrationRecord::camera_pairs)
        .def_readwrite("robot_translation_noise_mm", &CellCalibrationRecord::robot_translation_noise_mm)
        .def_readwrite("robot_rotation_noise_deg", &CellCalibrationRecord::robot_rotation_noise_deg)
        .def_readwrite("pixel_noise_px", &CellCalibrationRecord::pixel_noise_px)
        .def_readwrite("noise_settled", &CellCalibrationRecord::noise_settled)
        .def_readwrite("robot_pose_corrections", &CellCalibrationRecord::robot_pose_corrections)
        .def_readwrite("rms_px", &CellCalibrationRecord::rms_px)
        .def_readwrite("corner_count", &CellCalibrationRecord::corner_count);
    bindAnnotations(record);
    io.def("save_cell_calibration", &velk::io::save_cell_calibration, py::arg("output_path"), py::arg("record"),
           "Write a CellCalibrationRecord as JSON (a folder gets cell.json); returns the file written.");
    io.def("load_cell_calibration", &velk::io::load_cell_calibration, py::arg("input_path"),
           "Read a CellCalibrationRecord from cell.json (or a folder holding it).");
}

void bindMultiCameraCalibrationRecord(py::module_& io) {
    py::classh<MultiCameraCalibrationRecord> record(
        io, "MultiCameraCalibrationRecord",
        "Rig calibration as stored in multi_camera_calibration.json: reference_T_camera_list (camera in the "
        "reference camera's frame, 4x4, metres), intrinsics and reprojection errors in pixels.");
    record
        .def(py::init<>(),
             "An empty record of a rig calibration; reference_T_camera_list holds camera-in-reference-camera poses"
             " (4x4, metres), intrinsics and errors are in pixels.")
        .def_readwrite("reference_index", &MultiCameraCalibrationRecord::reference_index)
        .def_readwrite("num_cameras", &MultiCameraCalibrationRecord::num_cameras)
        .def_readwrite("camera_model", &MultiCameraCalibrationRecord::camera_model,
                       "\"pinhole\" or \"fisheye\" (distortion rows k1..k4); files without it load as pinhole.")
        .def_readwrite("intrinsic_matrices", &MultiCameraCalibrationRecord::intrinsic_matrices)
        .def_readwrite("distortion_coefficients", &MultiCameraCalibrationRecord::distortion_coefficients)
        .def_readwrite("reference_T_camera_list", &MultiCameraCalibrationRecord::reference_T_camera_list)
        .def_readwrite("intrinsic_reprojection_errors", &MultiCameraCalibrationRecord::intrinsic_reprojection_errors)
        .def_readwrite("pair_reprojection_errors", &MultiCameraCalibrationRecord::pair_reprojection_errors)
        .def_readwrite("refinement", &MultiCameraCalibrationRecord::refinement)
        .def_readwrite("validation", &MultiCameraCalibrationRecord::validation);
    bindAnnotations(record);
}

void bindResultRecordFiles(py::module_& io) {
    io.def("save_hand_eye_result", &velk::io::save_hand_eye_result, py::arg("output_path"), py::arg("record"),
           "Write a HandEyeResultRecord as JSON (a folder gets hand_eye.json); returns the file written.");
    io.def("load_hand_eye_result", &velk::io::load_hand_eye_result, py::arg("input_path"),
           "Read a HandEyeResultRecord from its JSON file (poses 4x4, metres).");
    io.def("save_eye_to_hand_result", &velk::io::save_eye_to_hand_result, py::arg("output_path"), py::arg("record"),
           "Write an EyeToHandResultRecord as JSON (a folder gets eye_to_hand.json); returns the file written.");
    io.def("load_eye_to_hand_result", &velk::io::load_eye_to_hand_result, py::arg("input_path"),
           "Read an EyeToHandResultRecord from its JSON file (poses 4x4, metres).");
    io.def("save_multi_camera_calibration", &velk::io::save_multi_camera_calibration, py::arg("output_path"),
           py::arg("record"),
           "Write a MultiCameraCalibrationRecord as JSON (a folder gets multi_camera_calibration.json); returns "
           "the file written.");
    io.def("load_multi_camera_calibration", &velk::io::load_multi_camera_calibration, py::arg("input_path"),
           "Read a MultiCameraCalibrationRecord from its JSON file (poses 4x4, metres).");
}

void bindDatasets(py::module_& io) {
    io.def("save_hand_eye_dataset", &velk::io::save_hand_eye_dataset, py::arg("data_dir"), py::arg("image_list"),
           py::arg("robot_T_tcp_list"), py::arg("annotated_images") = std::vector<cv::Mat>{});
    io.def("load_hand_eye_dataset", &velk::io::load_hand_eye_dataset, py::arg("data_dir"),
           py::arg("image_format") = "png");
    io.def("next_multi_camera_capture_index", &velk::io::next_multi_camera_capture_index, py::arg("data_dir"),
           py::arg("num_cameras"));
    io.def("save_multi_camera_capture", &velk::io::save_multi_camera_capture, py::arg("data_dir"), py::arg("frames"),
           py::arg("capture_index"), py::arg("annotated_images") = std::vector<cv::Mat>{});
    io.def("save_multi_camera_robot_poses", &velk::io::save_multi_camera_robot_poses, py::arg("data_dir"),
           py::arg("robot_T_tcp_list"), py::arg("num_cameras"));
    io.def("load_multi_camera_robot_poses", &velk::io::load_multi_camera_robot_poses, py::arg("data_dir"));
    io.def("load_multi_camera_dataset", &velk::io::load_multi_camera_dataset, py::arg("data_dir"),
           py::arg("num_cameras"));
}

void bindDatasetPictures(py::module_& io) {
    // The encoder runs without the GIL, so that pictures can be written from several threads.
    io.def("save_hand_eye_image", &velk::io::save_hand_eye_image, py::arg("data_dir"), py::arg("index"),
           py::arg("image"), py::call_guard<py::gil_scoped_release>(),
           "Write one picture of a hand-eye dataset as data_dir/image_<index>.png (creating data_dir); returns "
           "the file written. The poses go to calibration_data.npz with save_robot_poses.");
}

void bindRobotPoseFiles(py::module_& io) {
    io.def("save_robot_poses", &velk::io::save_robot_poses, py::arg("data_dir"), py::arg("robot_T_tcp_list"),
           "Save flange poses robot_T_tcp (robot base frame, 4x4, metres) alone as calibration_data.npz in data_dir.");
    io.def("load_robot_poses", &velk::io::load_robot_poses, py::arg("data_dir"),
           "Load the flange poses robot_T_tcp (robot base frame, 4x4, metres) of calibration_data.npz in data_dir.");
}

// The records the calibrators save, built from their results, for a caller that adds annotations first.
void bindResultRecordBuilders(py::module_& io) {
    io.def("hand_eye_result_record", &velk::calibration::handEyeResultRecord, py::arg("result"), py::arg("method"),
           py::arg("total_images"),
           "The HandEyeResultRecord hand_eye.json stores of an eye-in-hand result solved by `method` from "
           "`total_images` pictures: what EyeInHandCalibrator.calibrate saves when given an output path.");
    io.def("eye_to_hand_result_record", &velk::calibration::eyeToHandResultRecord, py::arg("result"),
           py::arg("total_images"),
           "The EyeToHandResultRecord eye_to_hand.json stores of an eye-to-hand result solved from `total_images` "
           "pictures: what EyeToHandCalibrator.calibrate saves when given an output path.");
    io.def("cell_calibration_record", &velk::calibration::cellCalibrationRecord, py::arg("result"),
           "The CellCalibrationRecord cell.json stores of a calibrated cell (CellResult): what velk cell saves.");
    io.def("multi_camera_calibration_record", &velk::calibration::multiCameraCalibrationRecord, py::arg("result"),
           "The MultiCameraCalibrationRecord multi_camera_calibration.json stores of a rig result: what "
           "MultiCameraCalibrator.calibrate saves when given an output path.");
}

}  // namespace

void registerIoBindings(py::module_& module) {
    py::module_ io = module.def_submodule("io", "On-disk persistence for calibration datasets and results.");
    bindRobotNoiseRecord(io);
    bindTargetScaleRecord(io);
    bindValidationRecord(io);
    bindMountComponentRecord(io);
    bindRefinementRecord(io);
    bindKinematicsRecord(io);
    bindAnnotationRecords(io);
    bindHandEyeResultRecord(io);
    bindMultiCameraCalibrationRecord(io);
    bindEyeToHandResultRecord(io);
    bindCellCalibrationRecord(io);
    bindResultRecordFiles(io);
    bindResultRecordBuilders(io);
    bindDatasetPictures(io);
    // The dataset functions stay the submodule's last names.
    bindRobotPoseFiles(io);
    bindDatasets(io);
}

}  // namespace velk::bindings
