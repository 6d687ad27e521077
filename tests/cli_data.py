"""Dataset folders for the command-line tests, written by the io module from rendered scenes and photographs."""

import json
import shutil

import numpy as np

import _velk


def target_document(target):
    if isinstance(target, _velk.ChessboardTarget):
        cols, rows = target.size
        return {"kind": "chessboard", "cols": cols, "rows": rows, "square_size": target.square_size}
    if isinstance(target, _velk.CharucoTarget):
        name = {v: k for k, v in _velk.aruco_dictionary_id_map().items()}[target.aruco_dict_id]
        return {"kind": "charuco", "squares_x": target.squares_x, "squares_y": target.squares_y,
                "square_length": target.square_length, "marker_length": target.marker_length, "dictionary": name}
    if isinstance(target, _velk.CircleGridTarget):
        cols, rows = target.size
        return {"kind": "circle_grid", "cols": cols, "rows": rows, "spacing": target.spacing,
                "circle_diameter": target.circle_diameter, "asymmetric": target.asymmetric}
    name = {v: k for k, v in _velk.aruco_dictionary_id_map().items()}[target.aruco_dict_id]
    return {"kind": "aruco", "markers_x": target.board_size[0], "markers_y": target.board_size[1],
            "marker_length": target.marker_length, "marker_separation": target.marker_separation, "dictionary": name,
            "first_marker_id": target.first_marker_id}


def write_target(path, target):
    path.write_text(json.dumps(target_document(target)))
    return path


def write_hand_eye_dataset(folder, images, robot_T_tcp_list):
    _velk.io.save_hand_eye_dataset(folder, images, robot_T_tcp_list)
    return folder


def write_rig_dataset(folder, image_lists):
    for frame in range(len(image_lists[0])):
        _velk.io.save_multi_camera_capture(folder, [images[frame] for images in image_lists], frame)
    return folder


def copy_photographs(folder, paths):
    folder.mkdir(parents=True, exist_ok=True)
    for path in paths:
        shutil.copy(path, folder / path.name)
    return folder


def identity_poses(count):
    return [np.eye(4) for _ in range(count)]
