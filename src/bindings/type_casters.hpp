#pragma once

// Conversions of cv::Mat and cv::Size between Python and the library. Every
// translation unit that binds a function taking or returning these includes this.

#include <opencv2/core.hpp>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include "bindings/array_conversion.hpp"

namespace pybind11::detail {

template <>
struct type_caster<cv::Mat> {
    PYBIND11_TYPE_CASTER(cv::Mat, const_name("numpy.ndarray"));

    bool load(handle source, bool /*convert*/) {
        std::optional<cv::Mat> matrix = velk::bindings::matFromArray(source);
        if (!matrix) {
            return false;
        }
        value = std::move(*matrix);
        return true;
    }

    static handle cast(const cv::Mat& matrix, return_value_policy /*policy*/, handle /*parent*/) {
        return velk::bindings::arrayFromMat(matrix).release();
    }
};

// A size crosses as (width, height): any sequence of exactly two integers.
template <>
struct type_caster<cv::Size> {
    PYBIND11_TYPE_CASTER(cv::Size, const_name("tuple[int, int]"));

    bool load(handle source, bool convert) {
        make_caster<std::pair<int, int>> pair;
        if (!pair.load(source, convert)) {
            return false;
        }
        const auto widthHeight = cast_op<std::pair<int, int>>(pair);
        value = cv::Size(widthHeight.first, widthHeight.second);
        return true;
    }

    static handle cast(const cv::Size& size, return_value_policy /*policy*/, handle /*parent*/) {
        return pybind11::make_tuple(size.width, size.height).release();
    }
};

}  // namespace pybind11::detail
