#include "bindings/registrars.hpp"
#include "bindings/type_casters.hpp"
#include "core/pose.hpp"

namespace py = pybind11;

namespace velk::bindings {
namespace {

void bindPoseToTransformationMatrix(py::module_& tf) {
    tf.def("pose_to_transformation_matrix", &velk::poseToTransformationMatrix, py::arg("pose_xyzrpy_deg"),
           "Convert [x, y, z, rx, ry, rz] (degrees, extrinsic xyz Euler) to a 4x4 matrix.");
}

void bindTransformationMatrixToPose(py::module_& tf) {
    tf.def("transformation_matrix_to_pose", &velk::transformationMatrixToPose, py::arg("transformation"),
           "Convert a 4x4 transformation matrix to [x, y, z, rx, ry, rz] (degrees).");
}

void bindAveragePose(py::module_& tf) {
    tf.def("average_pose", &velk::averagePose, py::arg("poses"),
           "Mean SE(3) pose: average translations, project the mean rotation onto SO(3) via SVD.");
}

}  // namespace

void registerTfBindings(py::module_& module) {
    py::module_ tf = module.def_submodule("tf", "SE(3) pose <-> 4x4 transformation matrix conversions.");
    bindPoseToTransformationMatrix(tf);
    bindTransformationMatrixToPose(tf);
    bindAveragePose(tf);
}

}  // namespace velk::bindings
