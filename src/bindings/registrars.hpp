#pragma once

#include <pybind11/pybind11.h>

namespace velk::bindings {

// One registrar per subsystem; the module entry calls them in this order, since
// later ones name classes bound by earlier ones in their signatures.
// The library's OpenCV thread count; registered first, it names no class.
void registerThreadBindings(pybind11::module_& module);
// Where the library's log lines go; names no class.
void registerLogBindings(pybind11::module_& module);
void registerTfBindings(pybind11::module_& module);
void registerTargetBindings(pybind11::module_& module);
void registerIntrinsicBindings(pybind11::module_& module);
// Refinement records come before the calibrators whose signatures name them.
void registerRefinementBindings(pybind11::module_& module);
void registerHandEyeBindings(pybind11::module_& module);
// Planned poses and their predicted uncertainty; names PoseSigma.
void registerPlanningBindings(pybind11::module_& module);
void registerMultiCameraBindings(pybind11::module_& module);
// Cells of several cameras around one robot; names PoseSigma and HandEyeValidation, and comes before the io
// records, whose cell record builder names CellResult.
void registerCellBindings(pybind11::module_& module);
void registerDiagnosticsBindings(pybind11::module_& module);
void registerBenchmarkBindings(pybind11::module_& module);
void registerIoBindings(pybind11::module_& module);
// Kinematic chains and their calibration; names PoseSigma.
void registerKinematicsBindings(pybind11::module_& module);

}  // namespace velk::bindings
