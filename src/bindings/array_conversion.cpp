#include "bindings/array_conversion.hpp"

#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace py = pybind11;

namespace velk::bindings {
namespace {

struct ElementType {
    py::dtype dtype;
    int depth;
};

// The element types that cross the boundary, in the order they are matched.
const std::vector<ElementType>& elementTypes() {
    static const std::vector<ElementType> types = {
        {py::dtype::of<std::uint8_t>(), CV_8U},   {py::dtype::of<std::int8_t>(), CV_8S},
        {py::dtype::of<std::uint16_t>(), CV_16U}, {py::dtype::of<std::int16_t>(), CV_16S},
        {py::dtype::of<std::int32_t>(), CV_32S},  {py::dtype::of<float>(), CV_32F},
        {py::dtype::of<double>(), CV_64F},
    };
    return types;
}

std::optional<int> depthOfDtype(const py::dtype& dtype) {
    // Only native byte order: numpy reports it as '=' (or '|' for single bytes).
    const char order = dtype.byteorder();
    if (order != '=' && order != '|') {
        return std::nullopt;
    }
    for (const ElementType& type : elementTypes()) {
        if (dtype.num() == type.dtype.num()) {
            return type.depth;
        }
    }
    return std::nullopt;
}

py::dtype dtypeOfDepth(int depth) {
    for (const ElementType& type : elementTypes()) {
        if (type.depth == depth) {
            return type.dtype;
        }
    }
    throw std::runtime_error("velk: unsupported cv::Mat depth for numpy conversion");
}

struct MatShape {
    int rows;
    int cols;
    int channels;
};

// rows x cols x channels of a one- to three-dimensional array with one to four channels.
std::optional<MatShape> matShapeOf(const py::array& array) {
    const py::ssize_t dims = array.ndim();
    if (dims < 1 || dims > 3) {
        return std::nullopt;
    }
    const MatShape shape{static_cast<int>(array.shape(0)), dims >= 2 ? static_cast<int>(array.shape(1)) : 1,
                         dims == 3 ? static_cast<int>(array.shape(2)) : 1};
    if (shape.channels < 1 || shape.channels > 4) {
        return std::nullopt;
    }
    return shape;
}

}  // namespace

std::optional<cv::Mat> matViewOfArray(py::handle source) {
    if (!source || !py::isinstance<py::array>(source)) {
        return std::nullopt;
    }
    const auto array = py::reinterpret_borrow<py::array>(source);
    constexpr int kAligned = py::detail::npy_api::NPY_ARRAY_ALIGNED_;
    if ((array.flags() & py::array::c_style) == 0 || (array.flags() & kAligned) == 0 || array.size() == 0) {
        return std::nullopt;
    }
    const std::optional<int> depth = depthOfDtype(array.dtype());
    const std::optional<MatShape> shape = matShapeOf(array);
    if (!depth || !shape) {
        return std::nullopt;
    }
    return cv::Mat(shape->rows, shape->cols, CV_MAKETYPE(*depth, shape->channels), const_cast<void*>(array.data()));
}

std::optional<cv::Mat> matFromArray(py::handle source) {
    if (!source) {
        return std::nullopt;
    }
    auto array = py::reinterpret_steal<py::array>(py::detail::npy_api::get().PyArray_FromAny_(
        source.ptr(), nullptr, 0, 0, py::detail::npy_api::NPY_ARRAY_ENSUREARRAY_ | py::array::c_style, nullptr));
    if (!array) {
        PyErr_Clear();
        return std::nullopt;
    }
    const std::optional<int> depth = depthOfDtype(array.dtype());
    if (!depth) {
        return std::nullopt;
    }
    const std::optional<MatShape> shape = matShapeOf(array);
    if (!shape) {
        return std::nullopt;
    }
    const int type = CV_MAKETYPE(*depth, shape->channels);
    if (array.size() == 0) {
        return cv::Mat(shape->rows, shape->cols, type);
    }
    return cv::Mat(shape->rows, shape->cols, type, const_cast<void*>(array.data())).clone();
}

py::array arrayFromMat(const cv::Mat& matrix) {
    if (matrix.empty()) {
        return py::array(py::dtype::of<double>(), std::vector<py::ssize_t>{0, 0});
    }
    if (matrix.dims != 2) {
        throw std::runtime_error("velk: only two-dimensional cv::Mat can be converted to numpy");
    }
    const cv::Mat continuous = matrix.isContinuous() ? matrix : matrix.clone();
    const py::dtype dtype = dtypeOfDepth(continuous.depth());
    std::vector<py::ssize_t> shape = {continuous.rows, continuous.cols};
    if (continuous.channels() > 1) {
        shape.push_back(continuous.channels());
    }
    py::array array(dtype, shape);
    std::memcpy(array.mutable_data(), continuous.data, continuous.total() * continuous.elemSize());
    return array;
}

}  // namespace velk::bindings
