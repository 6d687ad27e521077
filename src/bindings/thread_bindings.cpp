#include "bindings/registrars.hpp"
#include "core/opencv_threads.hpp"

namespace py = pybind11;

namespace velk::bindings {
namespace {

void bindThreadCount(py::module_& module) {
    module.def("set_num_threads", &setOpenCvThreadCount, py::arg("n"),
               "Sets the number of threads of the library's own OpenCV (detection runs on them); "
               "n <= 0 restores OpenCV's default. cv2 keeps its own setting.");
    module.def("get_num_threads", &openCvThreadCount, "The number of threads of the library's own OpenCV.");
}

}  // namespace

void registerThreadBindings(py::module_& module) {
    bindThreadCount(module);
}

}  // namespace velk::bindings
