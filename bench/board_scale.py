"""How well the hand-eye refinement measures the board's true size against the target file's.

Both set-ups, 15 views of projected corners with 0.3 px noise, the reported flange poses off by a random
motion per pose; the target file's lengths off by a share e of the true ones (e = 0: a correct file).
Per configuration, over the seeds: the 1-sigma of the measured scale against its spread about the truth
(should be 0.7 to 1.3), and how often the size is judged to differ from the file's (3 sigma and 0.3 %):
at e = 0 that is a false alarm, at e = 1 % and 1.5 % a detection.

    python bench/board_scale.py [--seeds N] [--views N]
"""

import argparse
import contextlib
import os
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import _velk  # noqa: E402
import projected_corners as pc  # noqa: E402

FILE_ERRORS = (0.0, 0.01, 0.015)
ROBOT_ERRORS = ((0.5, 0.05), (1.0, 0.1))


@contextlib.contextmanager
def quiet():
    """Silences the library's log lines (file descriptor 2)."""
    sys.stderr.flush()
    saved = os.dup(2)
    with open(os.devnull, "w") as null:
        os.dup2(null.fileno(), 2)
        try:
            yield
        finally:
            os.dup2(saved, 2)
            os.close(saved)


def measured_scale(setup, views, seed, robot_error, file_error, given_intrinsics):
    """(true scale, measured scale, its 1-sigma, differs) of one scene whose target file is off by file_error."""
    corners = pc.eye_to_hand_corners if setup == "eye-to-hand" else pc.eye_in_hand_corners
    scene = corners(num_views=views, noise_px=0.3, seed=seed, robot_error=robot_error)
    scene.object_points = [points * (1.0 + file_error) for points in scene.object_points]
    if given_intrinsics:
        K, D = pc.EYE_IN_HAND_K, pc.EYE_IN_HAND_D.reshape(1, -1)
        poses = pc.poses_with_intrinsics(scene, K, D)
    else:
        K, D, poses = pc.intrinsics_from_views(scene)
    if setup == "eye-to-hand":
        start = pc.closed_form_robot_T_camera(scene.robot_T_tcp_list, poses, "TSAI")
        problem = pc.eye_to_hand_problem(scene, start, K, D, not given_intrinsics)
    else:
        start = pc.closed_form_tcp_T_camera(scene.robot_T_tcp_list, poses, "TSAI")
        problem = pc.eye_in_hand_problem(scene, start, K, D, not given_intrinsics)
    with quiet():
        result = _velk.refine_hand_eye(problem)
    if not result.target_scale_measured:
        return None
    return 1.0 / (1.0 + file_error), result.target_scale, result.target_scale_sigma, result.target_scale_differs


def table(seeds, views):
    print(f"{'set-up':12} {'intrinsics':10} {'robot':>12} {'file off':>8} {'sigma %':>8} {'spread %':>8} "
          f"{'sig/spr':>7} {'in 2sig':>7} {'flagged':>8}")
    for setup in ("eye-in-hand", "eye-to-hand"):
        for given in (True, False):
            for robot_error in ROBOT_ERRORS:
                for file_error in FILE_ERRORS:
                    rows = [measured_scale(setup, views, seed, robot_error, file_error, given) for seed in range(seeds)]
                    rows = [r for r in rows if r is not None]
                    truth = np.array([r[0] for r in rows])
                    scale = np.array([r[1] for r in rows])
                    sigma = np.array([r[2] for r in rows])
                    errors = scale - truth
                    spread = float(np.sqrt(np.mean(errors ** 2)))
                    within = float(np.mean(np.abs(errors) <= 2 * sigma))
                    flagged = float(np.mean([r[3] for r in rows]))
                    print(f"{setup:12} {'given' if given else 'pictures':10} "
                          f"{robot_error[0]:5.1f}mm/{robot_error[1]:.2f}d {file_error * 100:7.1f}% "
                          f"{np.median(sigma) * 100:8.3f} {spread * 100:8.3f} {np.median(sigma) / spread:7.2f} "
                          f"{within:7.0%} {flagged:8.0%}  ({len(rows)} of {seeds} measured)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seeds", type=int, default=30)
    parser.add_argument("--views", type=int, default=15)
    args = parser.parse_args()
    table(args.seeds, args.views)


if __name__ == "__main__":
    main()
