"""Writes the seed corpus of the .npz reader's fuzzer: valid archives of the kinds
numpy and zipfile produce, and a few damaged ones. Run with a Python that has numpy:
    python tests/fuzz/make_seeds.py tests/fuzz/seeds
"""

import io
import struct
import sys
import zipfile
from pathlib import Path

import numpy as np

ENTRY = "robot_T_tcp_list.npy"
POSES = np.arange(2 * 16, dtype=np.float64).reshape(2, 4, 4) / 7


def npy(array, version=None):
    buffer = io.BytesIO()
    np.lib.format.write_array(buffer, array, version=version)
    return buffer.getvalue()


def archive(members, compression=zipfile.ZIP_STORED, comment=b"", stream=False):
    target = io.BytesIO()
    sink = target
    if stream:  # an unseekable writer makes zipfile append data descriptors
        class Unseekable(io.RawIOBase):
            def writable(self):
                return True

            def write(self, data):
                return target.write(data)
        sink = Unseekable()
    with zipfile.ZipFile(sink, "w", compression=compression) as zf:
        for name, data in members:
            if stream:
                with zf.open(name, "w") as entry:
                    entry.write(data)
            else:
                zf.writestr(name, data)
        zf.comment = comment
    return target.getvalue()


def savez(save, **arrays):
    buffer = io.BytesIO()
    save(buffer, **arrays)
    return buffer.getvalue()


def patched(data, offset, fmt, value):
    data = bytearray(data)
    struct.pack_into(fmt, data, offset, value)
    return bytes(data)


def seeds():
    stored = archive([(ENTRY, npy(POSES))])
    directory = stored.index(b"PK\x01\x02")
    yield "stored", stored
    yield "savez_several", savez(np.savez, a=np.ones(3), robot_T_tcp_list=POSES, b=np.zeros((1, 4, 4)))
    yield "savez_compressed", savez(np.savez_compressed, robot_T_tcp_list=POSES, other=np.arange(5.0))
    yield "deflated_descriptor", archive([("x.npy", npy(np.ones(2))), (ENTRY, npy(POSES))],
                                         zipfile.ZIP_DEFLATED, stream=True)
    yield "version2_comment", archive([(ENTRY, npy(POSES, version=(2, 0)))], comment=b"seed comment " * 20)
    yield "empty_poses", archive([(ENTRY, npy(np.zeros((0, 4, 4))))])
    yield "scalar", archive([(ENTRY, npy(np.float64(3.5)))])
    yield "fortran", archive([(ENTRY, npy(np.asfortranarray(POSES)))])
    yield "big_endian", archive([(ENTRY, npy(POSES.astype(">f8")))])
    yield "float32", archive([(ENTRY, npy(POSES.astype(np.float32)))])
    yield "truncated", stored[: len(stored) // 2]
    yield "method_12", patched(stored, directory + 10, "<H", 12)
    yield "size_past_end", patched(stored, directory + 20, "<I", 0xFFFFFFF0)
    yield "short_data", archive([(ENTRY, npy(POSES)[:-8])])
    yield "bare_npy", npy(POSES)


def main(folder):
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    for name, data in seeds():
        (folder / name).write_bytes(data)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).parent / "seeds")
