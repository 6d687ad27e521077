#include "bindings/registrars.hpp"

namespace py = pybind11;

namespace velk::bindings {

void registerIoBindings(py::module_& module) {
    module.def_submodule("io", "On-disk persistence for calibration datasets and results.");
}

}  // namespace velk::bindings
