#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

namespace velk::io {

// A matrix as an array of rows of doubles; an empty matrix as [].
nlohmann::json matrixToJson(const cv::Mat& matrix);
// Rows of numbers to a CV_64F matrix; rows of unequal length are refused.
cv::Mat matrixFromJson(const nlohmann::json& rows);

// All elements in storage order as one flat array of doubles.
nlohmann::json vectorToJson(const cv::Mat& vector);
// A flat array of numbers to a 1 x N CV_64F matrix; an empty array to an empty matrix.
cv::Mat rowVectorFromJson(const nlohmann::json& values);

nlohmann::json matrixListToJson(const std::vector<cv::Mat>& matrices);
std::vector<cv::Mat> matrixListFromJson(const nlohmann::json& list);

// Error lists: numbers, with null standing for NaN.
std::vector<double> errorListFromJson(const nlohmann::json& list);

// An int field: integers, floats (truncated) and booleans (0, 1); values outside the
// int range are refused.
int intFromJson(const nlohmann::json& value);

// True when the member exists and is not null.
bool hasValue(const nlohmann::json& object, const std::string& key);

// Reads a member when it is there and not null; leaves value as it is otherwise.
template <typename T>
void readIfPresent(const nlohmann::json& object, const char* key, T& value) {
    if (hasValue(object, key)) {
        value = object.at(key).template get<T>();
    }
}

}  // namespace velk::io
