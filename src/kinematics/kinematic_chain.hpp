#pragma once

#include <array>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace velk::kinematics {

enum class JointType { kRevolute, kPrismatic };

// How a link's fixed geometry is given.
//   standard DH:  Trans_z(d) * Rot_z(theta + q) * Trans_x(r) * Rot_x(alpha)
//   modified DH:  Rot_x(alpha) * Trans_x(a) * Rot_z(theta + q) * Trans_z(d)
//   origin:       Trans(xyz) * Rot_z(yaw) * Rot_y(pitch) * Rot_x(roll) * Motion(axis, q)
// For a prismatic DH joint q adds to d instead of theta.
enum class LinkConvention { kStandardDh, kModifiedDh, kOrigin };

// One joint with the fixed geometry that leads to it (origin) or surrounds it (DH).
struct ChainLink {
    std::string name;
    JointType type = JointType::kRevolute;
    LinkConvention convention = LinkConvention::kOrigin;
    // DH: d, theta, r (a for modified DH), alpha, unused, unused; origin: x, y, z, roll, pitch, yaw.
    // Lengths in metres, angles in radians.
    std::array<double, 6> values = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    std::array<double, 3> axis = {0.0, 0.0, 1.0};  // unit; DH joints move about or along z
    double zero_offset = 0.0;                      // added to the joint reading: rad, or m for a prismatic joint
};

// A serial chain: base_T_flange(q) = base_T_chain * link_1(q_1) * ... * link_n(q_n) * last_T_flange.
struct KinematicChain {
    std::string base_frame = "base";
    std::string flange_frame = "flange";
    cv::Mat base_T_chain = cv::Mat::eye(4, 4, CV_64F);  // fixed, 4x4 CV_64F
    cv::Mat last_T_flange = cv::Mat::eye(4, 4, CV_64F);
    std::vector<ChainLink> links;

    int jointCount() const { return static_cast<int>(links.size()); }
};

ChainLink dhLink(const std::string& name, JointType type, bool modified, double d_m, double theta_rad, double r_m,
                 double alpha_rad);
ChainLink originLink(const std::string& name, JointType type, const std::array<double, 3>& xyz_m,
                     const std::array<double, 3>& rpy_rad, const std::array<double, 3>& axis);

// Throws std::invalid_argument for a chain without joints, a non-unit axis, a DH joint whose axis is
// not z, or fixed transforms that are not 4x4 rigid motions.
void validateChain(const KinematicChain& chain);

// The joint's label in names of parameters: its name, or "joint <k>" (from 1) when it has none.
std::string jointLabel(const KinematicChain& chain, int joint);

}  // namespace velk::kinematics
