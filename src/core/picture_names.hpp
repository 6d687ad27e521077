#pragma once

#include <string>
#include <vector>

namespace velk {

// How the library's text names a picture. Without names a picture is named by its position in the list a
// calibration was given ("3"); with the file names of that list (`names[position]`) by the capture number
// of an "image_<k>.<ext>" name (else the position) followed by the file name: "8 (image_8.png)". A position
// outside the names is named by its number.
std::string pictureLabel(const std::vector<std::string>& names, int position);

// The label of the `view`-th picture a calibration used, `used` holding their positions in the list given;
// a view outside `used` is named by its number.
std::string usedPictureLabel(const std::vector<std::string>& names, const std::vector<int>& used, int view);

}  // namespace velk

namespace velk {

// labels[index] when there is one, else the index as a number.
std::string labelAt(const std::vector<std::string>& labels, int index);

// The labels (pictureLabel) of the pictures at `positions` of the list `names` belongs to; empty without names.
std::vector<std::string> pictureLabels(const std::vector<std::string>& names, const std::vector<int>& positions);

// The names at `positions`, for a calibration given those pictures alone; empty without names.
std::vector<std::string> namesAt(const std::vector<std::string>& names, const std::vector<int>& positions);

}  // namespace velk
