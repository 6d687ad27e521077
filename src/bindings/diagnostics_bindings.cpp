#include "bindings/registrars.hpp"
#include "bindings/type_casters.hpp"
#include "core/rotation_variety.hpp"

namespace py = pybind11;
using velk::quality::RotationVarietyStats;

namespace velk::bindings {
namespace {

void bindRotationVarietyStats(py::module_& diagnostics) {
    py::classh<RotationVarietyStats>(diagnostics, "RotationVarietyStats")
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
    diagnostics.def("analyze_rotation_variety", &velk::quality::analyze_rotation_variety,
                    py::arg("camera_T_target_list"), py::arg("min_rotation_deg") = 0.5);
    diagnostics.def("format_rotation_variety", &velk::quality::format_rotation_variety, py::arg("stats"));
}

}  // namespace

void registerDiagnosticsBindings(py::module_& module) {
    py::module_ diagnostics =
        module.def_submodule("diagnostics", "Diagnostics for hand-eye calibration data and solvers.");
    bindRotationVarietyStats(diagnostics);
    bindRotationVarietyFunctions(diagnostics);
}

}  // namespace velk::bindings
