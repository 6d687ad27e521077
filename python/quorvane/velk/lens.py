"""Projection and posing through either lens model the library calibrates: "pinhole" (OpenCV's
radial-tangential distortion) or "fisheye" (the equidistant model of cv2.fisheye, distortion k1..k4)."""

from __future__ import annotations

import numpy as np

CAMERA_MODELS = ("pinhole", "fisheye")


def check_model(camera_model: str) -> str:
    if camera_model not in CAMERA_MODELS:
        raise ValueError(f"camera_model must be 'pinhole' or 'fisheye', got {camera_model!r}")
    return camera_model


def project_points(object_points, rvec, tvec, camera_matrix, distortion, camera_model: str = "pinhole"):
    """Pixels (N x 2) of object points (N x 3) seen under a rotation vector and translation."""
    import cv2

    objects = np.asarray(object_points, np.float64).reshape(-1, 1, 3)
    rvec = np.ascontiguousarray(np.asarray(rvec, np.float64).reshape(3, 1))
    tvec = np.ascontiguousarray(np.asarray(tvec, np.float64).reshape(3, 1))
    k = np.asarray(camera_matrix, np.float64)
    d = np.asarray(distortion, np.float64)
    if check_model(camera_model) == "fisheye":
        projected, _ = cv2.fisheye.projectPoints(objects, rvec, tvec, k, d.reshape(1, -1))
    else:
        projected, _ = cv2.projectPoints(objects, rvec, tvec, k, d)
    return projected.reshape(-1, 2)


def solve_pose(object_points, image_points, camera_matrix, distortion, camera_model: str = "pinhole"):
    """(ok, rvec, tvec) of the board from its corners (iterative solvePnP through the lens model)."""
    import cv2

    objects = np.asarray(object_points, np.float64).reshape(-1, 1, 3)
    points = np.asarray(image_points, np.float64).reshape(-1, 1, 2)
    k = np.asarray(camera_matrix, np.float64)
    d = np.asarray(distortion, np.float64)
    if check_model(camera_model) == "fisheye":
        return cv2.fisheye.solvePnP(objects, points, k, d.reshape(1, -1))
    return cv2.solvePnP(objects, points, k, d)


def normalized_points(image_points, camera_matrix, distortion, camera_model: str = "pinhole"):
    """Points (N x 2) on the plane z = 1 of the camera whose pixels (N x 2) these are, the lens's distortion
    taken out."""
    import cv2

    points = np.asarray(image_points, np.float64).reshape(-1, 1, 2)
    k = np.asarray(camera_matrix, np.float64)
    d = np.asarray(distortion, np.float64)
    if check_model(camera_model) == "fisheye":
        return cv2.fisheye.undistortPoints(points, k, d.reshape(1, -1)).reshape(-1, 2)
    criteria = (cv2.TERM_CRITERIA_COUNT + cv2.TERM_CRITERIA_EPS, 50, 1e-12)
    return cv2.undistortPointsIter(points, k, d, None, None, criteria).reshape(-1, 2)


def pixels_of_normalized(points, camera_matrix, distortion, camera_model: str = "pinhole"):
    """Pixels (N x 2) of points (N x 2) on the plane z = 1 of the camera, through the lens model."""
    rays = np.column_stack([np.asarray(points, np.float64).reshape(-1, 2), np.ones(len(points))])
    return project_points(rays, np.zeros(3), np.zeros(3), camera_matrix, distortion, camera_model)


def _pinhole_fit(objects, points, size) -> float | None:
    """The smaller RMS of the pinhole model with rational distortion and with k1 k2 p1 p2 k3: the rational fit
    alone can settle in a poor minimum on a lens of little distortion and make the pinhole model look worse than
    it is. None when neither could be fitted."""
    import cv2

    found = []
    for flags in (cv2.CALIB_RATIONAL_MODEL, 0):
        try:
            rms, *_ = cv2.calibrateCamera([o.astype(np.float32) for o in objects],
                                          [p.astype(np.float32) for p in points], size, None, None, flags=flags)
        except cv2.error:
            continue
        if np.isfinite(rms):
            found.append(float(rms))
    return min(found) if found else None


def model_fits(object_points, image_points, image_size) -> dict:
    """RMS reprojection error (px, over every corner) of the same detections fitted by each lens model: the
    pinhole model with its rational distortion (k1..k6, p1, p2) or k1 k2 p1 p2 k3, whichever fits better, and the
    fisheye model; None where the model
    could not be fitted. Tells users which model describes their lens."""
    import cv2

    objects = [np.asarray(o, np.float64).reshape(-1, 1, 3) for o in object_points]
    points = [np.asarray(p, np.float64).reshape(-1, 1, 2) for p in image_points]
    size = (int(image_size[0]), int(image_size[1]))
    fits = {"pinhole": _pinhole_fit(objects, points, size)}
    try:
        criteria = (cv2.TERM_CRITERIA_COUNT + cv2.TERM_CRITERIA_EPS, 100, np.finfo(float).eps)
        rms, *_ = cv2.fisheye.calibrate(objects, points, size, None, None,
                                        flags=cv2.fisheye.CALIB_RECOMPUTE_EXTRINSIC | cv2.fisheye.CALIB_FIX_SKEW,
                                        criteria=criteria)
        fits["fisheye"] = float(rms) if np.isfinite(rms) else None
    except cv2.error:
        fits["fisheye"] = None
    return fits


#: The other lens model fits clearly better when its RMS is this many times smaller.
BETTER_FIT_FACTOR = 1.5


def better_model(fits: dict, used: str) -> str | None:
    """The other lens model of model_fits when it fits the corners clearly better than the one used, else None."""
    other = "pinhole" if used == "fisheye" else "fisheye"
    mine, theirs = fits.get(used), fits.get(other)
    return other if mine is not None and theirs is not None and theirs < mine / BETTER_FIT_FACTOR else None


def model_fit_text(fits: dict, used: str) -> str:
    """One sentence comparing the fits of model_fits with the model the calibration used."""
    def shown(model):
        value = fits.get(model)
        return f"{value:.3f} px" if value is not None else "could not be fitted"

    text = f"fisheye {shown('fisheye')}, pinhole (rational) {shown('pinhole')} RMS on the same corners"
    other = "pinhole" if used == "fisheye" else "fisheye"
    mine, theirs = fits.get(used), fits.get(other)
    if better_model(fits, used):
        text += f"; the {other} model fits this lens {mine / theirs:.1f}x better: calibrate with --camera-model {other}"
    elif mine is not None and (theirs is None or theirs > mine):
        text += f"; the {used} model used fits best"
        if theirs is not None:
            text += f" (the {other} model's error is {theirs / mine:.1f}x larger)"
    return text
