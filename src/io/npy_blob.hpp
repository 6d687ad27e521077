#pragma once

#include <cstdint>
#include <vector>

#include "io/little_endian.hpp"

namespace velk::io {

// One array of little-endian float64 values in C order, as a .npy blob holds it.
struct NpyArray {
    std::vector<std::uint64_t> shape;  // outermost first; empty for a scalar
    std::vector<double> data;          // product(shape) elements, 1 for a scalar
};

// The .npy (format 1.0) bytes of a float64 array in C order; the header is padded
// so that the data starts on a multiple of 64 bytes. The element count is not
// compared with the shape. Throws std::runtime_error when the header would not fit
// its 16-bit length field.
Bytes build_npy_blob(const std::vector<std::uint64_t>& shape, const std::vector<double>& data);

// Reads a float64, C-order array from .npy bytes (any format version). Throws
// std::runtime_error "npz: ..." for anything else or for data shorter than the shape;
// a shape dimension that is not a number throws std::invalid_argument, one beyond
// 64 bits std::out_of_range.
NpyArray parse_npy_blob(const Bytes& blob);

}  // namespace velk::io
