#pragma once

#include <string>

namespace velk {

// Which circles a circle grid has: dark circles on a light ground (printed paper), light circles on a
// dark ground (ceramic and glass plates), or either, in which case detection looks for dark circles
// first and for light ones where it finds no dark grid.
enum class CirclePolarity { Dark, Light, Either };

// "dark", "light", "either".
std::string circlePolarityName(CirclePolarity polarity);

// The polarity named "dark", "light" or "either"; std::invalid_argument for any other name.
CirclePolarity circlePolarityFromName(const std::string& name);

}  // namespace velk
