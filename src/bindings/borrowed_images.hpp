#pragma once

// Pictures lent to one library call. The library's calibrators only read their input pictures
// during the call (whatever they keep from them, such as annotated pictures, is their own copy),
// so a C-contiguous numpy picture is read in place instead of being copied in; any other value is
// converted by copy as usual. Calls that keep input pictures in their results take
// std::vector<cv::Mat> instead.

#include <utility>
#include <vector>

#include <opencv2/core.hpp>
#include <pybind11/pybind11.h>

#include "bindings/type_casters.hpp"

namespace velk::bindings {

struct BorrowedImages {
    std::vector<cv::Mat> images;           // headers over the arrays in owners, or copies
    std::vector<pybind11::object> owners;  // keeps the lent arrays alive during the call
};

}  // namespace velk::bindings

namespace pybind11::detail {

template <>
struct type_caster<velk::bindings::BorrowedImages> {
    PYBIND11_TYPE_CASTER(velk::bindings::BorrowedImages, make_caster<std::vector<cv::Mat>>::name);

    // Accepts what a list of matrices accepts: a sequence, or with conversion any other iterable
    // (taken whole first, as tuple() would).
    bool load(handle source, bool convert) {
        if (!object_is_convertible_to_std_vector(source)) {
            return false;
        }
        if (isinstance<sequence>(source)) {
            return loadItems(source);
        }
        return convert && loadItems(tuple(reinterpret_borrow<iterable>(source)));
    }

private:
    bool loadItems(handle items) {
        velk::bindings::BorrowedImages loaded;
        for (const handle item : items) {
            if (std::optional<cv::Mat> view = velk::bindings::matViewOfArray(item)) {
                loaded.images.push_back(std::move(*view));
                loaded.owners.push_back(reinterpret_borrow<object>(item));
            } else if (std::optional<cv::Mat> copy = velk::bindings::matFromArray(item)) {
                loaded.images.push_back(std::move(*copy));
            } else {
                return false;
            }
        }
        value = std::move(loaded);
        return true;
    }
};

}  // namespace pybind11::detail
