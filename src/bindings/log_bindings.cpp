#include <memory>
#include <utility>

#include "bindings/registrars.hpp"
#include "bindings/type_casters.hpp"
#include "core/log.hpp"
#include "core/picture_names.hpp"

namespace py = pybind11;

namespace velk::bindings {
namespace {

// A Python callable that outlives nothing: it is released only while the interpreter still runs.
std::shared_ptr<py::function> heldCallable(py::function callable) {
    return std::shared_ptr<py::function>(new py::function(std::move(callable)), [](py::function* held) {
        if (Py_IsInitialized()) {
            py::gil_scoped_acquire gil;
            delete held;
        }
    });
}

// Hands each log line to `callable(level, component, message)`. A callable that raises loses its line to
// the default printout rather than breaking the calculation that logged it.
LogSink pythonSink(py::function callable) {
    return [held = heldCallable(std::move(callable))](const LogEntry& entry) {
        py::gil_scoped_acquire gil;
        try {
            (*held)(static_cast<int>(entry.level), entry.component, entry.message);
        } catch (py::error_already_set& error) {
            error.discard_as_unraisable("quorvane-velk log sink");
            py::print(defaultLogLine(entry), py::arg("file") = py::module_::import("sys").attr("stderr"));
        }
    };
}

void bindLogSink(py::module_& module) {
    module.def(
        "set_log_sink",
        [](const py::object& callable) {
            setLogSink(callable.is_none() ? LogSink() : pythonSink(callable.cast<py::function>()));
        },
        py::arg("sink").none(true),
        "Sends the library's log lines to sink(level, component, message) instead of standard error: level is "
        "0 debug, 1 info, 2 warning, 3 error, 4 success; component the name in brackets at the start of the "
        "message (empty when there is none); message the text as printed after the level. None restores the "
        "default printout, \"[velk][LEVEL] message\" on standard error.");
}

void bindPictureLabel(py::module_& module) {
    module.def("picture_label", &pictureLabel, py::arg("names"), py::arg("position"),
               "How the library's text names the picture at `position` of a list whose file names are `names`: "
               "'8 (image_8.png)' (the capture number of an image_<k> name, else the position, and the name), "
               "or the position alone without a name for it.");
}

}  // namespace

void registerLogBindings(py::module_& module) {
    bindLogSink(module);
    bindPictureLabel(module);
}

}  // namespace velk::bindings
