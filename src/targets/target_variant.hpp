#pragma once

#include <variant>

#include "targets/aruco_target.hpp"
#include "targets/charuco_target.hpp"
#include "targets/chessboard_target.hpp"
#include "targets/circle_grid_target.hpp"

namespace velk {

// Any of the four printed targets; calibrators dispatch on the held alternative.
using TargetVariant = std::variant<ChessboardTarget, CharucoTarget, ArucoTarget, CircleGridTarget>;

// Validates whichever target is held (see the targets' validate()).
inline void validateTarget(const TargetVariant& target) {
    std::visit([](const auto& held) { held.validate(); }, target);
}

// Most points the target gives in one picture (every corner, marker corner or circle seen).
inline int targetPointCount(const TargetVariant& target) {
    struct Count {
        int operator()(const ChessboardTarget& t) const { return t.size.width * t.size.height; }
        int operator()(const CharucoTarget& t) const { return (t.squares_x - 1) * (t.squares_y - 1); }
        int operator()(const ArucoTarget& t) const { return 4 * t.markerCount(); }
        int operator()(const CircleGridTarget& t) const { return t.size.width * t.size.height; }
    };
    return std::visit(Count{}, target);
}

}  // namespace velk
