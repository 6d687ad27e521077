#include "io/json_values.hpp"

#include <limits>
#include <stdexcept>

namespace velk::io {
namespace {

cv::Mat asDouble(const cv::Mat& matrix) {
    cv::Mat converted;
    matrix.convertTo(converted, CV_64F);
    return converted.isContinuous() ? converted : converted.clone();
}

// Elements of a JSON array; anything else fails with the JSON library's type error.
std::vector<nlohmann::json> arrayElements(const nlohmann::json& list) {
    return list.get<std::vector<nlohmann::json>>();
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

cv::Mat matrixFromJson(const nlohmann::json& rows) {
    const std::vector<nlohmann::json> rowList = arrayElements(rows);
    if (rowList.empty()) {
        return cv::Mat(0, 0, CV_64F);
    }
    const std::vector<double> first = rowList.front().get<std::vector<double>>();
    cv::Mat matrix(static_cast<int>(rowList.size()), static_cast<int>(first.size()), CV_64F);
    for (int r = 0; r < matrix.rows; ++r) {
        const std::vector<double> row = rowList[r].get<std::vector<double>>();
        if (row.size() != first.size()) {
            throw std::runtime_error("io: matrix row " + std::to_string(r) + " has " + std::to_string(row.size()) +
                                     " values, row 0 has " + std::to_string(first.size()));
        }
        std::copy(row.begin(), row.end(), matrix.ptr<double>(r));
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
    const std::vector<double> numbers = values.get<std::vector<double>>();
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
    for (const nlohmann::json& element : arrayElements(list)) {
        matrices.push_back(matrixFromJson(element));
    }
    return matrices;
}

std::vector<double> errorListFromJson(const nlohmann::json& list) {
    std::vector<double> errors;
    for (const nlohmann::json& element : arrayElements(list)) {
        errors.push_back(element.is_null() ? std::numeric_limits<double>::quiet_NaN() : element.get<double>());
    }
    return errors;
}

bool hasValue(const nlohmann::json& object, const std::string& key) {
    const auto found = object.find(key);
    return found != object.end() && !found->is_null();
}

}  // namespace velk::io
