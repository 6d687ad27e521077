#include <optional>
#include <string>
#include <vector>

#include "bindings/borrowed_images.hpp"
#include "bindings/registrars.hpp"
#include "bindings/type_casters.hpp"
#include "quality/calibration_benchmark.hpp"

namespace py = pybind11;
using velk::calibration::IntrinsicOptions;
using velk::quality::BenchmarkResult;
using velk::quality::CalibrationBenchmark;

namespace velk::bindings {
namespace {

void bindBenchmarkResult(py::module_& module) {
    py::classh<BenchmarkResult>(module, "BenchmarkResult", "One backend's benchmark outcome.")
        .def_readonly("backend_name", &BenchmarkResult::backend_name)
        .def_readonly("reprojection_error", &BenchmarkResult::reprojection_error)
        .def_readonly("held_out_reprojection_error", &BenchmarkResult::held_out_reprojection_error)
        .def_readonly("hand_eye_roundtrip_error", &BenchmarkResult::hand_eye_roundtrip_error)
        .def_readonly("camera_matrix", &BenchmarkResult::camera_matrix)
        .def_readonly("dist_coeffs", &BenchmarkResult::dist_coeffs)
        .def_readonly("timestamp", &BenchmarkResult::timestamp)
        .def_readonly("image_count", &BenchmarkResult::image_count);
}

void bindCalibrationBenchmark(py::module_& module) {
    // The benchmark keeps no picture once a call returns, so the pictures are read in place.
    py::classh<CalibrationBenchmark>(module, "CalibrationBenchmark",
                                     "Cross-validation + optional hand-eye round-trip benchmark.")
        .def(py::init<>(), "A benchmark with no state of its own.")
        .def(
            "run",
            [](CalibrationBenchmark& self, const BorrowedImages& images, const TargetVariant& target,
               const IntrinsicOptions& options, const std::vector<cv::Mat>& robot_poses,
               const std::optional<IntrinsicOptions>& eye_in_hand_options, const std::string& backend_name,
               int n_splits, int seed, const std::string& setup) {
                return self.run(images.images, target, options, robot_poses, eye_in_hand_options, backend_name,
                                n_splits, seed, setup);
            },
            py::arg("images"), py::arg("target"), py::arg("options"), py::arg("robot_poses") = std::vector<cv::Mat>(),
            py::arg("eye_in_hand_options") = std::optional<IntrinsicOptions>(), py::arg("backend_name") = "OpenCV",
            py::arg("n_splits") = 5, py::arg("seed") = 0, py::arg("setup") = "eye-in-hand",
            "Calibrate the images, cross-validate them in n_splits folds and, given robot_poses (robot_T_tcp, "
            "robot base frame, metres), run the hand-eye round trip. Errors in pixels.")
        .def(
            "cross_validate",
            [](CalibrationBenchmark& self, const BorrowedImages& images, const TargetVariant& target,
               const IntrinsicOptions& options, int n_splits,
               int seed) { return self.cross_validate(images.images, target, options, n_splits, seed); },
            py::arg("images"), py::arg("target"), py::arg("options"), py::arg("n_splits") = 5, py::arg("seed") = 0,
            "Mean reprojection error [px] of held-out images over n_splits folds (seeded shuffle).")
        .def(
            "hand_eye_roundtrip",
            [](CalibrationBenchmark& self, const BorrowedImages& images, const std::vector<cv::Mat>& robot_poses,
               const cv::Mat& tcp_T_camera, const cv::Mat& intrinsic_matrix, const cv::Mat& distortion_coefficients,
               const TargetVariant& target, const std::vector<cv::Mat>& camera_T_target_list,
               const std::string& setup) {
                return self.hand_eye_roundtrip(images.images, robot_poses, tcp_T_camera, intrinsic_matrix,
                                               distortion_coefficients, target, camera_T_target_list, setup);
            },
            py::arg("images"), py::arg("robot_poses"), py::arg("tcp_T_camera"), py::arg("intrinsic_matrix"),
            py::arg("distortion_coefficients"), py::arg("target"), py::arg("camera_T_target_list"),
            py::arg("setup") = "eye-in-hand",
            "Reprojection error [px] of the target corners predicted through robot_poses (robot_T_tcp, metres) "
            "and tcp_T_camera (metres) against those found in the images.")
        .def_static("format_results", &CalibrationBenchmark::format_results, py::arg("results"),
                    "Summary table of benchmark results (errors in pixels).")
        .def_static("save_json", &CalibrationBenchmark::save_json, py::arg("results"), py::arg("path"),
                    "Write benchmark results as JSON to path.")
        .def_static("load_json", &CalibrationBenchmark::load_json, py::arg("path"),
                    "Read benchmark results back from a JSON file written by save_json.");
}

}  // namespace

void registerBenchmarkBindings(py::module_& module) {
    bindBenchmarkResult(module);
    bindCalibrationBenchmark(module);
}

}  // namespace velk::bindings
