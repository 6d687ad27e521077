#pragma once

#include <map>
#include <string>

#include <opencv2/objdetect/aruco_dictionary.hpp>

namespace velk {

// The id of OpenCV's DICT_4X4_1000, the default dictionary of both marker targets.
constexpr int kDefaultArucoDictionaryId = 3;

// Names of OpenCV's predefined ArUco dictionaries and their ids, built once.
const std::map<std::string, int>& arucoDictionaryIdMap();

// Exact, case-sensitive lookup; throws std::invalid_argument for an unknown name.
int arucoDictionaryIdFromName(const std::string& name);

// OpenCV's predefined dictionary of that id. OpenCV itself falls back to
// DICT_4X4_50 for an unknown id; this throws std::runtime_error instead (the
// dictionary cannot be built), naming the owner ("CharucoTarget", "ArucoTarget").
cv::aruco::Dictionary predefinedDictionary(int id, const std::string& owner);

}  // namespace velk
