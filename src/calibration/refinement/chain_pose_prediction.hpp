#pragma once

#include "kinematics/chain_corrections.hpp"
#include "kinematics/forward_kinematics.hpp"
#include "kinematics/kinematic_chain.hpp"
#include "kinematics/rigid_motion.hpp"

namespace velk::calibration {

// Where the sensor sits: fixed beside the chain, seeing a target the chain carries, or carried by
// the chain, seeing a fixed target. The two unknown transforms are the sensor's mount (base_T_camera
// or flange_T_camera) and the target's carrier (flange_T_target or base_T_target).
enum class ChainSetup { kSensorFixed, kSensorOnChain };

// The measured pose the chain predicts:
//   sensor fixed:     camera_T_target = inv(base_T_camera) * base_T_flange(q) * flange_T_target
//   sensor on chain:  camera_T_target = inv(flange_T_camera) * inv(base_T_flange(q)) * base_T_target
template <typename T>
kinematics::RigidMotion<T> predictedCameraTTarget(ChainSetup setup, const kinematics::KinematicChain& chain,
                                                  const kinematics::CorrectionLayout& layout, const T* corrections,
                                                  const double* joints, const kinematics::RigidMotion<T>& mount,
                                                  const kinematics::RigidMotion<T>& carrier) {
    const kinematics::RigidMotion<T> flange = kinematics::baseTFlange(chain, layout, corrections, joints);
    if (setup == ChainSetup::kSensorFixed) {
        return mount.inverse() * flange * carrier;
    }
    return mount.inverse() * flange.inverse() * carrier;
}

}  // namespace velk::calibration
