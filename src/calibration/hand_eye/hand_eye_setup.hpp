#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace velk::calibration {

// Where the camera and the target sit. Eye-in-hand: the camera rides on the flange and
// the target lies still; eye-to-hand: the camera stands still and the flange carries the target.
//
// Both are solved as one problem: find X (the camera's pose in the frame it is fixed to)
// and Y (the target's pose in the frame it is fixed to) with
//     Y = motion_i * X * camera_T_target_i   for every frame i,
// where motion_i is robot_T_tcp_i for eye-in-hand (X = tcp_T_camera, Y = world_T_target)
// and its inverse for eye-to-hand (X = robot_T_camera, Y = tcp_T_target).
enum class HandEyeSetup { EyeInHand, EyeToHand };

// "eye-in-hand" or "eye-to-hand"; anything else throws std::invalid_argument
// "<operation>: unknown set-up '<name>' (expected "eye-in-hand" or "eye-to-hand")".
HandEyeSetup handEyeSetupFromName(const std::string& name, const std::string& operation);

// The calibrator that serves the set-up, as its log lines and messages name it.
std::string calibratorName(HandEyeSetup setup);

// Name of X in messages: "tcp_T_camera" or "robot_T_camera".
std::string cameraTransformName(HandEyeSetup setup);

// motion_i of every robot pose, in CV_64F.
std::vector<cv::Mat> handEyeMotions(HandEyeSetup setup, const std::vector<cv::Mat>& robot_T_tcp_list);

}  // namespace velk::calibration
