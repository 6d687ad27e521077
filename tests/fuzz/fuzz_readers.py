"""Random and mutated inputs for the pose reader (CSV and JSON) and the target-file reader.

The contract under test: for any bytes, a reader either returns a well-formed result (poses:
finite 4 x 4 matrices with a rotation block and last row 0 0 0 1; targets: a description the
library can build) or raises its own error (PoseImportError, TargetFileError). Anything else
is a finding, kept with the input that caused it.

    python tests/fuzz/fuzz_readers.py [--inputs N] [--seed S]

runs N inputs per reader (default 300000 in all); the test suite runs a few thousand.
"""

from __future__ import annotations

import argparse
import json
import random
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from quorvane.velk.pose_import import FORMATS, PoseImportError, read_pose_bytes
from quorvane.velk.target_file import TargetFileError, target_from_bytes

SEED_FOLDER = Path(__file__).resolve().parent / "json_seeds"

#: Text spliced into inputs: numbers at and beyond the limits, broken structure, bad bytes.
TOKENS = [b"1" * 400, b"-" + b"9" * 5000, b"1e400", b"-1e-400", b"NaN", b"Infinity", b"-Infinity", b"nan",
          b"inf", b"0x10", b"1_000", b"\xff\xfe", b"\xc3\x28", b"\x00", b"\xef\xbb\xbf", b"[" * 3000,
          b"{" * 50, b"]", b"}", b"\"", b",", b";", b"\t", b"\n", b"\r\n", b"#", b"true", b"null", b"[]",
          b"{}", b"\"poses\"", b"\"matrix\"", b"\"kind\"", b"\"charuco\"", b"\"dictionary\"", b"1e308",
          b"4.9e-324", b"-0", b"  ", b"x,y,z,qx,qy,qz,qw", b"qw,qx,qy,qz", b"\"x\":", b"\"square_length\": 1e999"]

POSE_SEEDS = [
    b"x,y,z,qw,qx,qy,qz\n0.5,0.1,0.4,1,0,0,0\n0.4,0.2,0.5,0.7071068,0.7071068,0,0\n",
    b"x,y,z,qx,qy,qz,qw\n0.5,0.1,0.4,0,0,0,1\n0.4,0.2,0.5,0,0.7071068,0,0.7071068\n",
    b"# poses\n0.5 0.1 0.4 1 0 0 0\n0.4 0.2 0.5 0 1 0 0\n",
    b"x;y;z;rx;ry;rz\n500;100;400;0;0;3.14\n",
    b"1,0,0,0.5,0,1,0,0.1,0,0,1,0.4,0,0,0,1\n",
    b"[[0.5,0.1,0.4,1,0,0,0],[0.4,0.2,0.5,0,0,1,0]]",
    b'{"poses": [{"x": 0.5, "y": 0.1, "z": 0.4, "qw": 1, "qx": 0, "qy": 0, "qz": 0}]}',
    b'{"poses": [{"matrix": [[1,0,0,0.5],[0,1,0,0.1],[0,0,1,0.4],[0,0,0,1]]}]}',
    b'[{"x": 0.5, "y": 0.1, "z": 0.4, "rx": 10, "ry": 20, "rz": 30}]',
]
TARGET_SEEDS = [
    b'{"kind": "chessboard", "cols": 9, "rows": 6, "square_size": 0.025}',
    b'{"kind": "charuco", "squares_x": 9, "squares_y": 7, "square_length": 0.04, "marker_length": 0.03, '
    b'"dictionary": "DICT_5X5_100", "legacy_pattern": false}',
    b'{"kind": "aruco", "markers_x": 6, "markers_y": 5, "marker_length": 0.04, "marker_separation": 0.01, '
    b'"dictionary": "DICT_4X4_1000"}',
]


@dataclass
class Findings:
    inputs: int = 0
    accepted: int = 0
    failures: list = field(default_factory=list)  # (reader, input bytes, exception text)


def seeds() -> tuple[list[bytes], list[bytes]]:
    extra = [p.read_bytes() for p in sorted(SEED_FOLDER.glob("*"))[:50] if p.is_file()] if SEED_FOLDER.is_dir() else []
    return POSE_SEEDS + extra, TARGET_SEEDS + extra


def mutate(data: bytes, rng: random.Random, corpus: list[bytes]) -> bytes:
    """One to four edits: flip a byte, insert or replace with a token, cut, repeat a chunk, splice."""
    data = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        choice = rng.randrange(7)
        at = rng.randrange(len(data) + 1)
        if choice == 0 and data:
            data[min(at, len(data) - 1)] = rng.randrange(256)
        elif choice == 1:
            data[at:at] = rng.choice(TOKENS)
        elif choice == 2:
            end = min(len(data), at + rng.randint(1, 12))
            data[at:end] = rng.choice(TOKENS)
        elif choice == 3:
            del data[at:at + rng.randint(1, 16)]
        elif choice == 4:
            data = data[:at]
        elif choice == 5 and data:
            start = rng.randrange(len(data))
            data[at:at] = data[start:start + rng.randint(1, 40)]
        else:
            other = rng.choice(corpus)
            data = data[:at] + other[rng.randrange(len(other) + 1):]
    return bytes(data)


def random_json(rng: random.Random, depth: int = 0):
    kind = rng.randrange(8 if depth < 4 else 5)
    if kind == 0:
        return rng.choice([0, 1, -1, 10 ** rng.randint(0, 400), rng.random() * 10 ** rng.randint(-5, 300)])
    if kind == 1:
        return rng.choice([float("nan"), float("inf"), True, False, None])
    if kind == 2:
        return rng.choice(["x", "kind", "charuco", "DICT_4X4_50", "", "\u00e9", "1.0"])
    if kind == 3:
        return rng.uniform(-2, 2)
    if kind == 4:
        return rng.randint(-5, 20)
    if kind == 5:
        return [random_json(rng, depth + 1) for _ in range(rng.randint(0, 17))]
    keys = ["x", "y", "z", "qw", "qx", "qy", "qz", "rx", "ry", "rz", "matrix", "poses", "kind", "cols", "rows",
            "square_size", "squares_x", "squares_y", "square_length", "marker_length", "markers_x", "markers_y",
            "marker_separation", "dictionary", "legacy_pattern"]
    return {rng.choice(keys): random_json(rng, depth + 1) for _ in range(rng.randint(0, 8))}


def random_input(rng: random.Random) -> bytes:
    choice = rng.randrange(3)
    if choice == 0:
        return bytes(rng.randrange(256) for _ in range(rng.randint(0, 200)))
    if choice == 1:
        return json.dumps(random_json(rng)).encode()
    rows = []
    for _ in range(rng.randint(0, 5)):
        rows.append(",".join(rng.choice(["0", "1", "0.5", "-1", "1e400", "nan", "x", "", "1" * 400, "0.7071068"])
                             for _ in range(rng.choice([6, 7, 12, 16, rng.randint(0, 20)]))))
    return "\n".join(rows).encode()


def check_poses(poses) -> None:
    assert poses, "no poses returned"
    for pose in poses:
        assert pose.shape == (4, 4) and np.all(np.isfinite(pose)), "a pose is not a finite 4 x 4 matrix"
        assert np.allclose(pose[3], [0, 0, 0, 1]), "the last row is not 0 0 0 1"
        rotation = pose[:3, :3]
        assert np.abs(rotation.T @ rotation - np.eye(3)).max() < 1e-2, "the rotation block is not a rotation"


def try_pose_reader(data: bytes, rng: random.Random):
    fmt = rng.choice(FORMATS)
    order = rng.choice([None, "wxyz", "xyzw"])
    units = rng.choice(["m", "mm"])
    try:
        poses = read_pose_bytes(data, "fuzz.csv", fmt, units, order, is_json=rng.random() < 0.3)
    except PoseImportError:
        return False
    check_poses(poses)
    return True


def try_target_reader(data: bytes, rng: random.Random):
    try:
        printed = target_from_bytes(data, "fuzz.json")
    except TargetFileError:
        return False
    assert printed.describe() and printed.to_json()["kind"] == printed.kind
    return True


def run(inputs: int, seed: int = 0, time_limit: float | None = None) -> Findings:
    """``inputs`` inputs shared between the two readers (half random, half mutated seeds)."""
    rng = random.Random(seed)
    pose_corpus, target_corpus = seeds()
    findings = Findings()
    started = time.monotonic()
    for k in range(inputs):
        if time_limit is not None and time.monotonic() - started > time_limit:
            break
        pose_reader = k % 2 == 0
        corpus = pose_corpus if pose_reader else target_corpus
        data = random_input(rng) if rng.random() < 0.4 else mutate(rng.choice(corpus), rng, corpus)
        try:
            accepted = try_pose_reader(data, rng) if pose_reader else try_target_reader(data, rng)
        except Exception as error:  # noqa: BLE001 - any other exception is what the fuzzing looks for
            findings.failures.append(("poses" if pose_reader else "target", data, f"{type(error).__name__}: "
                                      f"{str(error)[:200]}"))
            continue
        findings.inputs += 1
        findings.accepted += accepted
        if accepted and len(corpus) < 400:
            corpus.append(data)
    findings.inputs += len(findings.failures)
    return findings


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--inputs", type=int, default=300000)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args(argv)
    started = time.monotonic()
    findings = run(args.inputs, args.seed)
    print(f"{findings.inputs} inputs in {time.monotonic() - started:.1f} s, {findings.accepted} accepted, "
          f"{len(findings.failures)} failures")
    for reader, data, error in findings.failures[:20]:
        print(f"  {reader}: {error}\n    input: {data[:120]!r}")
    return 1 if findings.failures else 0


if __name__ == "__main__":
    sys.exit(main())
