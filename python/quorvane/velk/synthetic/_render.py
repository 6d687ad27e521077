"""Rendering: the texture of the printed sheet, the image traced back through every pixel,
and the ground truth projected forwards."""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

from ._camera_model import _check_camera, _check_model, _check_pose, _fisheye_project, _fisheye_rays, _undistort
from ._target_layout import _Layout, _layout

#: Grey level of everything that is not the printed sheet.
BACKGROUND_LEVEL = 90
#: Grey level of the white paper.
WHITE_LEVEL = 235
#: Grey level of the printed black.
BLACK_LEVEL = 20

_CV2_MESSAGE = "quorvane.velk.synthetic needs OpenCV for Python: pip install opencv-python-headless"

# Texture texels per image pixel where the sheet appears largest in the image.
_TEXELS_PER_PIXEL = 4.0
# Largest texture: cv2.remap wants sides below 32767 texels; the total bounds memory.
_MAX_TEXTURE_SIDE = 32000
_MAX_TEXELS = 40_000_000
# Board-plane coordinates beyond this many metres are treated as "far away".
_FAR_AWAY_M = 1e4
# Output image rows processed together (bounds the memory of the sample maps).
_BAND_ROWS = 96


def _import_cv2():
    try:
        import cv2
    except ImportError as exc:
        raise ImportError(_CV2_MESSAGE) from exc
    if not hasattr(cv2, "aruco"):
        raise ImportError(_CV2_MESSAGE + " (this OpenCV build has no aruco module)")
    return cv2


@dataclass(eq=False)
class RenderedView:
    """A rendered image and the ground truth of what it shows.

    Attributes:
        image: (height, width, 3) uint8 BGR image, all channels equal.
        corners: (N, 2) float64 true pixel positions (OpenCV convention: the
            centre of pixel (u, v) is at (u, v)). Chessboard: inner corners in
            object-point order. ChArUco: chessboard corners by id. ArUco grid:
            the 4 corners of each marker, markers in board order. Circle
            grid: the projected circle centres in object-point order. Points
            behind the camera are NaN.
        ids: (N,) int64 id of each point: the corner index for chessboard and
            ChArUco, the marker id (repeated 4 times) for an ArUco grid.
        visible: (N,) bool; True where the point is in front of the camera, on
            the side of the printed face, inside the image by at least
            ``visibility_margin`` pixels and not folded over by distortion.
        object_points: (N, 3) float64 board-frame points matching ``corners``.
        marker_ids: (M,) int64 ids of the ArUco markers (empty for a chessboard).
        marker_corners: (M, 4, 2) float64 true pixel positions of the marker
            corners in OpenCV's corner order (empty for a chessboard).
        marker_visible: (M,) bool; True where all 4 corners of a marker are
            visible.
    """

    image: np.ndarray
    corners: np.ndarray
    ids: np.ndarray
    visible: np.ndarray
    object_points: np.ndarray
    marker_ids: np.ndarray
    marker_corners: np.ndarray
    marker_visible: np.ndarray


def _texture_edges(layout: _Layout, front: bool):
    """Board-frame x and y positions of every edge in the printed sheet."""
    x0, y0, x1, y1 = layout.sheet
    xs, ys = [x0, x1], [y0, y1]
    if front:
        xs.extend(layout.black_rects[:, [0, 2]].ravel())
        ys.extend(layout.black_rects[:, [1, 3]].ravel())
        for corners, image in zip(layout.marker_points, layout.marker_images):
            n = image.shape[0]
            origin, ex, ey = corners[0, :2], corners[1, :2] - corners[0, :2], corners[3, :2] - corners[0, :2]
            scale = max(np.abs(ex).max(), np.abs(ey).max())
            if min(abs(ex[0]), abs(ex[1])) > 1e-9 * scale or min(abs(ey[0]), abs(ey[1])) > 1e-9 * scale:
                raise ValueError("markers must be aligned with the board axes")
            k = np.arange(n + 1) / n
            lattice = origin + k[:, None, None] * ex + k[None, :, None] * ey
            xs.extend(lattice[..., 0].ravel())
            ys.extend(lattice[..., 1].ravel())
    return np.unique(np.asarray(xs)), np.unique(np.asarray(ys))


def _sheet_levels(layout: _Layout, front: bool, px, py) -> np.ndarray:
    """Grey levels of the sheet at board points (px[None, :], py[:, None])."""
    X, Y = np.meshgrid(px, py)
    x0, y0, x1, y1 = layout.sheet
    levels = np.full(X.shape, float(BACKGROUND_LEVEL), dtype=np.float32)
    levels[(X > x0) & (X < x1) & (Y > y0) & (Y < y1)] = WHITE_LEVEL
    if not front:
        return levels
    for rx0, ry0, rx1, ry1 in layout.black_rects:
        levels[(X > rx0) & (X < rx1) & (Y > ry0) & (Y < ry1)] = BLACK_LEVEL
    for corners, image in zip(layout.marker_points, layout.marker_images):
        n = image.shape[0]
        origin = corners[0, :2]
        ex, ey = corners[1, :2] - origin, corners[3, :2] - origin
        dx, dy = X - origin[0], Y - origin[1]
        col = np.floor((dx * ex[0] + dy * ex[1]) / (ex @ ex) * n).astype(np.int64)
        row = np.floor((dx * ey[0] + dy * ey[1]) / (ey @ ey) * n).astype(np.int64)
        inside = (col >= 0) & (col < n) & (row >= 0) & (row < n)
        levels[inside] = np.where(image[row[inside], col[inside]] > 127, WHITE_LEVEL, BLACK_LEVEL)
    return levels


def _coverage(edges_texels: np.ndarray, count: int) -> np.ndarray:
    """(count, cells) overlap of each unit texel [i, i + 1] with each cell between edges."""
    i = np.arange(count, dtype=np.float64)[:, None]
    low = np.maximum(i, edges_texels[None, :-1])
    high = np.minimum(i + 1.0, edges_texels[None, 1:])
    return np.clip(high - low, 0.0, None).astype(np.float32)


def _build_texture(layout: _Layout, front: bool, origin, ppm: float, shape) -> np.ndarray:
    """uint8 texture of the sheet; texel (r, c) covers board [x, x + 1/ppm] x [y, y + 1/ppm]
    with x = origin[0] + c / ppm, y = origin[1] + r / ppm.

    The sheet is piecewise constant on the grid of all its edges, so every texel
    gets the exact area average of the sheet it covers: texture = Ay @ V @ Ax^T
    with V the cell levels and Ax, Ay the per-axis texel/cell overlaps.
    """
    rows, cols = shape
    ox, oy = origin
    xs, ys = _texture_edges(layout, front)
    xs = np.unique(np.concatenate([[ox, ox + cols / ppm], xs[(xs > ox) & (xs < ox + cols / ppm)]]))
    ys = np.unique(np.concatenate([[oy, oy + rows / ppm], ys[(ys > oy) & (ys < oy + rows / ppm)]]))
    levels = _sheet_levels(layout, front, (xs[:-1] + xs[1:]) / 2.0, (ys[:-1] + ys[1:]) / 2.0)
    ax = _coverage((xs - ox) * ppm, cols)
    ay = _coverage((ys - oy) * ppm, rows)
    by_cell_row = levels @ ax.T  # (cell rows, texture cols)
    by_cell_row_u8 = np.clip(np.rint(by_cell_row), 0, 255).astype(np.uint8)
    texture = np.empty((rows, cols), dtype=np.uint8)
    single = ay.max(axis=1) >= 1.0 - 1e-6  # texel rows inside one cell row
    texture[single] = by_cell_row_u8[np.argmax(ay[single], axis=1)]
    mixed = np.flatnonzero(~single)
    if mixed.size:
        texture[mixed] = np.clip(np.rint(ay[mixed] @ by_cell_row), 0, 255).astype(np.uint8)
    if front:
        _paint_circles(texture, layout.circles, origin, ppm, layout.light_circles)
    return texture


def _paint_circles(texture: np.ndarray, circles: np.ndarray, origin, ppm: float, light: bool = False) -> None:
    """Black circles on the white sheet, or white ones on a black sheet (``light``). A texel takes the
    share of its area the circle covers, from its centre's signed distance to the rim (exact for a rim
    that is straight across the texel, which it is to well under a texel at the texture's resolution)."""
    ground, ink = (BLACK_LEVEL, WHITE_LEVEL) if light else (WHITE_LEVEL, BLACK_LEVEL)
    rows, cols = texture.shape
    for cx, cy, radius in circles:
        u, v, r = (cx - origin[0]) * ppm, (cy - origin[1]) * ppm, radius * ppm
        c0, c1 = max(int(math.floor(u - r - 1)), 0), min(int(math.ceil(u + r + 1)), cols)
        r0, r1 = max(int(math.floor(v - r - 1)), 0), min(int(math.ceil(v + r + 1)), rows)
        if c0 >= c1 or r0 >= r1:
            continue
        cc, rr = np.meshgrid(np.arange(c0, c1) + 0.5, np.arange(r0, r1) + 0.5)
        cover = np.clip(r - np.hypot(cc - u, rr - v) + 0.5, 0.0, 1.0)
        level = ground + (ink - ground) * cover
        patch = texture[r0:r1, c0:c1]
        patch[...] = np.where(cover > 0.0, np.clip(np.rint(level), 0, 255), patch).astype(np.uint8)


def _pixels_per_metre(bx, by, usable, stride=2) -> float:
    """Largest image magnification [px/m] of the board plane over usable grid points.

    The magnification varies slowly, so every ``stride``-th grid point is enough.
    """
    here = (slice(0, -1, stride), slice(0, -1, stride))
    right = (slice(0, -1, stride), slice(1, None, stride))
    below = (slice(1, None, stride), slice(0, -1, stride))
    ju = np.stack([bx[right] - bx[here], by[right] - by[here]])
    jv = np.stack([bx[below] - bx[here], by[below] - by[here]])
    use = usable[here] & usable[right] & usable[below]
    if not use.any():
        return 0.0
    ju, jv = ju[:, use], jv[:, use]
    # Smallest singular value of the 2x2 board-from-pixel Jacobian [ju jv].
    trace = (ju * ju).sum(0) + (jv * jv).sum(0)
    det = np.abs(ju[0] * jv[1] - ju[1] * jv[0])
    smallest = np.sqrt(np.maximum(trace - np.sqrt(np.maximum(trace * trace - 4.0 * det * det, 0.0)), 0.0) / 2.0)
    smallest = smallest[smallest > 0]
    return float(1.0 / smallest.min()) if smallest.size else 0.0


def _viewing_rays(cv2, u, v, K, D, camera_model):
    """Directions (x, y, z) of the rays seen at pixel positions, and where they are known."""
    if camera_model == "fisheye":
        return _fisheye_rays(u, v, K, D)
    nx, ny, ok = _undistort(cv2, u, v, K, D)
    return nx, ny, np.ones_like(nx), ok


def _render_grey(cv2, layout, K, D, R, t, width, height, supersample, front, camera_model) -> np.ndarray:
    # Board-plane points seen through the pixel centres, plus a one-pixel
    # border. The sub-pixel samples interpolate these bilinearly: over one pixel
    # the map is smooth enough that this is exact to about 1e-3 px on the sheet,
    # and it saves undistorting supersample^2 times as many points.
    gu, gv = np.meshgrid(np.arange(-1.0, width + 1.0), np.arange(-1.0, height + 1.0))
    nx, ny, nz, ok = _viewing_rays(cv2, gu, gv, K, D, camera_model)
    grid_shape = gu.shape
    del gu, gv
    origin_board = -R.T @ t
    with np.errstate(divide="ignore", invalid="ignore"):
        dz = R[0, 2] * nx + R[1, 2] * ny + R[2, 2] * nz
        lam = -origin_board[2] / dz
        bx = origin_board[0] + lam * (R[0, 0] * nx + R[1, 0] * ny + R[2, 0] * nz)
        by = origin_board[1] + lam * (R[0, 1] * nx + R[1, 1] * ny + R[2, 1] * nz)
    valid = ok & np.isfinite(lam) & (lam > 0) & (np.abs(bx) < _FAR_AWAY_M) & (np.abs(by) < _FAR_AWAY_M)
    del nx, ny, nz, ok, dz, lam
    sx0, sy0, sx1, sy1 = layout.sheet
    on_sheet = valid & (bx > sx0) & (bx < sx1) & (by > sy0) & (by < sy1)
    grey = np.full((height, width), float(BACKGROUND_LEVEL), dtype=np.float32)
    if not on_sheet.any():
        return grey

    sheet_w, sheet_h = sx1 - sx0, sy1 - sy0
    ppm = _TEXELS_PER_PIXEL * _pixels_per_metre(bx, by, valid)
    pad = 2
    ppm_cap = min(
        (_MAX_TEXTURE_SIDE - 2 * pad - 1) / sheet_w,
        (_MAX_TEXTURE_SIDE - 2 * pad - 1) / sheet_h,
        math.sqrt(_MAX_TEXELS / (sheet_w * sheet_h)),
    )
    ppm = min(max(ppm, 8.0 / min(sheet_w, sheet_h)), ppm_cap)
    tex_origin = (sx0 - pad / ppm, sy0 - pad / ppm)
    tex_shape = (int(math.ceil(sheet_h * ppm)) + 2 * pad, int(math.ceil(sheet_w * ppm)) + 2 * pad)
    texture = _build_texture(layout, front, tex_origin, ppm, tex_shape)

    # Texel coordinates for cv2.remap, whose texel (r, c) is centred at (c, r).
    maps = np.empty(grid_shape + (2,), dtype=np.float32)
    maps[..., 0] = np.where(valid, (bx - tex_origin[0]) * ppm - 0.5, -10.0)
    maps[..., 1] = np.where(valid, (by - tex_origin[1]) * ppm - 0.5, -10.0)
    invalid = (~valid).astype(np.float32)
    any_invalid = bool(invalid.any())

    s = supersample
    for r0 in range(0, height, _BAND_ROWS):
        r1 = min(height, r0 + _BAND_ROWS)
        rows = r1 - r0
        # Bilinear upsampling by s puts output sample m at input position
        # (m + 0.5) / s - 0.5: the centres of an s x s split of each pixel.
        size = ((width + 2) * s, (rows + 2) * s)
        band = cv2.resize(maps[r0:r1 + 2], size, interpolation=cv2.INTER_LINEAR)[s:-s, s:-s]
        samples = cv2.remap(texture, band, None, cv2.INTER_LINEAR,
                            borderMode=cv2.BORDER_CONSTANT, borderValue=BACKGROUND_LEVEL)
        samples = samples.astype(np.float32)
        if any_invalid:
            touched = cv2.resize(invalid[r0:r1 + 2], size, interpolation=cv2.INTER_LINEAR)[s:-s, s:-s]
            samples[touched > 0] = BACKGROUND_LEVEL
        # Area resampling by an integer factor is the mean of each s x s block.
        grey[r0:r1] = cv2.resize(samples, (width, rows), interpolation=cv2.INTER_AREA) if s > 1 else samples
    return grey


def _project(cv2, points, K, D, R, t, width, height, front, margin, camera_model="pinhole"):
    """Pixel positions (NaN behind the camera) and visibility of board-frame points."""
    if len(points) == 0:
        return np.zeros((0, 2)), np.zeros(0, dtype=bool)
    cam = points @ R.T + t
    if camera_model == "fisheye":
        return _project_fisheye(cam, K, D, width, height, front, margin)
    rvec, _ = cv2.Rodrigues(R)
    projected, _ = cv2.projectPoints(points.reshape(-1, 1, 3), rvec, t.reshape(3, 1), K, D)
    projected, visible = _in_frame(projected.reshape(-1, 2).astype(np.float64), cam, width, height, front, margin)
    if visible.any():
        # Where the distortion folds over, several rays land on the same pixel
        # and the image shows the one the inversion finds; a point on another
        # of them is not seen.
        u, v = projected[visible, 0], projected[visible, 1]
        nx, ny, ok = _undistort(cv2, u, v, K, D)
        z = cam[visible, 2]
        same = ok & (np.hypot((nx - cam[visible, 0] / z) * K[0, 0], (ny - cam[visible, 1] / z) * K[1, 1]) < 1e-2)
        visible[np.flatnonzero(visible)[~same]] = False
    return projected, visible


def _in_frame(projected, cam, width, height, front, margin):
    """Pixel positions with NaN behind the camera, and which lie in front of it, on the printed side and within
    the picture less the margin."""
    ahead = cam[:, 2] > 1e-9
    projected[~ahead] = np.nan
    visible = ahead & front
    visible &= (projected[:, 0] >= margin) & (projected[:, 0] <= width - 1 - margin)
    visible &= (projected[:, 1] >= margin) & (projected[:, 1] <= height - 1 - margin)
    return projected, visible


def _project_fisheye(cam, K, D, width, height, front, margin):
    projected, visible = _in_frame(_fisheye_project(cam, K, D), cam, width, height, front, margin)
    if visible.any():
        # Past the angle where the lens polynomial stops increasing, the picture shows another
        # ray at the same pixel; such a point is not seen.
        u, v = projected[visible, 0], projected[visible, 1]
        rx, ry, rz, ok = _fisheye_rays(u, v, K, D)
        direction = cam[visible] / np.linalg.norm(cam[visible], axis=1, keepdims=True)
        same = ok & (np.abs(rx - direction[:, 0]) + np.abs(ry - direction[:, 1]) + np.abs(rz - direction[:, 2]) < 1e-5)
        visible[np.flatnonzero(visible)[~same]] = False
    return projected, visible


def render_target(
    target,
    camera_matrix,
    dist_coeffs,
    camera_T_target,
    image_size,
    *,
    noise_sigma: float = 0.0,
    blur_sigma: float = 0.0,
    seed: int = 0,
    supersample: int = 3,
    visibility_margin: float = 3.0,
    camera_model: str = "pinhole",
) -> RenderedView:
    """Render a calibration target seen by a distorted pinhole camera or a fisheye lens.

    Args:
        target: chessboard, ChArUco or ArUco grid target (see the module help).
        camera_matrix: 3x3 [[fx, 0, cx], [0, fy, cy], [0, 0, 1]].
        dist_coeffs: OpenCV distortion coefficients (k1, k2, p1, p2[, k3[, k4,
            k5, k6[, s1, s2, s3, s4[, tau_x, tau_y]]]]), or None.
        camera_T_target: 4x4 pose mapping board-frame points [m] into the
            camera frame (see :func:`look_at_pose`).
        image_size: (width, height) in pixels.
        noise_sigma: standard deviation of additive Gaussian noise, in grey levels.
        blur_sigma: standard deviation [px] of a Gaussian blur applied before the noise.
        seed: seed of the noise generator. The same arguments and seed give
            the same image, byte for byte.
        supersample: each pixel averages supersample x supersample samples.
        visibility_margin: points closer than this many pixels to the image
            border are not ``visible``.
        camera_model: "pinhole" (OpenCV's model, ``cv2.projectPoints``) or
            "fisheye" (the equidistant model of ``cv2.fisheye`` with
            dist_coeffs k1..k4; pixels map to rays up to 180 degrees from the
            optical axis and beyond, so fields of view up to 180 degrees and more
            render; see :func:`fisheye_matrix`).

    Returns:
        The image and its ground truth, see :class:`RenderedView`. The sheet is
        ``WHITE_LEVEL`` with ``BLACK_LEVEL`` print, everything else is
        ``BACKGROUND_LEVEL``.
    """
    cv2 = _import_cv2()
    camera_model = _check_model(camera_model)
    K, D, width, height = _check_camera(camera_matrix, dist_coeffs, image_size, camera_model)
    R, t = _check_pose(camera_T_target)
    supersample = int(supersample)
    if not 1 <= supersample <= 8:
        raise ValueError(f"supersample must be between 1 and 8, got {supersample}")
    noise_sigma, blur_sigma = float(noise_sigma), float(blur_sigma)
    if not (noise_sigma >= 0.0 and math.isfinite(noise_sigma)):
        raise ValueError(f"noise_sigma must be >= 0, got {noise_sigma}")
    if not (blur_sigma >= 0.0 and math.isfinite(blur_sigma)):
        raise ValueError(f"blur_sigma must be >= 0, got {blur_sigma}")
    layout = _layout(cv2, target)

    camera_in_board = -R.T @ t
    front = bool(camera_in_board @ layout.normal < 0.0)

    grey = _render_grey(cv2, layout, K, D, R, t, width, height, supersample, front, camera_model)
    if blur_sigma > 0.0:
        grey = cv2.GaussianBlur(grey, (0, 0), blur_sigma, borderType=cv2.BORDER_REPLICATE)
    if noise_sigma > 0.0:
        rng = np.random.default_rng(seed)
        grey = grey + rng.normal(0.0, noise_sigma, size=grey.shape).astype(np.float32)
    grey = np.clip(np.rint(grey), 0, 255).astype(np.uint8)
    image = np.repeat(grey[:, :, None], 3, axis=2)

    corners, visible = _project(cv2, layout.object_points, K, D, R, t, width, height, front, visibility_margin,
                                camera_model)
    marker_corners, marker_seen = _project(
        cv2, layout.marker_points.reshape(-1, 3), K, D, R, t, width, height, front, visibility_margin, camera_model
    )
    return RenderedView(
        image=image,
        corners=corners,
        ids=layout.ids.astype(np.int64),
        visible=visible,
        object_points=layout.object_points.copy(),
        marker_ids=layout.marker_ids.astype(np.int64),
        marker_corners=marker_corners.reshape(-1, 4, 2),
        marker_visible=marker_seen.reshape(-1, 4).all(axis=1),
    )
