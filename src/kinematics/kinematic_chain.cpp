#include "kinematics/kinematic_chain.hpp"

#include <cmath>
#include <stdexcept>

namespace velk::kinematics {
namespace {

void checkRigid(const cv::Mat& transform, const std::string& what) {
    if (transform.rows != 4 || transform.cols != 4 || transform.type() != CV_64F) {
        throw std::invalid_argument("KinematicChain: " + what + " must be a 4x4 float64 matrix");
    }
    const cv::Mat rotation = transform(cv::Rect(0, 0, 3, 3));
    const double orthogonality = cv::norm(rotation.t() * rotation - cv::Mat::eye(3, 3, CV_64F));
    if (!(orthogonality < 1e-6) || !(cv::determinant(rotation) > 0.0)) {
        throw std::invalid_argument("KinematicChain: " + what + " is not a rigid motion");
    }
}

}  // namespace

ChainLink dhLink(const std::string& name, JointType type, bool modified, double d_m, double theta_rad, double r_m,
                 double alpha_rad) {
    ChainLink link;
    link.name = name;
    link.type = type;
    link.convention = modified ? LinkConvention::kModifiedDh : LinkConvention::kStandardDh;
    link.values = {d_m, theta_rad, r_m, alpha_rad, 0.0, 0.0};
    return link;
}

ChainLink originLink(const std::string& name, JointType type, const std::array<double, 3>& xyz_m,
                     const std::array<double, 3>& rpy_rad, const std::array<double, 3>& axis) {
    const double length = std::sqrt(axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2]);
    if (!(length > 1e-9)) {
        throw std::invalid_argument("originLink: the axis of joint '" + name + "' has no length");
    }
    ChainLink link;
    link.name = name;
    link.type = type;
    link.convention = LinkConvention::kOrigin;
    link.values = {xyz_m[0], xyz_m[1], xyz_m[2], rpy_rad[0], rpy_rad[1], rpy_rad[2]};
    link.axis = {axis[0] / length, axis[1] / length, axis[2] / length};
    return link;
}

void validateChain(const KinematicChain& chain) {
    if (chain.links.empty()) {
        throw std::invalid_argument("KinematicChain: the chain has no joints");
    }
    checkRigid(chain.base_T_chain, "base_T_chain");
    checkRigid(chain.last_T_flange, "last_T_flange");
    for (int j = 0; j < chain.jointCount(); ++j) {
        const ChainLink& link = chain.links[j];
        const auto& a = link.axis;
        if (std::abs(a[0] * a[0] + a[1] * a[1] + a[2] * a[2] - 1.0) > 1e-9) {
            throw std::invalid_argument("KinematicChain: the axis of " + jointLabel(chain, j) +
                                        " is not a unit vector");
        }
        if (link.convention != LinkConvention::kOrigin && (a[0] != 0.0 || a[1] != 0.0 || a[2] != 1.0)) {
            throw std::invalid_argument("KinematicChain: the DH " + jointLabel(chain, j) + " must move about z");
        }
        for (double value : link.values) {
            if (!std::isfinite(value) || !std::isfinite(link.zero_offset)) {
                throw std::invalid_argument("KinematicChain: " + jointLabel(chain, j) + " has a non-finite value");
            }
        }
    }
}

std::string jointLabel(const KinematicChain& chain, int joint) {
    const std::string& name = chain.links.at(joint).name;
    return name.empty() ? "joint " + std::to_string(joint + 1) : "joint " + name;
}

}  // namespace velk::kinematics
