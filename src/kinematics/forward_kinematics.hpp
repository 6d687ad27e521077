#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "kinematics/chain_corrections.hpp"
#include "kinematics/kinematic_chain.hpp"
#include "kinematics/rigid_motion.hpp"

namespace velk::kinematics {

// One link's motion at joint reading q (zero offset included) from its six values.
template <typename T>
RigidMotion<T> linkMotion(const ChainLink& link, const T* values, const T& q) {
    const bool revolute = link.type == JointType::kRevolute;
    switch (link.convention) {
        case LinkConvention::kStandardDh: {
            const T d = revolute ? values[0] : values[0] + q;
            const T theta = revolute ? values[1] + q : values[1];
            return translationAlong(kAxisZ, d) * rotationAbout(kAxisZ, theta) * translationAlong(kAxisX, values[2]) *
                   rotationAbout(kAxisX, values[3]);
        }
        case LinkConvention::kModifiedDh: {
            const T d = revolute ? values[0] : values[0] + q;
            const T theta = revolute ? values[1] + q : values[1];
            return rotationAbout(kAxisX, values[3]) * translationAlong(kAxisX, values[2]) *
                   rotationAbout(kAxisZ, theta) * translationAlong(kAxisZ, d);
        }
        case LinkConvention::kOrigin:
        default: {
            const RigidMotion<T> origin = originMotion(values, values + 3);
            return revolute ? origin * rotationAbout(link.axis.data(), q)
                            : origin * translationAlong(link.axis.data(), q);
        }
    }
}

// base_T_flange at the joint readings, with the corrections of the layout (nullptr: none) added to
// the nominal chain.
template <typename T>
RigidMotion<T> baseTFlange(const KinematicChain& chain, const CorrectionLayout& layout, const T* corrections,
                           const double* joints) {
    RigidMotion<T> motion = RigidMotion<T>::fromMatrix(chain.base_T_chain.ptr<double>());
    for (int j = 0; j < chain.jointCount(); ++j) {
        const ChainLink& link = chain.links[j];
        T values[6];
        for (int k = 0; k < 6; ++k) {
            values[k] = T(link.values[k]);
        }
        T q = T(joints[j] + link.zero_offset);
        if (corrections != nullptr) {
            q += corrections[j];
            for (size_t k = 0; k < layout.link_values[j].size(); ++k) {
                values[layout.link_values[j][k]] += corrections[layout.link_starts[j] + k];
            }
        }
        motion = motion * linkMotion(link, values, q);
    }
    return motion * RigidMotion<T>::fromMatrix(chain.last_T_flange.ptr<double>());
}

// base_T_flange of the chain as it is, 4x4 CV_64F.
cv::Mat forwardKinematics(const KinematicChain& chain, const std::vector<double>& joints);

cv::Mat motionMatrix(const RigidMotion<double>& motion);

}  // namespace velk::kinematics
