#include "kinematics/chain_corrections.hpp"

#include <stdexcept>

namespace velk::kinematics {
namespace {

// The values of a link that full mode corrects, and their names.
std::vector<int> correctedValues(const ChainLink& link) {
    if (link.convention == LinkConvention::kOrigin) {
        return {0, 1, 2, 3, 4, 5};
    }
    // theta of a revolute joint and d of a prismatic one are the zero offset.
    return link.type == JointType::kRevolute ? std::vector<int>{0, 2, 3} : std::vector<int>{1, 2, 3};
}

std::string valueName(const ChainLink& link, int value) {
    static const char* const kOrigin[6] = {"origin x",    "origin y",     "origin z",
                                           "origin roll", "origin pitch", "origin yaw"};
    static const char* const kStandard[4] = {"d", "theta", "r", "alpha"};
    static const char* const kModified[4] = {"d", "theta", "a", "alpha"};
    switch (link.convention) {
        case LinkConvention::kOrigin: return kOrigin[value];
        case LinkConvention::kStandardDh: return kStandard[value];
        case LinkConvention::kModifiedDh: return kModified[value];
    }
    return "";
}

bool valueIsAngle(const ChainLink& link, int value) {
    return link.convention == LinkConvention::kOrigin ? value >= 3 : value == 1 || value == 3;
}

}  // namespace

CorrectionLayout correctionLayout(const KinematicChain& chain, CorrectionMode mode) {
    CorrectionLayout layout;
    layout.mode = mode;
    for (int j = 0; j < chain.jointCount(); ++j) {
        layout.names.push_back(jointLabel(chain, j) + " zero offset");
        layout.angular.push_back(chain.links[j].type == JointType::kRevolute);
    }
    for (int j = 0; j < chain.jointCount(); ++j) {
        const ChainLink& link = chain.links[j];
        if (mode == CorrectionMode::kOffsets) {
            layout.link_starts.push_back(-1);
            layout.link_values.emplace_back();
            continue;
        }
        layout.link_starts.push_back(layout.count());
        layout.link_values.push_back(correctedValues(link));
        for (int value : layout.link_values.back()) {
            layout.names.push_back(jointLabel(chain, j) + " " + valueName(link, value));
            layout.angular.push_back(valueIsAngle(link, value));
        }
    }
    return layout;
}

KinematicChain correctedChain(const KinematicChain& chain, const CorrectionLayout& layout,
                              const std::vector<double>& corrections) {
    if (static_cast<int>(corrections.size()) != layout.count()) {
        throw std::invalid_argument("correctedChain: expected " + std::to_string(layout.count()) + " corrections");
    }
    KinematicChain corrected = chain;
    corrected.base_T_chain = chain.base_T_chain.clone();
    corrected.last_T_flange = chain.last_T_flange.clone();
    for (int j = 0; j < chain.jointCount(); ++j) {
        ChainLink& link = corrected.links[j];
        link.zero_offset += corrections[j];
        for (size_t k = 0; k < layout.link_values[j].size(); ++k) {
            link.values[layout.link_values[j][k]] += corrections[layout.link_starts[j] + k];
        }
    }
    return corrected;
}

}  // namespace velk::kinematics
