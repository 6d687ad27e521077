#pragma once

#include <optional>
#include <string>

namespace velk::io {

// Plain capture images of a camera folder are image_<index>.png; annotated copies
// (…_annotated.png) and other files are not captures.
bool isCaptureImageName(const std::string& file_name);

// The capture index of a capture image name: the digits after the stem's last "_".
// nullopt when that text is empty or not all digits, or when the index or the one
// after it does not fit an int.
std::optional<int> captureIndex(const std::string& file_name);

// Capture order of capture image names: numeric indices ascending (image_2 before
// image_10), names without a numeric index after them; ties in byte order.
bool precedesInCaptureOrder(const std::string& a, const std::string& b);

}  // namespace velk::io
