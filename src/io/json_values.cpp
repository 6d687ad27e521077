#include "io/json_values.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>

namespace velk::io {
namespace {

cv::Mat asDouble(const cv::Mat& matrix) {
    cv::Mat converted;
    matrix.convertTo(converted, CV_64F);
    return converted.isContinuous() ? converted : converted.clone();
}

// The value itself when it is an array. Elements are read in place, never copied:
// a copy of a deeply nested value would recurse once per level.
const nlohmann::json& arrayValue(const nlohmann::json& list) {
    if (!list.is_array()) {
        throw std::runtime_error(std::string("type must be array, but is ") + list.type_name());
    }
    return list;
}

int checkedMatrixExtent(std::size_t extent) {
    if (extent > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        throw std::runtime_error("io: matrix of " + std::to_string(extent) + " rows or columns is too large");
    }
    return static_cast<int>(extent);
}

}  // namespace

nlohmann::json matrixToJson(const cv::Mat& matrix) {
    nlohmann::json rows = nlohmann::json::array();
    if (matrix.empty()) {
        return rows;
    }
    const cv::Mat values = asDouble(matrix.reshape(1));
    for (int r = 0; r < values.rows; ++r) {
        const double* row = values.ptr<double>(r);
        rows.push_back(std::vector<double>(row, row + values.cols));
    }
    return rows;
}

// Every row is checked before the matrix is allocated, so its size is bounded by the
// number of values the text really holds.
cv::Mat matrixFromJson(const nlohmann::json& rows) {
    const nlohmann::json& rowList = arrayValue(rows);
    if (rowList.empty()) {
        return cv::Mat(0, 0, CV_64F);
    }
    const std::size_t columns = arrayValue(rowList.front()).size();
    for (std::size_t r = 0; r < rowList.size(); ++r) {
        const std::size_t count = arrayValue(rowList[r]).size();
        if (count != columns) {
            throw std::runtime_error("io: matrix row " + std::to_string(r) + " has " + std::to_string(count) +
                                     " values, row 0 has " + std::to_string(columns));
        }
    }
    cv::Mat matrix(checkedMatrixExtent(rowList.size()), checkedMatrixExtent(columns), CV_64F);
    for (int r = 0; r < matrix.rows; ++r) {
        double* row = matrix.ptr<double>(r);
        for (int c = 0; c < matrix.cols; ++c) {
            row[c] = rowList[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)].get<double>();
        }
    }
    return matrix;
}

nlohmann::json vectorToJson(const cv::Mat& vector) {
    if (vector.empty()) {
        return nlohmann::json::array();
    }
    const cv::Mat values = asDouble(vector.reshape(1));
    const double* begin = values.ptr<double>();
    return std::vector<double>(begin, begin + values.total());
}

cv::Mat rowVectorFromJson(const nlohmann::json& values) {
    std::vector<double> numbers;
    for (const nlohmann::json& value : arrayValue(values)) {
        numbers.push_back(value.get<double>());
    }
    if (numbers.empty()) {
        return cv::Mat();  // what an empty vector is saved from
    }
    return cv::Mat(numbers, true).reshape(1, 1);
}

nlohmann::json matrixListToJson(const std::vector<cv::Mat>& matrices) {
    nlohmann::json list = nlohmann::json::array();
    for (const cv::Mat& matrix : matrices) {
        list.push_back(matrixToJson(matrix));
    }
    return list;
}

std::vector<cv::Mat> matrixListFromJson(const nlohmann::json& list) {
    std::vector<cv::Mat> matrices;
    for (const nlohmann::json& element : arrayValue(list)) {
        matrices.push_back(matrixFromJson(element));
    }
    return matrices;
}

std::vector<double> errorListFromJson(const nlohmann::json& list) {
    std::vector<double> errors;
    for (const nlohmann::json& element : arrayValue(list)) {
        errors.push_back(element.is_null() ? std::numeric_limits<double>::quiet_NaN() : element.get<double>());
    }
    return errors;
}

int intFromJson(const nlohmann::json& value) {
    constexpr auto lowest = static_cast<double>(std::numeric_limits<int>::min());
    constexpr auto highest = static_cast<double>(std::numeric_limits<int>::max());
    if (value.is_boolean()) {
        return value.get<bool>() ? 1 : 0;
    }
    if (!value.is_number()) {
        return value.get<int>();  // the JSON library's type error
    }
    bool inRange = false;
    if (value.is_number_unsigned()) {
        inRange = value.get<std::uint64_t>() <= static_cast<std::uint64_t>(std::numeric_limits<int>::max());
    } else if (value.is_number_integer()) {
        const std::int64_t number = value.get<std::int64_t>();
        inRange = number >= std::numeric_limits<int>::min() && number <= std::numeric_limits<int>::max();
    } else {
        const double truncated = std::trunc(value.get<double>());
        inRange = truncated >= lowest && truncated <= highest;
    }
    if (!inRange) {
        throw std::runtime_error("io: " + value.dump() + " does not fit an int");
    }
    return value.is_number_float() ? static_cast<int>(std::trunc(value.get<double>())) : value.get<int>();
}

bool hasValue(const nlohmann::json& object, const std::string& key) {
    const auto found = object.find(key);
    return found != object.end() && !found->is_null();
}

}  // namespace velk::io
