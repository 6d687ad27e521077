#pragma once

#include <string>

#include <opencv2/core.hpp>

namespace velk {

// Checks shared by the three target descriptions. Each throws std::invalid_argument
// whose message begins with the owner ("ChessboardTarget", ...) and names the field.

// A length the boards take as float: positive and finite once narrowed.
void requireBoardLength(const std::string& owner, const std::string& field, double value);

// Both counts of a grid (`size`) positive; `unit` says what is counted ("inner corners").
void requirePositiveGrid(const std::string& owner, const std::string& field, const cv::Size& size,
                         const std::string& unit);

// The number of markers a board uses must fit into its dictionary.
void requireMarkersInDictionary(const std::string& owner, const std::string& boardText, long long markers,
                                int aruco_dict_id);

// "(cols, rows)"
std::string gridText(const cv::Size& size);

// A double as a short decimal text, as the stream prints it.
std::string lengthText(double value);

}  // namespace velk
