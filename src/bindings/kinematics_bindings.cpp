// Kinematic chains and their calibration from measured poses. Joint types, link conventions,
// correction modes and set-ups travel as short strings.

#include <stdexcept>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include "bindings/registrars.hpp"
#include "bindings/type_casters.hpp"
#include "calibration/hand_eye/kinematic_hand_eye.hpp"
#include "calibration/kinematics/kinematic_calibration.hpp"
#include "kinematics/chain_corrections.hpp"
#include "kinematics/forward_kinematics.hpp"
#include "kinematics/kinematic_chain.hpp"

namespace py = pybind11;
using velk::calibration::ChainPoseData;
using velk::calibration::ChainSetup;
using velk::calibration::HandEyeRefinementProblem;
using velk::calibration::KinematicCalibrationResult;
using velk::calibration::KinematicHandEyeOptions;
using velk::calibration::KinematicHandEyeResult;
using velk::calibration::KinematicOptions;
using velk::calibration::KinematicParameter;
using velk::calibration::PoseErrorStatistics;
using velk::kinematics::ChainLink;
using velk::kinematics::CorrectionMode;
using velk::kinematics::JointType;
using velk::kinematics::KinematicChain;
using velk::kinematics::LinkConvention;

namespace velk::bindings {
namespace {

JointType jointType(const std::string& text) {
    if (text == "revolute" || text == "continuous") {
        return JointType::kRevolute;
    }
    if (text == "prismatic") {
        return JointType::kPrismatic;
    }
    throw std::invalid_argument("joint type must be 'revolute' or 'prismatic', not '" + text + "'");
}

std::string jointTypeName(JointType type) {
    return type == JointType::kRevolute ? "revolute" : "prismatic";
}

std::string conventionName(LinkConvention convention) {
    switch (convention) {
        case LinkConvention::kStandardDh: return "dh";
        case LinkConvention::kModifiedDh: return "modified_dh";
        case LinkConvention::kOrigin: return "origin";
    }
    return "";
}

CorrectionMode correctionMode(const std::string& text) {
    if (text == "offsets") {
        return CorrectionMode::kOffsets;
    }
    if (text == "full") {
        return CorrectionMode::kFull;
    }
    throw std::invalid_argument("kinematics mode must be 'offsets' or 'full', not '" + text + "'");
}

ChainSetup chainSetup(const std::string& text) {
    if (text == "sensor_fixed") {
        return ChainSetup::kSensorFixed;
    }
    if (text == "sensor_on_chain") {
        return ChainSetup::kSensorOnChain;
    }
    throw std::invalid_argument("setup must be 'sensor_fixed' or 'sensor_on_chain', not '" + text + "'");
}

void bindChainLink(py::module_& kinematics) {
    py::classh<ChainLink>(kinematics, "ChainLink", "One joint of a serial chain with its fixed geometry.")
        .def_readonly("name", &ChainLink::name)
        .def_property_readonly("type", [](const ChainLink& link) { return jointTypeName(link.type); })
        .def_property_readonly("convention", [](const ChainLink& link) { return conventionName(link.convention); })
        .def_readonly("values", &ChainLink::values,
                      "DH: [d, theta, r (a), alpha, 0, 0]; origin: [x, y, z, roll, pitch, yaw]; m and rad.")
        .def_readonly("axis", &ChainLink::axis)
        .def_readonly("zero_offset", &ChainLink::zero_offset);
    kinematics.def(
        "dh_link",
        [](const std::string& name, const std::string& type, bool modified, double d, double theta, double r,
           double alpha) { return kinematics::dhLink(name, jointType(type), modified, d, theta, r, alpha); },
        py::arg("name"), py::arg("type"), py::arg("modified"), py::arg("d_m"), py::arg("theta_rad"), py::arg("r_m"),
        py::arg("alpha_rad"), "A standard (or, with modified, a modified) DH link.");
    kinematics.def(
        "origin_link",
        [](const std::string& name, const std::string& type, const std::array<double, 3>& xyz,
           const std::array<double, 3>& rpy,
           const std::array<double, 3>& axis) { return kinematics::originLink(name, jointType(type), xyz, rpy, axis); },
        py::arg("name"), py::arg("type"), py::arg("xyz_m"), py::arg("rpy_rad"), py::arg("axis"),
        "A joint at a fixed origin (xyz, roll-pitch-yaw) moving about or along its axis.");
}

void bindKinematicChain(py::module_& kinematics) {
    py::classh<KinematicChain>(kinematics, "KinematicChain",
                               "base_T_flange(q) = base_T_chain * link_1(q_1) * ... * link_n(q_n) * last_T_flange.")
        .def(py::init([](const std::vector<ChainLink>& links, const cv::Mat& base_T_chain, const cv::Mat& last_T_flange,
                         const std::string& base_frame, const std::string& flange_frame) {
                 KinematicChain chain;
                 chain.links = links;
                 base_T_chain.convertTo(chain.base_T_chain, CV_64F);
                 last_T_flange.convertTo(chain.last_T_flange, CV_64F);
                 chain.base_frame = base_frame;
                 chain.flange_frame = flange_frame;
                 kinematics::validateChain(chain);
                 return chain;
             }),
             py::arg("links"), py::arg("base_T_chain"), py::arg("last_T_flange"), py::arg("base_frame") = "base",
             py::arg("flange_frame") = "flange")
        .def_readonly("links", &KinematicChain::links)
        .def_readonly("base_T_chain", &KinematicChain::base_T_chain)
        .def_readonly("last_T_flange", &KinematicChain::last_T_flange)
        .def_readonly("base_frame", &KinematicChain::base_frame)
        .def_readonly("flange_frame", &KinematicChain::flange_frame)
        .def_property_readonly("joint_count", &KinematicChain::jointCount);
    kinematics.def("forward_kinematics", &kinematics::forwardKinematics, py::arg("chain"), py::arg("joints"),
                   "base_T_flange (4x4) at the joint readings.");
    kinematics.def(
        "correction_names",
        [](const KinematicChain& chain, const std::string& mode) {
            return kinematics::correctionLayout(chain, correctionMode(mode)).names;
        },
        py::arg("chain"), py::arg("mode"), "The names of the chain's corrections in mode 'offsets' or 'full'.");
    kinematics.def(
        "corrected_chain",
        [](const KinematicChain& chain, const std::string& mode, const std::vector<double>& corrections) {
            return kinematics::correctedChain(chain, kinematics::correctionLayout(chain, correctionMode(mode)),
                                              corrections);
        },
        py::arg("chain"), py::arg("mode"), py::arg("corrections"), "The chain with the corrections folded in.");
}

void bindKinematicOptions(py::module_& kinematics) {
    py::classh<KinematicOptions>(kinematics, "KinematicOptions", "Tunables of a kinematic calibration.")
        .def(py::init<>())
        .def_property(
            "mode", [](const KinematicOptions& o) { return o.mode == CorrectionMode::kOffsets ? "offsets" : "full"; },
            [](KinematicOptions& o, const std::string& text) { o.mode = correctionMode(text); },
            "'offsets': the joints' zero offsets; 'full': with the links' geometry.")
        .def_readwrite("rank_tolerance", &KinematicOptions::rank_tolerance)
        .def_readwrite("folds", &KinematicOptions::folds)
        .def_readwrite("max_iterations", &KinematicOptions::max_iterations);
}

void bindKinematicResults(py::module_& kinematics) {
    py::classh<KinematicParameter>(kinematics, "KinematicParameter", "One correction, estimated or held.")
        .def_readonly("name", &KinematicParameter::name)
        .def_readonly("angular", &KinematicParameter::angular, "value and sigma in rad when true, m otherwise")
        .def_readonly("estimated", &KinematicParameter::estimated)
        .def_readonly("value", &KinematicParameter::value)
        .def_readonly("sigma", &KinematicParameter::sigma)
        .def_readonly("remaining_share", &KinematicParameter::remaining_share)
        .def_readonly("held_reason", &KinematicParameter::held_reason);
    py::classh<PoseErrorStatistics>(kinematics, "PoseErrorStatistics", "Predicted against measured poses.")
        .def_readonly("count", &PoseErrorStatistics::count)
        .def_readonly("mean_position_mm", &PoseErrorStatistics::mean_position_mm)
        .def_readonly("rms_position_mm", &PoseErrorStatistics::rms_position_mm)
        .def_readonly("max_position_mm", &PoseErrorStatistics::max_position_mm)
        .def_readonly("mean_orientation_deg", &PoseErrorStatistics::mean_orientation_deg)
        .def_readonly("rms_orientation_deg", &PoseErrorStatistics::rms_orientation_deg)
        .def_readonly("max_orientation_deg", &PoseErrorStatistics::max_orientation_deg);
    using R = KinematicCalibrationResult;
    py::classh<R>(kinematics, "KinematicCalibrationResult", "Transforms, corrections and their prediction errors.")
        .def_readonly("mount_name", &R::mount_name)
        .def_readonly("carrier_name", &R::carrier_name)
        .def_readonly("mount", &R::mount)
        .def_readonly("carrier", &R::carrier)
        .def_readonly("mount_sigma", &R::mount_sigma)
        .def_readonly("carrier_sigma", &R::carrier_sigma)
        .def_readonly("parameters", &R::parameters)
        .def_readonly("corrected_chain", &R::corrected_chain)
        .def_readonly("translation_noise_mm", &R::translation_noise_mm)
        .def_readonly("rotation_noise_deg", &R::rotation_noise_deg)
        .def_readonly("nominal_fit", &R::nominal_fit)
        .def_readonly("calibrated_fit", &R::calibrated_fit)
        .def_property_readonly("position_errors_mm",
                               [](const R& r) {
                                   return py::array_t<double>(py::ssize_t(r.position_errors_mm.size()),
                                                              r.position_errors_mm.data());
                               })
        .def_property_readonly("orientation_errors_deg",
                               [](const R& r) {
                                   return py::array_t<double>(py::ssize_t(r.orientation_errors_deg.size()),
                                                              r.orientation_errors_deg.data());
                               })
        .def_readonly("folds", &R::folds)
        .def_readonly("nominal_held_out", &R::nominal_held_out)
        .def_readonly("calibrated_held_out", &R::calibrated_held_out)
        .def_readonly("converged", &R::converged)
        .def_readonly("message", &R::message);
}

void bindCalibrateKinematics(py::module_& kinematics) {
    kinematics.def(
        "calibrate_kinematics",
        [](const KinematicChain& chain, const std::string& setup, const std::vector<std::vector<double>>& joints,
           const std::vector<cv::Mat>& camera_T_target, const cv::Mat& mount_start, const cv::Mat& carrier_start,
           const KinematicOptions& options) {
            ChainPoseData data;
            data.chain = chain;
            data.setup = chainSetup(setup);
            data.joints = joints;
            for (const cv::Mat& pose : camera_T_target) {
                cv::Mat converted;
                pose.convertTo(converted, CV_64F);
                if (converted.rows != 4 || converted.cols != 4) {
                    throw std::invalid_argument("calibrate_kinematics: every measured pose must be 4x4");
                }
                data.camera_T_target.push_back(converted);
            }
            if (data.joints.size() != data.camera_T_target.size()) {
                throw std::invalid_argument("calibrate_kinematics: one row of joint readings per measured pose");
            }
            py::gil_scoped_release release;
            return calibration::calibrateKinematics(data, mount_start, carrier_start, options);
        },
        py::arg("chain"), py::arg("setup"), py::arg("joints"), py::arg("camera_T_target"), py::arg("mount_start"),
        py::arg("carrier_start"), py::arg_v("options", KinematicOptions(), "KinematicOptions()"),
        "Calibrate the chain and the two transforms from measured poses (metres). setup 'sensor_fixed': "
        "mount base_T_camera, carrier flange_T_target; 'sensor_on_chain': flange_T_camera and base_T_target.");
}

void bindKinematicHandEye(py::module_& kinematics) {
    py::classh<KinematicHandEyeOptions>(kinematics, "KinematicHandEyeOptions",
                                        "Tunables of the hand-eye refinement through the chain.")
        .def(py::init<>())
        .def_property(
            "mode",
            [](const KinematicHandEyeOptions& o) { return o.mode == CorrectionMode::kOffsets ? "offsets" : "full"; },
            [](KinematicHandEyeOptions& o, const std::string& text) { o.mode = correctionMode(text); },
            "'offsets': the joints' zero offsets; 'full': with the links' geometry.")
        .def_readwrite("rank_tolerance", &KinematicHandEyeOptions::rank_tolerance)
        .def_readwrite("require_significance", &KinematicHandEyeOptions::require_significance,
                       "Keep the corrections only when they differ from zero beyond chance (chi-square, 5 %).")
        .def_readwrite("refinement", &KinematicHandEyeOptions::refinement,
                       "Noise levels, robust scale, intrinsic priors and iterations (RefinementOptions).");
    using R = KinematicHandEyeResult;
    py::classh<R>(kinematics, "KinematicHandEyeResult", "Hand-eye mounts and the chain's corrections, from pictures.")
        .def_readonly("refinement", &R::refinement,
                      "The mounts with 1-sigma, noise levels, each view's own correction, residuals.")
        .def_readonly("parameters", &R::parameters)
        .def_readonly("corrected_chain", &R::corrected_chain)
        .def_readonly("robot_T_tcp_list", &R::robot_T_tcp_list,
                      "Per view, the flange pose through the corrected chain with its own correction.")
        .def_readonly("held", &R::held, "The names of the corrections held at nominal.")
        .def_readonly("chi_square", &R::chi_square, "The determined corrections' chi-square against zero.")
        .def_readonly("chi_square_limit", &R::chi_square_limit, "Its 95 % limit; zero when not tested.");
    kinematics.def("chain_known_transforms", &calibration::chainKnownTransforms, py::arg("chain"), py::arg("joints"),
                   py::arg("eye_to_hand"),
                   "Each view's known transform from its joint readings: inv(base_T_flange) eye-in-hand, base_T_flange "
                   "eye-to-hand.");
    kinematics.def(
        "refine_hand_eye_with_kinematics",
        [](const HandEyeRefinementProblem& problem, const KinematicChain& chain,
           const std::vector<std::vector<double>>& joints, const KinematicHandEyeOptions& options, bool log) {
            py::gil_scoped_release release;
            return calibration::refineHandEyeWithKinematics(problem, chain, joints, options, log);
        },
        py::arg("problem"), py::arg("chain"), py::arg("joints"),
        py::arg_v("options", KinematicHandEyeOptions(), "KinematicHandEyeOptions()"), py::arg("log") = true,
        "Hand-eye refinement with every view's robot pose from its joint readings through the chain, the "
        "corrections the pictures determine estimated beside the views' own corrections; the problem's known "
        "transforms are replaced by the nominal chain's.");
}

}  // namespace

void registerKinematicsBindings(py::module_& module) {
    py::module_ kinematics = module.def_submodule("kinematics", "Serial chains and their calibration.");
    bindChainLink(kinematics);
    bindKinematicChain(kinematics);
    bindKinematicOptions(kinematics);
    bindKinematicResults(kinematics);
    bindCalibrateKinematics(kinematics);
    bindKinematicHandEye(kinematics);
}

}  // namespace velk::bindings
