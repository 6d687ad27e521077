#pragma once

#include <variant>

#include "targets/aruco_target.hpp"
#include "targets/charuco_target.hpp"
#include "targets/chessboard_target.hpp"

namespace velk {

// Any of the three printed targets; calibrators dispatch on the held alternative.
using TargetVariant = std::variant<ChessboardTarget, CharucoTarget, ArucoTarget>;

// Validates whichever target is held (see the targets' validate()).
inline void validateTarget(const TargetVariant& target) {
    std::visit([](const auto& held) { held.validate(); }, target);
}

}  // namespace velk
