#pragma once

#include <string>

namespace velk {

// The value in fixed notation with the given number of decimals ("%.*f").
std::string fixedText(double value, int decimals);

}  // namespace velk
