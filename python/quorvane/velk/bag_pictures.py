"""Camera pictures from ROS image messages, as the 8-bit BGR images the library calibrates with.

``sensor_msgs/Image`` carries raw pixels in a named encoding: mono, RGB, BGR (with or without
alpha), Bayer mosaics, packed YUV 4:2:2, NV12 / NV21, 8 or 16 bits per channel, or a generic
OpenCV type such as ``8UC3``. The encoding table and the colour conversions are those of
``rosbags-image``; rows padded beyond their pixels (``step``) and big-endian 16-bit data are
handled here. 16-bit pictures are shifted down to their eight most significant bits in use, so a
12-bit sensor in a 16-bit container keeps its full range instead of turning almost black.

``sensor_msgs/CompressedImage`` carries a PNG or JPEG file; OpenCV decodes it. Depth maps
(``compressedDepth``, float encodings) are not camera pictures and are refused.
"""

from __future__ import annotations

import numpy as np

#: The sensor_msgs message types that carry pictures, by their full name.
IMAGE_TYPES = ("sensor_msgs/msg/Image", "sensor_msgs/msg/CompressedImage")


class PictureError(ValueError):
    """An image message that does not hold a camera picture this module can read."""


# 16-bit encodings convert like their 8-bit twins once their depth is reduced.
_EIGHT_BIT_TWIN = {"mono16": "mono8", "bgr16": "bgr8", "rgb16": "rgb8", "bgra16": "bgra8", "rgba16": "rgba8",
                   "bayer_rggb16": "bayer_rggb8", "bayer_bggr16": "bayer_bggr8", "bayer_gbrg16": "bayer_gbrg8",
                   "bayer_grbg16": "bayer_grbg8"}
# Generic OpenCV types read as grey, BGR or BGRA by their channel count.
_GENERIC_BY_CHANNELS = {1: "mono8", 3: "bgr8", 4: "bgra8"}
# Planar 4:2:0 encodings: the chroma planes follow the luma rows, half as many again.
_PLANAR_420 = ("nv12", "nv21")


def _to_eight_bits(pixels: np.ndarray) -> np.ndarray:
    """uint16 pixels shifted right until the largest value in use fits in 8 bits."""
    peak = int(pixels.max(initial=0))
    shift = max(peak.bit_length() - 8, 0)
    return (pixels >> shift).astype(np.uint8)


def _raw_pixels(msg, typestr: str, channels: int) -> np.ndarray:
    """The message's pixel rows as an array (rows, width[, channels]) that honours the row step."""
    dtype = np.dtype(typestr).newbyteorder(">" if msg.is_bigendian else "<")
    rows = msg.height * 3 // 2 if msg.encoding in _PLANAR_420 else msg.height
    row_bytes = msg.width * channels * dtype.itemsize
    step = int(msg.step) or row_bytes
    data = np.asarray(msg.data, dtype=np.uint8).reshape(-1)
    if msg.width == 0 or rows == 0:
        raise PictureError("the picture is empty (0 pixels)")
    if step < row_bytes or data.size < step * (rows - 1) + row_bytes:
        raise PictureError(f"{msg.encoding} picture of {msg.width} x {msg.height} needs {row_bytes} bytes per row "
                           f"and {rows} rows; the message holds {data.size} bytes with a step of {step}")
    pixels = np.ndarray((rows, msg.width, channels), dtype=dtype, buffer=data,
                        strides=(step, channels * dtype.itemsize, dtype.itemsize))
    pixels = pixels.astype(dtype.newbyteorder("="), copy=False)  # native order, contiguous where it was not
    return pixels[:, :, 0] if channels == 1 else pixels


def image_message_to_bgr(msg) -> np.ndarray:
    """An 8-bit BGR picture (height, width, 3) of a sensor_msgs/Image message."""
    from rosbags.image import ImageError
    from rosbags.image.image import Format, convert_color, to_cvtype

    try:
        depth, layout, typestr, channels = to_cvtype(msg.encoding)
    except ImageError:
        raise PictureError(f"unsupported image encoding '{msg.encoding}'") from None
    if typestr not in ("uint8", "uint16"):
        raise PictureError(f"image encoding '{msg.encoding}' is not a camera picture (depth maps and float images "
                           "cannot be calibrated)")
    if layout == Format.GENERIC:
        if channels not in _GENERIC_BY_CHANNELS:
            raise PictureError(f"image encoding '{msg.encoding}' with {channels} channels is not a camera picture")
        encoding = _GENERIC_BY_CHANNELS[channels]
    else:
        encoding = _EIGHT_BIT_TWIN.get(msg.encoding, msg.encoding)
    pixels = _raw_pixels(msg, typestr, channels)
    pixels = _to_eight_bits(pixels) if depth == 16 else np.ascontiguousarray(pixels)
    try:
        bgr = convert_color(pixels, encoding, "bgr8")
    except ImageError as error:
        raise PictureError(f"image encoding '{msg.encoding}' cannot be converted to BGR: {error}") from None
    return np.ascontiguousarray(bgr)


def compressed_message_to_bgr(msg) -> np.ndarray:
    """An 8-bit BGR picture of a sensor_msgs/CompressedImage message (PNG or JPEG, 8 or 16 bits, grey or colour)."""
    import cv2

    if "compresseddepth" in msg.format.lower().replace(" ", ""):
        raise PictureError(f"compressed format '{msg.format}' is a depth map, not a camera picture")
    picture = cv2.imdecode(np.asarray(msg.data, dtype=np.uint8).reshape(-1), cv2.IMREAD_UNCHANGED)
    if picture is None:
        raise PictureError(f"compressed picture ('{msg.format}') cannot be decoded")
    if picture.dtype == np.uint16:
        picture = _to_eight_bits(picture)
    elif picture.dtype != np.uint8:
        raise PictureError(f"compressed picture ('{msg.format}') holds {picture.dtype} pixels, not a camera picture")
    if picture.ndim == 2:
        return cv2.cvtColor(picture, cv2.COLOR_GRAY2BGR)
    if picture.shape[2] == 4:
        return cv2.cvtColor(picture, cv2.COLOR_BGRA2BGR)
    return picture


def message_to_bgr(msg, msgtype: str) -> np.ndarray:
    """The 8-bit BGR picture of an Image or CompressedImage message (``msgtype`` is its full type name)."""
    if msgtype == "sensor_msgs/msg/CompressedImage":
        return compressed_message_to_bgr(msg)
    return image_message_to_bgr(msg)
