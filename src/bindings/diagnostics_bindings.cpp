#include "bindings/registrars.hpp"

namespace py = pybind11;

namespace velk::bindings {

void registerDiagnosticsBindings(py::module_& module) {
    module.def_submodule("diagnostics", "Diagnostics for hand-eye calibration data and solvers.");
}

}  // namespace velk::bindings
