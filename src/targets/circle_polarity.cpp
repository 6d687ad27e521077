#include "targets/circle_polarity.hpp"

#include <stdexcept>

namespace velk {

std::string circlePolarityName(CirclePolarity polarity) {
    switch (polarity) {
        case CirclePolarity::Dark: return "dark";
        case CirclePolarity::Light: return "light";
        case CirclePolarity::Either: break;
    }
    return "either";
}

CirclePolarity circlePolarityFromName(const std::string& name) {
    for (CirclePolarity polarity : {CirclePolarity::Dark, CirclePolarity::Light, CirclePolarity::Either}) {
        if (circlePolarityName(polarity) == name) {
            return polarity;
        }
    }
    throw std::invalid_argument("CircleGridTarget: polarity must be \"dark\", \"light\" or \"either\", got \"" + name +
                                "\"");
}

}  // namespace velk
