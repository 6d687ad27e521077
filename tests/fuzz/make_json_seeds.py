"""Writes the seed corpus of the JSON readers' fuzzer. Each seed is one byte naming
the reader (0 hand_eye.json, 1 multi_camera_calibration.json, 2 benchmark results,
3 eye_to_hand.json)
followed by the file's text: documents as the savers write them and damaged ones.
    python tests/fuzz/make_json_seeds.py tests/fuzz/json_seeds
"""

import json
import sys
from pathlib import Path

HAND_EYE, MULTI_CAMERA, BENCHMARK, EYE_TO_HAND = 0, 1, 2, 3
POSE = [[0.0, -1.0, 0.0, 0.1], [1.0, 0.0, 0.0, -0.25], [0.0, 0.0, 1.0, 0.5], [0.0, 0.0, 0.0, 1.0]]
K = [[1000.0, 0.0, 640.0], [0.0, 1001.5, 480.0], [0.0, 0.0, 1.0]]

HAND_EYE_RECORD = {"method": "TSAI", "num_cameras": 1, "num_frames_total": 15, "num_frames_used": 12,
                   "reference_index": 0, "tcp_T_camera_list": [POSE]}
MULTI_CAMERA_RECORD = {"distortion_coefficients": [[-0.1, 0.01, 0.0, 0.0, 0.001], [0.2]],
                       "intrinsic_matrices": [K, K], "intrinsic_reprojection_errors": [0.12, None],
                       "num_cameras": 2, "pair_reprojection_errors": [None, 0.3],
                       "reference_T_camera_list": [POSE, POSE], "reference_index": 0}
EYE_TO_HAND_RECORD = {"method": "SHAH", "num_cameras": 1, "num_frames_total": 15, "num_frames_used": 14,
                      "reference_index": 0, "robot_T_camera_list": [POSE], "tcp_T_target": POSE}
BENCHMARK_RESULT = {"backend_name": "OpenCV", "camera_matrix": K, "dist_coeffs": [-0.1, 0.01, 0.0, 0.0, 0.001],
                    "hand_eye_roundtrip_error": 0.412345, "held_out_reprojection_error": 0.31,
                    "image_count": 20, "reprojection_error": 0.254321,
                    "timestamp": "2026-12-07T05:11:41.042000+00:00"}


def text(document):
    return json.dumps(document, indent=2, ensure_ascii=False)


def changed(document, **members):
    copy = dict(document)
    for key, value in members.items():
        if value is KeyError:
            del copy[key]
        else:
            copy[key] = value
    return copy


def seeds():
    yield "hand_eye", HAND_EYE, text(HAND_EYE_RECORD)
    yield "hand_eye_minimal", HAND_EYE, '{"num_cameras": 1, "reference_index": 0, "tcp_T_camera_list": []}'
    yield "hand_eye_nulls", HAND_EYE, text(changed(HAND_EYE_RECORD, method=None, num_frames_used=None))
    yield "hand_eye_float_ints", HAND_EYE, text(changed(HAND_EYE_RECORD, num_cameras=1.9, num_frames_used=True))
    yield "hand_eye_big_int", HAND_EYE, text(changed(HAND_EYE_RECORD, num_cameras=2**40))
    yield "hand_eye_ragged", HAND_EYE, text(changed(HAND_EYE_RECORD, tcp_T_camera_list=[[[1, 2], [3]]]))
    yield "hand_eye_missing", HAND_EYE, text(changed(HAND_EYE_RECORD, tcp_T_camera_list=KeyError))
    yield "hand_eye_unicode", HAND_EYE, text(changed(HAND_EYE_RECORD, method="Tsai \u00e9\u4e2d \\u00e9"))
    yield "hand_eye_truncated", HAND_EYE, text(HAND_EYE_RECORD)[:60]
    yield "multi_camera", MULTI_CAMERA, text(MULTI_CAMERA_RECORD)
    yield "multi_camera_no_errors", MULTI_CAMERA, text(changed(MULTI_CAMERA_RECORD,
                                                               intrinsic_reprojection_errors=KeyError,
                                                               pair_reprojection_errors=None))
    yield "multi_camera_bad_error", MULTI_CAMERA, text(changed(MULTI_CAMERA_RECORD, pair_reprojection_errors=[True]))
    yield "multi_camera_nested", MULTI_CAMERA, text(changed(MULTI_CAMERA_RECORD, distortion_coefficients=[[[0.1]]]))
    yield "benchmark", BENCHMARK, text({"results": [BENCHMARK_RESULT, changed(BENCHMARK_RESULT,
                                                                             hand_eye_roundtrip_error=None,
                                                                             held_out_reprojection_error=None)],
                                        "run_timestamp": "2026-12-07T05:11:42.000001+00:00"})
    yield "benchmark_empty", BENCHMARK, text({"results": [], "run_timestamp": "x"})
    yield "benchmark_missing", BENCHMARK, text({"results": [changed(BENCHMARK_RESULT, image_count=KeyError)]})
    yield "benchmark_not_object", BENCHMARK, text({"results": [3]})
    yield "eye_to_hand", EYE_TO_HAND, text(EYE_TO_HAND_RECORD)
    yield "eye_to_hand_no_target", EYE_TO_HAND, text(changed(EYE_TO_HAND_RECORD, tcp_T_target=KeyError))
    yield "eye_to_hand_ragged_target", EYE_TO_HAND, text(changed(EYE_TO_HAND_RECORD, tcp_T_target=[[1, 0], [0]]))
    yield "array_document", HAND_EYE, "[1, 2, 3]"
    yield "deep", MULTI_CAMERA, '{"intrinsic_matrices": ' + "[" * 500 + "]" * 500 + "}"


def main(folder):
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    for name, reader, document in seeds():
        (folder / name).write_bytes(bytes([reader]) + document.encode())


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).parent / "json_seeds")
