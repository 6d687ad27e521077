"""Hand-eye accuracy per solver and set-up, on rendered scenes with known truth.

Renders the demo scenes (15 flange poses, ChArUco board, noise of 1 grey level, blur):
a camera on the flange looking at a board on the table (eye-in-hand), and a stationary
camera looking at a board the flange holds up (eye-to-hand). Calibrates each with every
solver, once with the true intrinsics given and once from the images alone, and prints
the translation (mm) and rotation (deg) errors of the camera transform and of the
target transform against the truth.

    .venv/bin/python bench/hand_eye_solvers.py [--poses 15] [--seed 3]
"""

from __future__ import annotations

import argparse

import _velk
from quorvane.velk import demo

METHODS = ["TSAI", "PARK", "HORAUD", "ANDREFF", "DANIILIDIS", "SHAH", "LI"]


def transforms(setup, result, scene):
    if setup == "eye-in-hand":
        return [(result.tcp_T_camera, scene.tcp_T_camera), (result.world_T_target, scene.world_T_target)]
    return [(result.robot_T_camera, scene.robot_T_camera), (result.tcp_T_target, scene.tcp_T_target)]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--poses", type=int, default=15)
    parser.add_argument("--seed", type=int, default=3)
    args = parser.parse_args()

    scenes = {"eye-in-hand": (demo.simulate_eye_in_hand(args.poses, args.seed), _velk.EyeInHandCalibrator,
                              ("tcp_T_camera", "world_T_target")),
              "eye-to-hand": (demo.simulate_eye_to_hand(args.poses, args.seed), _velk.EyeToHandCalibrator,
                              ("robot_T_camera", "tcp_T_target"))}
    rows = []
    for setup, (scene, make, names) in scenes.items():
        for intrinsics in ("given", "images"):
            extra = ({"intrinsic_matrix": scene.camera_matrix, "distortion_coefficients": scene.distortion}
                     if intrinsics == "given" else {})
            for method in METHODS:
                result = make(scene.target).calibrate(scene.robot_T_tcp_list, scene.images, method, **extra)
                if not result.ok:
                    rows.append((setup, intrinsics, method, "failed"))
                    continue
                cells = []
                for name, (estimate, truth) in zip(names, transforms(setup, result, scene)):
                    translation, rotation = demo.transform_error(estimate, truth)
                    cells.append(f"{name} {translation * 1000:6.3f} mm {rotation:6.4f} deg")
                rows.append((setup, intrinsics, method, "   ".join(cells)))
    print("\nset-up       intrinsics  method      errors against the truth")
    for setup, intrinsics, method, text in rows:
        print(f"{setup:<12} {intrinsics:<11} {method:<11} {text}")


if __name__ == "__main__":
    main()
