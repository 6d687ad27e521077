#pragma once

#include <optional>

#include <opencv2/core.hpp>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

namespace velk::bindings {

// numpy array-like to a freshly allocated matrix that owns its data; nullopt when
// the value has no supported element type or shape.
std::optional<cv::Mat> matFromArray(pybind11::handle source);

// A matrix header over the numpy array's own buffer, without a copy, when the value already is a
// C-contiguous, aligned, native-order array of a supported element type and shape; nullopt
// otherwise. The header is valid only while the array lives: for use within one call.
std::optional<cv::Mat> matViewOfArray(pybind11::handle source);

// Matrix to a new C-contiguous numpy array (one block copy).
pybind11::array arrayFromMat(const cv::Mat& matrix);

}  // namespace velk::bindings
