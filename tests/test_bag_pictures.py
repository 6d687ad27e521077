"""ROS image messages in every common encoding into 8-bit BGR pictures, and the ones that are no pictures."""

from types import SimpleNamespace

import numpy as np
import pytest

cv2 = pytest.importorskip("cv2")
pytest.importorskip("rosbags.image")
from quorvane.velk.bag_pictures import PictureError, compressed_message_to_bgr, image_message_to_bgr  # noqa: E402

H, W = 6, 8
# A colour whose channels all differ, so that swapped channels or chroma planes show.
BGR = (30, 120, 200)


def image(encoding, pixels, step=None, bigendian=False, height=H, width=W):
    data = pixels.astype(pixels.dtype.newbyteorder(">" if bigendian else "<")).tobytes()
    row = len(data) // (pixels.shape[0])
    if step is not None and step > row:  # rows padded to step bytes
        data = b"".join(data[r * row:(r + 1) * row] + bytes(step - row) for r in range(pixels.shape[0]))
    return SimpleNamespace(encoding=encoding, height=height, width=width, step=step or row,
                           is_bigendian=int(bigendian), data=np.frombuffer(data, np.uint8))


def uniform(bgr=BGR):
    return np.tile(np.array(bgr, np.uint8), (H, W, 1))


def bayer_rggb(bgr):
    """The RGGB mosaic of a uniform colour: R G on even rows, G B on odd rows."""
    mosaic = np.empty((H, W), np.uint8)
    mosaic[0::2, 0::2], mosaic[0::2, 1::2] = bgr[2], bgr[1]
    mosaic[1::2, 0::2], mosaic[1::2, 1::2] = bgr[1], bgr[0]
    return mosaic


def yuv(bgr):
    """Video-range BT.601 Y, U, V of a colour, as cameras send them."""
    b, g, r = (c / 255.0 for c in bgr)
    return (round(16 + 65.481 * r + 128.553 * g + 24.966 * b), round(128 - 37.797 * r - 74.203 * g + 112.0 * b),
            round(128 + 112.0 * r - 93.786 * g - 18.214 * b))


def nv(order):
    """NV12 (U first) or NV21 (V first): the luma rows, then half as many rows of interleaved chroma."""
    y, u, v = yuv(BGR)
    chroma = np.tile(np.array([u, v] if order == "nv12" else [v, u], np.uint8), (H // 2, W // 2))
    return np.vstack([np.full((H, W), y, np.uint8), chroma])


def packed_422(order):
    y, u, v = yuv(BGR)
    quad = [u, y, v, y] if order == "uyvy" else [y, u, y, v]
    return np.tile(np.array(quad, np.uint8), (H, W // 2)).reshape(H, W, 2)


# encoding -> (pixels, expected BGR of every pixel, tolerance)
ENCODINGS = {
    "bgr8": (uniform(), BGR, 0),
    "rgb8": (uniform()[:, :, ::-1], BGR, 0),
    "bgra8": (np.dstack([uniform(), np.full((H, W), 9, np.uint8)]), BGR, 0),
    "rgba8": (np.dstack([uniform()[:, :, ::-1], np.full((H, W), 9, np.uint8)]), BGR, 0),
    "mono8": (np.full((H, W), 77, np.uint8), (77, 77, 77), 0),
    "8UC1": (np.full((H, W), 77, np.uint8), (77, 77, 77), 0),
    "8UC3": (uniform(), BGR, 0),
    # A 12-bit sensor in a 16-bit container: its top 8 bits.
    "mono16": (np.full((H, W), 0x0ABC, np.uint16), (0xAB, 0xAB, 0xAB), 0),
    "16UC1": (np.full((H, W), 0xABCD, np.uint16), (0xAB, 0xAB, 0xAB), 0),
    "rgb16": ((uniform()[:, :, ::-1].astype(np.uint16) << 8) + 0x55, BGR, 0),
    "bayer_rggb8": (bayer_rggb(BGR), BGR, 0),
    "bayer_bggr8": (bayer_rggb(BGR[::-1]), BGR, 0),  # B G / G R: the RGGB layout with red and blue swapped
    "uyvy": (packed_422("uyvy"), BGR, 4),
    "yuv422_yuy2": (packed_422("yuyv"), BGR, 4),
    "nv12": (nv("nv12"), BGR, 4),
    "nv21": (nv("nv21"), BGR, 4),
}


@pytest.mark.parametrize("encoding", sorted(ENCODINGS))
@pytest.mark.parametrize("padded", [False, True])
def test_encodings_become_8_bit_bgr(encoding, padded):
    pixels, expected, tolerance = ENCODINGS[encoding]
    row = pixels[0].nbytes
    picture = image_message_to_bgr(image(encoding, pixels, step=row + 5 if padded else None))
    assert picture.dtype == np.uint8 and picture.shape == (H, W, 3)
    inner = picture[1:-1, 1:-1].reshape(-1, 3).astype(int)  # demosaicing borders aside
    assert np.abs(inner - expected).max() <= tolerance


def test_big_endian_16_bit_pixels():
    picture = image_message_to_bgr(image("mono16", np.full((H, W), 0x0ABC, np.uint16), bigendian=True))
    assert (picture == 0xAB).all()


@pytest.mark.parametrize("encoding, message", [
    ("32FC1", "image encoding '32FC1' is not a camera picture"),
    ("16SC1", "image encoding '16SC1' is not a camera picture"),
    ("8UC2", "image encoding '8UC2' with 2 channels is not a camera picture"),
    ("jpeg", "unsupported image encoding 'jpeg'"),
])
def test_other_encodings_are_refused(encoding, message):
    with pytest.raises(PictureError, match="^" + message):
        image_message_to_bgr(image(encoding, np.zeros((H, W * 4), np.uint8)))


def test_short_data_is_refused():
    msg = image("rgb8", uniform())
    msg.data = msg.data[:-1]
    with pytest.raises(PictureError, match="rgb8 picture of 8 x 6 needs 24 bytes per row and 6 rows; the message "
                                           "holds 143 bytes with a step of 24"):
        image_message_to_bgr(msg)


def compressed(fmt, picture, extension=".png"):
    return SimpleNamespace(format=fmt, data=np.frombuffer(cv2.imencode(extension, picture)[1].tobytes(), np.uint8))


@pytest.mark.parametrize("picture, expected", [
    (uniform(), BGR),
    (np.full((H, W), 77, np.uint8), (77, 77, 77)),
    (np.full((H, W), 0x0ABC, np.uint16), (0xAB, 0xAB, 0xAB)),
    (np.dstack([uniform(), np.full((H, W), 9, np.uint8)]), BGR),
], ids=["bgr", "grey", "grey16", "bgra"])
def test_compressed_png_becomes_8_bit_bgr(picture, expected):
    result = compressed_message_to_bgr(compressed("png", picture))
    assert result.shape == (H, W, 3) and (result.reshape(-1, 3) == expected).all()


def test_compressed_jpeg_is_decoded():
    result = compressed_message_to_bgr(compressed("rgb8; jpeg compressed bgr8", uniform(), ".jpg"))
    assert np.abs(result.reshape(-1, 3).astype(int) - BGR).max() <= 3


@pytest.mark.parametrize("msg, message", [
    (SimpleNamespace(format="16UC1; compressedDepth png", data=np.zeros(10, np.uint8)), "is a depth map"),
    (SimpleNamespace(format="png", data=np.arange(50, dtype=np.uint8)), "compressed picture ('png') cannot be decoded"),
])
def test_compressed_non_pictures_are_refused(msg, message):
    with pytest.raises(PictureError, match=message.replace("(", r"\(").replace(")", r"\)")):
        compressed_message_to_bgr(msg)
