#pragma once

#include <string>
#include <vector>

#include "kinematics/kinematic_chain.hpp"

namespace velk::kinematics {

// Which corrections of the nominal chain are unknowns: the joints' zero offsets alone, or with them
// the fixed geometry of every link.
enum class CorrectionMode { kOffsets, kFull };

// The corrections vector of a chain: first one zero offset per joint, then (full mode) per link the
// link values it corrects, in joint order. A link value that moves with the joint reading (theta of a
// revolute DH joint, d of a prismatic one) is its zero offset and is not corrected a second time.
struct CorrectionLayout {
    CorrectionMode mode = CorrectionMode::kOffsets;
    std::vector<int> link_starts;               // per joint, first index of its link corrections; -1 without
    std::vector<std::vector<int>> link_values;  // per joint, the indices into ChainLink::values corrected
    std::vector<std::string> names;             // "joint 1 zero offset", "joint 2 alpha", ...
    std::vector<bool> angular;                  // rad when true, m otherwise

    int count() const { return static_cast<int>(names.size()); }
};

CorrectionLayout correctionLayout(const KinematicChain& chain, CorrectionMode mode);

// The chain with the corrections folded in: offsets into the joints' zero offsets, link corrections
// into their values.
KinematicChain correctedChain(const KinematicChain& chain, const CorrectionLayout& layout,
                              const std::vector<double>& corrections);

}  // namespace velk::kinematics
