#pragma once

#include <string>

#include "calibration/detection/intrinsic_options.hpp"

namespace velk::calibration {

// The name found_by gives a picture the first search found.
inline const char* const kFirstSearchName = "plain";
// The name of the marker boards' search after the first (wider threshold windows, smaller markers).
inline const char* const kWiderMarkerSearchName = "wider";

// The INFO line naming a picture that a search after the first found:
// "[component] <target> found by the <search> search in image <label>".
void logFoundByLaterSearch(const std::string& component, const std::string& target, const std::string& search,
                           const IntrinsicOptions& options, int index);

}  // namespace velk::calibration
