"""The intrinsic parameters of a calibration result paired with their 1-sigma, by name, and how far the 1-sigma of a
distortion term moves a point seen in the picture's corners.

``std_deviations_intrinsics`` holds fx, fy, cx, cy, then the distortion terms in the order of the distortion vector:
k1, k2, p1, p2, k3, k4, k5, k6, s1..s4, tau_x, tau_y for the pinhole model (18 entries), k1..k4 for the fisheye model
(8 entries). A parameter the calibration held fixed reads 0.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from .distortion_field import picture_corners

CAMERA_TERMS = ("fx", "fy", "cx", "cy")
PINHOLE_DISTORTION_TERMS = ("k1", "k2", "p1", "p2", "k3", "k4", "k5", "k6", "s1", "s2", "s3", "s4", "tau_x", "tau_y")
FISHEYE_DISTORTION_TERMS = ("k1", "k2", "k3", "k4")


@dataclass(frozen=True)
class Parameter:
    """One intrinsic parameter: its value and 1-sigma (0 when the calibration held it fixed); ``index`` is its
    position in the distortion vector for a distortion term, None for the camera matrix's."""

    name: str
    value: float
    sigma: float
    index: int | None = None

    @property
    def free(self) -> bool:
        """Whether the calibration solved for it (a fixed parameter's 1-sigma reads 0)."""
        return self.sigma > 0.0

    @property
    def relative_sigma(self) -> float:
        """The 1-sigma as a share of the value (inf for a value of 0)."""
        return self.sigma / abs(self.value) if self.value != 0.0 else float("inf")

    def text(self, unit: str = "") -> str:
        """'k3 = -5.7 +- 9.1' as the verdict names it."""
        return f"{self.name} = {self.value:.4g} +- {self.sigma:.2g}{unit}"


def distortion_terms(camera_model: str) -> tuple[str, ...]:
    """Names of the distortion vector's entries of the lens model."""
    return FISHEYE_DISTORTION_TERMS if camera_model == "fisheye" else PINHOLE_DISTORTION_TERMS


def _sigmas(result) -> np.ndarray:
    return np.ravel(np.asarray(result.std_deviations_intrinsics, np.float64))


def camera_parameters(result) -> list[Parameter]:
    """fx, fy, cx, cy with their 1-sigma; empty when the result holds no deviations."""
    sigmas = _sigmas(result)
    if sigmas.size < len(CAMERA_TERMS):
        return []
    k = np.asarray(result.intrinsic_matrix, np.float64)
    values = (k[0, 0], k[1, 1], k[0, 2], k[1, 2])
    return [Parameter(name, float(v), float(s)) for name, v, s in zip(CAMERA_TERMS, values, sigmas)]


def distortion_parameters(result) -> list[Parameter]:
    """The distortion terms the calibration solved for (those it held fixed left out), with their 1-sigma."""
    sigmas = _sigmas(result)[len(CAMERA_TERMS):]
    values = np.ravel(np.asarray(result.distortion_coefficients, np.float64))
    names = distortion_terms(result.camera_model)
    return [Parameter(names[i], float(values[i]), float(sigmas[i]), i)
            for i in range(min(len(values), len(sigmas), len(names))) if sigmas[i] > 0.0]


def _corner_rays(camera_matrix, image_size) -> np.ndarray:
    """Normalised rays an ideal pinhole lens would put at the picture's four corners."""
    k = np.asarray(camera_matrix, np.float64)
    pixels = picture_corners(image_size)
    return np.c_[(pixels - k[:2, 2]) / [k[0, 0], k[1, 1]], np.ones(4)]


def _pinhole_shift_px(camera_matrix, distortion, changed, image_size) -> float:
    import cv2

    rays = _corner_rays(camera_matrix, image_size)
    k = np.asarray(camera_matrix, np.float64)
    zero = np.zeros(3)
    before, _ = cv2.projectPoints(rays, zero, zero, k, np.asarray(distortion, np.float64))
    after, _ = cv2.projectPoints(rays, zero, zero, k, np.asarray(changed, np.float64))
    return float(np.linalg.norm((after - before).reshape(-1, 2), axis=1).max())


def _fisheye_shift_px(camera_matrix, parameter: Parameter, image_size) -> float:
    """The equidistant model puts a ray theta off axis at f * theta * (1 + k1 theta^2 + ...): a change of k_i moves
    it by f * theta^(2i+3) times the change; theta at the corners taken from the undistorted model."""
    k = np.asarray(camera_matrix, np.float64)
    width, height = image_size
    reach = np.hypot(max(k[0, 2], width - 1.0 - k[0, 2]), max(k[1, 2], height - 1.0 - k[1, 2]))
    focal = min(k[0, 0], k[1, 1])
    theta = reach / focal
    return float(focal * theta ** (2 * parameter.index + 3) * parameter.sigma)


def corner_shift_px(result, parameter: Parameter, image_size) -> float:
    """How far (px) a change of the distortion term by its 1-sigma moves a point seen in the picture's corners (inf
    for a term the pictures do not determine)."""
    if not np.isfinite(parameter.sigma):
        return float("inf")
    if result.camera_model == "fisheye":
        return _fisheye_shift_px(result.intrinsic_matrix, parameter, image_size)
    distortion = np.ravel(np.asarray(result.distortion_coefficients, np.float64))
    changed = distortion.copy()
    changed[parameter.index] += parameter.sigma
    return _pinhole_shift_px(result.intrinsic_matrix, distortion, changed, image_size)
