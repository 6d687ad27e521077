#include <string>

#include "bindings/registrars.hpp"
#include "bindings/type_casters.hpp"
#include "targets/aruco_dictionaries.hpp"
#include "targets/target_variant.hpp"

namespace py = pybind11;

namespace velk::bindings {
namespace {

const char* const kValidateDoc =
    "Check that the target can be used: ValueError naming the first unusable field, "
    "RuntimeError for an aruco_dict_id that is not a predefined dictionary.";

std::string sizeText(const cv::Size& size) {
    return "(" + std::to_string(size.width) + ", " + std::to_string(size.height) + ")";
}

void bindDictionaryNames(py::module_& module) {
    module.def("aruco_dictionary_id_map", &velk::arucoDictionaryIdMap,
               "Map of predefined ArUco dictionary names (\"DICT_4X4_50\", ...) to their OpenCV ids.");
    module.def("aruco_dictionary_id_from_name", &velk::arucoDictionaryIdFromName, py::arg("name"),
               "Resolve a dictionary name (e.g. \"DICT_4X4_50\") to its OpenCV id.");
}

void bindChessboardTarget(py::module_& module) {
    py::classh<ChessboardTarget>(module, "ChessboardTarget",
                                 "Classic chessboard target: inner-corner grid + square size.")
        .def(py::init<cv::Size, double>(), py::arg("size"), py::arg("square_size"),
             "size: (cols, rows) of inner corners. square_size: edge length in meters.")
        .def_readwrite("size", &ChessboardTarget::size)
        .def_readwrite("square_size", &ChessboardTarget::square_size)
        .def("validate", &ChessboardTarget::validate, kValidateDoc)
        .def("object_points", &ChessboardTarget::objectPoints,
             "Board-frame 3D coordinates of all inner corners, (N, 3) float32.")
        .def("__repr__", [](const ChessboardTarget& target) {
            return "ChessboardTarget(size=" + sizeText(target.size) +
                   ", square_size=" + std::to_string(target.square_size) + ")";
        });
}

void bindCharucoTarget(py::module_& module) {
    py::classh<CharucoTarget>(module, "CharucoTarget", "ChArUco target: chessboard + embedded ArUco markers.")
        .def(py::init<int, int, double, double, int>(), py::arg("squares_x"), py::arg("squares_y"),
             py::arg("square_length"), py::arg("marker_length"), py::arg("aruco_dict_id") = kDefaultArucoDictionaryId,
             "squares_x, squares_y: chessboard squares across and down; square_length, marker_length: edge lengths in "
             "metres; aruco_dict_id: OpenCV predefined dictionary id.")
        .def(py::init<int, int, double, double, const std::string&>(), py::arg("squares_x"), py::arg("squares_y"),
             py::arg("square_length"), py::arg("marker_length"), py::arg("aruco_dict_id"),
             "As above, with the dictionary given by name (e.g. \"DICT_4X4_50\"); lengths in metres.")
        .def_readwrite("squares_x", &CharucoTarget::squares_x)
        .def_readwrite("squares_y", &CharucoTarget::squares_y)
        .def_readwrite("square_length", &CharucoTarget::square_length)
        .def_readwrite("marker_length", &CharucoTarget::marker_length)
        .def_readwrite("aruco_dict_id", &CharucoTarget::aruco_dict_id)
        .def("validate", &CharucoTarget::validate, kValidateDoc)
        .def("detect_and_annotate", &CharucoTarget::detectAndAnnotate, py::arg("image"),
             "Detect ChArUco corners on `image` and draw them on a copy. Returns (annotated_image_bgr, "
             "num_charuco_corners).")
        .def("__repr__", [](const CharucoTarget& target) {
            return "CharucoTarget(squares_x=" + std::to_string(target.squares_x) +
                   ", squares_y=" + std::to_string(target.squares_y) +
                   ", square_length=" + std::to_string(target.square_length) +
                   ", marker_length=" + std::to_string(target.marker_length) +
                   ", aruco_dict_id=" + std::to_string(target.aruco_dict_id) + ")";
        });
}

void bindArucoTarget(py::module_& module) {
    py::classh<ArucoTarget>(module, "ArucoTarget", "ArUco grid-board target.")
        .def(py::init<cv::Size, double, double, int, int>(), py::arg("board_size"), py::arg("marker_length"),
             py::arg("marker_separation"), py::arg("aruco_dict_id") = kDefaultArucoDictionaryId,
             py::arg("first_marker_id") = 0,
             "board_size: (markers_x, markers_y); marker_length, marker_separation: in metres; aruco_dict_id: OpenCV "
             "predefined dictionary id; first_marker_id: id of the first marker, the others follow row by row "
             "(a 1 x 1 board is a single marker).")
        .def(py::init<cv::Size, double, double, const std::string&, int>(), py::arg("board_size"),
             py::arg("marker_length"), py::arg("marker_separation"), py::arg("aruco_dict_id"),
             py::arg("first_marker_id") = 0,
             "As above, with the dictionary given by name (e.g. \"DICT_4X4_50\"); lengths in metres.")
        .def_readwrite("board_size", &ArucoTarget::board_size)
        .def_readwrite("marker_length", &ArucoTarget::marker_length)
        .def_readwrite("marker_separation", &ArucoTarget::marker_separation)
        .def_readwrite("aruco_dict_id", &ArucoTarget::aruco_dict_id)
        .def_readwrite("first_marker_id", &ArucoTarget::first_marker_id)
        .def("validate", &ArucoTarget::validate, kValidateDoc)
        .def("__repr__", [](const ArucoTarget& target) {
            const std::string first =
                target.first_marker_id == 0 ? "" : ", first_marker_id=" + std::to_string(target.first_marker_id);
            return "ArucoTarget(board_size=" + sizeText(target.board_size) +
                   ", marker_length=" + std::to_string(target.marker_length) +
                   ", marker_separation=" + std::to_string(target.marker_separation) +
                   ", aruco_dict_id=" + std::to_string(target.aruco_dict_id) + first + ")";
        });
}

std::string circleGridRepr(const CircleGridTarget& target) {
    std::string text = "CircleGridTarget(size=" + sizeText(target.size) +
                       ", spacing=" + std::to_string(target.spacing) +
                       ", asymmetric=" + (target.asymmetric ? "True" : "False") +
                       ", circle_diameter=" + std::to_string(target.circle_diameter);
    if (target.polarity != CirclePolarity::Either) {
        text += ", polarity='" + circlePolarityName(target.polarity) + "'";
    }
    if (target.marksOrigin()) {
        text += ", origin_circle_diameter=" + std::to_string(target.origin_circle_diameter);
    }
    return text + ")";
}

void bindCircleGridTarget(py::module_& module) {
    py::classh<CircleGridTarget>(module, "CircleGridTarget",
                                 "Grid of circles, dark on light or light on dark (symmetric or asymmetric, a "
                                 "symmetric one optionally with a larger circle marking its origin); the centres "
                                 "are the points.")
        .def(py::init([](cv::Size size, double spacing, bool asymmetric, double circle_diameter,
                         const std::string& polarity, double origin_circle_diameter) {
                 return CircleGridTarget(size, spacing, asymmetric, circle_diameter, circlePolarityFromName(polarity),
                                         origin_circle_diameter);
             }),
             py::arg("size"), py::arg("spacing"), py::arg("asymmetric") = false, py::arg("circle_diameter") = 0.0,
             py::arg("polarity") = "either", py::arg("origin_circle_diameter") = 0.0,
             "size: (circles per row, rows); spacing: centre distance in metres (asymmetric: rows are spacing "
             "apart and shifted by one spacing, neighbours in a row two spacings apart); circle_diameter: metres, "
             "0 for half the spacing; polarity: \"dark\" (dark circles on a light ground), \"light\" (light "
             "circles on a dark ground) or \"either\" (dark looked for first); origin_circle_diameter: metres, the "
             "larger circle that marks the origin of a symmetric grid (bottom left as printed, +x along the bottom "
             "row, +y up, +z out of the board, points numbered from the top-left circle row by row), 0 for none.")
        .def_readwrite("size", &CircleGridTarget::size)
        .def_readwrite("spacing", &CircleGridTarget::spacing)
        .def_readwrite("asymmetric", &CircleGridTarget::asymmetric)
        .def_readwrite("circle_diameter", &CircleGridTarget::circle_diameter)
        .def_property(
            "polarity", [](const CircleGridTarget& target) { return circlePolarityName(target.polarity); },
            [](CircleGridTarget& target, const std::string& name) { target.polarity = circlePolarityFromName(name); },
            "\"dark\", \"light\" or \"either\": the circles detection looks for.")
        .def_readwrite("origin_circle_diameter", &CircleGridTarget::origin_circle_diameter,
                       "Diameter in metres of the larger circle marking the origin; 0 for a grid without one.")
        .def("marks_origin", &CircleGridTarget::marksOrigin, "True when a larger circle marks the grid's origin.")
        .def("validate", &CircleGridTarget::validate, kValidateDoc)
        .def("object_points", &CircleGridTarget::objectPoints,
             "Board-frame 3D coordinates of all circle centres in detection order, (N, 3) float32.")
        .def("__repr__", &circleGridRepr);
}

}  // namespace

void registerTargetBindings(py::module_& module) {
    bindDictionaryNames(module);
    bindChessboardTarget(module);
    bindCharucoTarget(module);
    bindArucoTarget(module);
    bindCircleGridTarget(module);
}

}  // namespace velk::bindings
