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
        document = {"kind": "circle_grid", "cols": cols, "rows": rows, "spacing": target.spacing,
                    "circle_diameter": target.circle_diameter, "asymmetric": target.asymmetric}
        if target.polarity != "either":
            document["polarity"] = target.polarity
        if target.marks_origin():
            document["origin_circle_diameter"] = target.origin_circle_diameter
        return document
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


def write_ros_camera_info(path, matrix, distortion, model="plumb_bob", image_size=None):
    """A camera_info YAML as ROS camera calibration writes it."""
    distortion = np.ravel(distortion)
    lines = [f"image_width: {image_size[0]}", f"image_height: {image_size[1]}"] if image_size else []
    lines += ["camera_name: wrist_camera", "camera_matrix:", "  rows: 3", "  cols: 3",
              f"  data: {np.ravel(matrix).tolist()}", f"distortion_model: {model}", "distortion_coefficients:",
              "  rows: 1", f"  cols: {distortion.size}", f"  data: {distortion.tolist()}",
              "rectification_matrix:", "  rows: 3", "  cols: 3", "  data: [1, 0, 0, 0, 1, 0, 0, 0, 1]"]
    path.write_text("\n".join(lines) + "\n")
    return path


def write_opencv_camera(path, entries):
    """An OpenCV FileStorage file (YAML or XML by its suffix) holding ``entries`` in their order: arrays as
    opencv-matrix nodes, numbers and text as scalars."""
    import cv2

    storage = cv2.FileStorage(str(path), cv2.FILE_STORAGE_WRITE)
    for name, value in entries.items():
        storage.write(name, np.asarray(value, dtype=np.float64) if isinstance(value, list | np.ndarray) else value)
    storage.release()
    return path
