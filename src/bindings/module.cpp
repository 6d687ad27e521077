// Entry point of the _velk extension module: version check, two-phase
// initialisation and the registrars in their fixed order.

#include <pybind11/pybind11.h>

#include "bindings/python_version.hpp"
#include "bindings/registrars.hpp"

namespace py = pybind11;

namespace {

constexpr const char* kModuleDoc =
    "Compiled C++ core of quorvane-velk: targets, calibration, geometry, quality, io. "
    "Not meant to be imported directly  -  use the quorvane.velk Python package.";

constexpr const char* kBuiltForVersion = PYBIND11_TOSTRING(PY_MAJOR_VERSION) "." PYBIND11_TOSTRING(PY_MINOR_VERSION);

int execVelk(PyObject* moduleObject);

}  // namespace

extern "C" PYBIND11_EXPORT PyObject* PyInit__velk() {
    const char* interpreterVersion = Py_GetVersion();
    if (!velk::bindings::interpreterVersionMatches(kBuiltForVersion, interpreterVersion)) {
        PyErr_Format(PyExc_ImportError,
                     "Python version mismatch: module was compiled for Python %s, "
                     "but the interpreter version is incompatible: %s.",
                     kBuiltForVersion, interpreterVersion);
        return nullptr;
    }
    try {
        py::detail::ensure_internals();
        static py::detail::slots_array slots = py::detail::init_slots(&execVelk);
        static PyModuleDef definition{PyModuleDef_HEAD_INIT, "_velk", nullptr, 0,      nullptr,
                                      slots.data(),          nullptr, nullptr, nullptr};
        return PyModuleDef_Init(&definition);
    }
    PYBIND11_CATCH_INIT_EXCEPTIONS
    return nullptr;
}

namespace {

void fillModule(py::module_& module) {
    module.attr("__doc__") = kModuleDoc;
    velk::bindings::registerThreadBindings(module);
    velk::bindings::registerLogBindings(module);
    velk::bindings::registerTfBindings(module);
    velk::bindings::registerTargetBindings(module);
    velk::bindings::registerIntrinsicBindings(module);
    velk::bindings::registerRefinementBindings(module);
    velk::bindings::registerHandEyeBindings(module);
    velk::bindings::registerPlanningBindings(module);
    velk::bindings::registerMultiCameraBindings(module);
    velk::bindings::registerCellBindings(module);
    velk::bindings::registerDiagnosticsBindings(module);
    velk::bindings::registerBenchmarkBindings(module);
    velk::bindings::registerIoBindings(module);
    velk::bindings::registerKinematicsBindings(module);
}

int execVelk(PyObject* moduleObject) {
    try {
        py::detail::ensure_internals();
        auto module = py::reinterpret_borrow<py::module_>(moduleObject);
        // A module object is filled once per interpreter; a re-import gets the cached one.
        if (!py::detail::get_cached_module(module.attr("__spec__").attr("name"))) {
            fillModule(module);
            py::detail::cache_completed_module(module);
        }
        return 0;
    }
    PYBIND11_CATCH_INIT_EXCEPTIONS
    return -1;
}

}  // namespace
