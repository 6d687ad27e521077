#include "core/fixed_text.hpp"

#include <cstdio>

namespace velk {

std::string fixedText(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

}  // namespace velk
