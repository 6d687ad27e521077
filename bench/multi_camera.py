"""Time of a whole multi-camera calibration against the same pipeline written directly with cv2.

Renders a four-camera rig looking at a ChArUco board in 15 poses, then runs, one after the other in
this process, MultiCameraCalibrator.calibrate and a plain cv2 version of the same work: ChArUco
detection, per-camera calibrateCamera with the mean reprojection error and the per-view filter,
per-corner pairing by id, one stereoCalibrate per camera against camera 0, and the triangulation
check of frame 0. Annotated pictures are not drawn by the cv2 version (the library draws them as
part of its detections). Prints the best time of each over several rounds and their ratio, at the
default thread counts (target 0.7 or less) and with both OpenCVs on one thread (target 1.0 or less).

    python bench/multi_camera.py [--rounds N]
"""

import argparse
import contextlib
import os
import sys
import time
from pathlib import Path

import cv2
import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import _velk  # noqa: E402
import rig_scene  # noqa: E402

CRITERIA = (cv2.TERM_CRITERIA_COUNT + cv2.TERM_CRITERIA_EPS, 30, 1e-6)
THRESHOLD = 3.0
MIN_COMMON = 15


def charuco_board(target):
    dictionary = cv2.aruco.getPredefinedDictionary(target.aruco_dict_id)
    return cv2.aruco.CharucoBoard((target.squares_x, target.squares_y), target.square_length,
                                  target.marker_length, dictionary)


def detector_for(board):
    charuco = cv2.aruco.CharucoParameters()
    charuco.minMarkers = 2
    charuco.tryRefineMarkers = False
    charuco.checkMarkers = True
    refine = cv2.aruco.RefineParameters(10.0, 3.0, True)
    return cv2.aruco.CharucoDetector(board, charuco, cv2.aruco.DetectorParameters(), refine)


def calibrate_camera(images, board, corners_3d):
    detector = detector_for(board)
    frames, points, ids, objects = [], [], [], []
    for index, image in enumerate(images):
        found, found_ids, _, _ = detector.detectBoard(cv2.cvtColor(image, cv2.COLOR_BGR2GRAY))
        if found is None or len(found) < 4:
            continue
        frames.append(index)
        points.append(found)
        ids.append(found_ids.ravel())
        objects.append(corners_3d[found_ids.ravel()])
    size = (images[0].shape[1], images[0].shape[0])
    _, K, d, rvecs, tvecs, _, _, per_view = cv2.calibrateCameraExtended(objects, points, size, None, None,
                                                                        flags=0, criteria=CRITERIA)
    mean_error = np.mean([cv2.norm(p, cv2.projectPoints(o, r, t, K, d)[0], cv2.NORM_L2) / len(o)
                          for o, p, r, t in zip(objects, points, rvecs, tvecs)])
    low = {frames[j] for j in range(len(frames)) if per_view[j, 0] <= THRESHOLD}
    return {"frames": frames, "points": points, "ids": ids, "K": K, "d": d.reshape(1, -1), "error": mean_error,
            "low": low or set(frames), "size": size}


def pair_points(a, b, corners_3d):
    objects, first, second = [], [], []
    for f in sorted(set(a["frames"]) & set(b["frames"]) & a["low"] & b["low"]):
        i, j = a["frames"].index(f), b["frames"].index(f)
        common = np.intersect1d(a["ids"][i], b["ids"][j])
        if len(common) < MIN_COMMON:
            continue
        row_a = {c: r for r, c in enumerate(a["ids"][i])}
        row_b = {c: r for r, c in enumerate(b["ids"][j])}
        objects.append(corners_3d[common])
        first.append(a["points"][i][[row_a[c] for c in common]])
        second.append(b["points"][j][[row_b[c] for c in common]])
    return objects, first, second


def triangulate_frame(images, board, corners_3d, Ks, ds, poses, per_row):
    observations = {}
    for k, image in enumerate(images):
        found, ids, _, _ = detector_for(board).detectBoard(cv2.cvtColor(image, cv2.COLOR_BGR2GRAY))
        if found is None or len(found) < 4:
            continue
        ideal = cv2.undistortPoints(found.astype(np.float64), Ks[k], ds[k], P=Ks[k]).reshape(-1, 2)
        for c, raw, u in zip(ids.ravel(), found.reshape(-1, 2), ideal):
            observations.setdefault(int(c), []).append((k, raw, u))
    inverse = [np.linalg.inv(p) for p in poses]
    P = [Ks[k] @ inverse[k][:3] for k in range(len(images))]
    points = {}
    for c in sorted(observations):
        seen = observations[c]
        if len(seen) < 2:
            continue
        A = np.concatenate([[u[0] * P[k][2] - P[k][0], u[1] * P[k][2] - P[k][1]] for k, _, u in seen])
        X = np.linalg.svd(A)[2][3]
        points[c] = X[:3] / X[3]
    rms = []
    for k in range(len(images)):
        chosen = [(points[c], next(raw for cam, raw, _ in observations[c] if cam == k))
                  for c in points if any(cam == k for cam, _, _ in observations[c])]
        rvec, _ = cv2.Rodrigues(inverse[k][:3, :3])
        projected, _ = cv2.projectPoints(np.array([p for p, _ in chosen], np.float32), rvec, inverse[k][:3, 3],
                                         Ks[k], ds[k])
        rms.append(np.sqrt(np.mean(np.sum((projected.reshape(-1, 2) - [r for _, r in chosen]) ** 2, axis=1))))
    distances = [np.linalg.norm(points[c + step] - points[c]) for c in points for step in (1, per_row)
                 if c + step in points and (step != 1 or c % per_row != per_row - 1)]
    cloud = np.array(list(points.values()))
    thickness = np.linalg.svd(cloud - cloud.mean(axis=0), compute_uv=False)[2]
    return rms, distances, thickness


def opencv_pipeline(target, image_lists):
    board = charuco_board(target)
    corners_3d = np.asarray(board.getChessboardCorners(), np.float32)
    cameras = [calibrate_camera(images, board, corners_3d) for images in image_lists]
    poses = [np.eye(4)]
    for k in range(1, len(cameras)):
        objects, first, second = pair_points(cameras[0], cameras[k], corners_3d)
        _, _, _, _, _, R, T, _, _ = cv2.stereoCalibrate(
            objects, first, second, cameras[0]["K"], cameras[0]["d"], cameras[k]["K"], cameras[k]["d"],
            cameras[0]["size"], flags=cv2.CALIB_FIX_INTRINSIC, criteria=CRITERIA)
        camera_T_reference = np.eye(4)
        camera_T_reference[:3, :3], camera_T_reference[:3, 3] = R, T.ravel()
        poses.append(np.linalg.inv(camera_T_reference))
    triangulate_frame([images[0] for images in image_lists], board, corners_3d, [c["K"] for c in cameras],
                      [c["d"] for c in cameras], poses, target.squares_x - 1)
    return poses


def library_pipeline(target, image_lists):
    return _velk.MultiCameraCalibrator(target, len(image_lists)).calibrate(image_lists).reference_T_camera_list


@contextlib.contextmanager
def quiet():
    """Silences the library's log lines and report (file descriptors 1 and 2) while timing."""
    sys.stdout.flush()
    saved = [os.dup(1), os.dup(2)]
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(null, 1)
        os.dup2(null, 2)
        yield
    finally:
        os.dup2(saved[0], 1)
        os.dup2(saved[1], 2)
        for fd in saved + [null]:
            os.close(fd)


def timed(function, *args):
    """Wall-clock and CPU seconds (all threads of the process) of one call, and its value."""
    with quiet():
        start, start_cpu = time.perf_counter(), time.process_time()
        value = function(*args)
        elapsed, cpu = time.perf_counter() - start, time.process_time() - start_cpu
    return (elapsed, cpu), value


def compare(scene, rounds):
    """Best wall-clock and CPU times of both pipelines over the rounds, checking that they agree."""
    ours, theirs = [], []
    for _ in range(rounds):
        elapsed, library_poses = timed(library_pipeline, scene.target, scene.images)
        ours.append(elapsed)
        elapsed, opencv_poses = timed(opencv_pipeline, scene.target, scene.images)
        theirs.append(elapsed)
    for a, b in zip(library_poses, opencv_poses):
        assert np.allclose(a, b, atol=1e-6), "the two pipelines disagree"
    for name, runs in (("MultiCameraCalibrator.calibrate", ours), ("cv2 pipeline in Python", theirs)):
        wall, cpu = np.array(runs).T * 1000
        print(f"  {name:32s} wall best {wall.min():7.1f} ms, median {np.median(wall):7.1f} ms; "
              f"CPU best {cpu.min():7.1f} ms")
    best_ours, best_theirs = min(w for w, _ in ours), min(w for w, _ in theirs)
    cpu_ratio = min(c for _, c in ours) / min(c for _, c in theirs)
    return best_ours / best_theirs, cpu_ratio


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()

    print("rendering 4 cameras x 15 frames ...", flush=True)
    scene = rig_scene.render_rig(4, 15)
    default_library, default_cv2 = _velk.get_num_threads(), cv2.getNumThreads()
    for label, threads, target in (("default threads", None, 0.7), ("one thread", 1, 1.0)):
        _velk.set_num_threads(threads or default_library)
        cv2.setNumThreads(threads or default_cv2)
        print(f"{label} (library {_velk.get_num_threads()}, cv2 {cv2.getNumThreads()}):")
        wall_ratio, cpu_ratio = compare(scene, args.rounds)
        print(f"  ratio library / cv2: {wall_ratio:.3f} wall-clock (target <= {target}), {cpu_ratio:.3f} CPU time")
    _velk.set_num_threads(default_library)
    cv2.setNumThreads(default_cv2)


if __name__ == "__main__":
    main()
