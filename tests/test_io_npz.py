"""calibration_data.npz as numpy sees it: both directions, and damaged archives refused cleanly."""

import io as pyio
import struct
import subprocess
import zipfile
import zlib

import numpy as np
import pytest

from _velk import io

POSE_ENTRY = "robot_T_tcp_list.npy"


def poses(count, seed=0):
    return np.random.default_rng(seed).normal(size=(count, 4, 4))


def npy_bytes(array, version=None):
    buffer = pyio.BytesIO()
    np.lib.format.write_array(buffer, array, version=version)
    return buffer.getvalue()


@pytest.fixture
def rig_archive(tmp_path):
    """Where load_multi_camera_robot_poses(tmp_path) finds its poses."""
    (tmp_path / "cam_0").mkdir()
    return tmp_path / "cam_0" / "calibration_data.npz"


def load_rig_poses(data_dir):
    return np.array(io.load_multi_camera_robot_poses(data_dir)).reshape(-1, 4, 4)


# ---- numpy reads what we write -----------------------------------------------------------

@pytest.mark.parametrize("count", [0, 1, 3, 12])
def test_numpy_reads_our_archive(tmp_path, count):
    saved = poses(count)
    io.save_hand_eye_dataset(tmp_path, [], list(saved))
    with np.load(tmp_path / "calibration_data.npz", allow_pickle=False) as archive:
        assert archive.files == ["robot_T_tcp_list"]
        assert archive["robot_T_tcp_list"].shape == (count, 4, 4)
        assert np.array_equal(archive["robot_T_tcp_list"], saved)
    with zipfile.ZipFile(tmp_path / "calibration_data.npz") as archive:
        assert archive.testzip() is None  # CRC agrees
        (info,) = archive.infolist()
        assert (info.filename, info.compress_type, info.date_time) == (POSE_ENTRY, zipfile.ZIP_STORED,
                                                                       (1980, 1, 1, 0, 0, 0))


def test_same_poses_give_identical_bytes(tmp_path):
    saved = list(poses(3, seed=4))
    io.save_hand_eye_dataset(tmp_path / "a", [], saved)
    io.save_multi_camera_robot_poses(tmp_path / "b", saved, 1)
    first = (tmp_path / "a" / "calibration_data.npz").read_bytes()
    assert len(first) == 650
    assert first == (tmp_path / "b" / "cam_0" / "calibration_data.npz").read_bytes()
    assert struct.unpack_from("<H", first, 30 + len(POSE_ENTRY) + 8) == (118,)


def test_existing_archive_is_replaced_by_exactly_one_entry(tmp_path):
    np.savez(tmp_path / "calibration_data.npz", robot_T_tcp_list=poses(5), extra=np.arange(3.0))
    io.save_hand_eye_dataset(tmp_path, [], list(poses(2)))
    with np.load(tmp_path / "calibration_data.npz") as archive:
        assert archive.files == ["robot_T_tcp_list"] and archive["robot_T_tcp_list"].shape == (2, 4, 4)


# ---- we read what numpy writes -----------------------------------------------------------

@pytest.mark.parametrize("save", [np.savez, np.savez_compressed], ids=["savez", "savez_compressed"])
@pytest.mark.parametrize("count", [0, 2, 40])
def test_we_read_numpy_archives_with_several_arrays(tmp_path, rig_archive, save, count):
    expected = poses(count, seed=count)
    save(rig_archive, np.arange(7.0), first=np.ones((3, 3)), robot_T_tcp_list=expected,
         last=np.zeros((2, 4, 4)), labels=np.array(["a", "b"]))
    assert np.array_equal(load_rig_poses(tmp_path), expected)


def write_zip(path, members, compression=zipfile.ZIP_STORED, comment=b"", stream=False):
    """members: (name, bytes). With stream=True the archive goes through an unseekable
    writer, so every entry carries a data descriptor."""
    target = pyio.BytesIO()
    sink = target
    if stream:
        class Unseekable(pyio.RawIOBase):
            def writable(self):
                return True

            def write(self, data):
                return target.write(data)
        sink = Unseekable()
    with zipfile.ZipFile(sink, "w", compression=compression) as archive:
        for name, data in members:
            if stream:
                with archive.open(name, "w") as entry:
                    entry.write(data)
            else:
                archive.writestr(name, data)
        archive.comment = comment
    path.write_bytes(target.getvalue())
    return target.getvalue()


@pytest.mark.parametrize("compression", [zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED], ids=["stored", "deflated"])
def test_data_descriptors_version_two_and_long_comments(tmp_path, rig_archive, compression):
    expected = poses(6, seed=1)
    members = [("other.npy", npy_bytes(np.arange(4.0))), (POSE_ENTRY, npy_bytes(expected, version=(2, 0)))]
    raw = write_zip(rig_archive, members, compression, comment=b"c" * 65535, stream=True)
    assert struct.unpack_from("<H", raw, 6)[0] & 0x8  # data-descriptor flag set
    assert np.array_equal(load_rig_poses(tmp_path), expected)


@pytest.mark.parametrize("array,message", [
    (np.asfortranarray(poses(2)), "npz: fortran-order arrays are not supported"),
    (poses(2).astype(">f8"), 'npz: only little-endian float64 ("<f8") arrays are supported'),
    (poses(2).astype(np.float32), 'npz: only little-endian float64 ("<f8") arrays are supported'),
    (np.zeros((2, 4, 4), np.int64), 'npz: only little-endian float64 ("<f8") arrays are supported'),
], ids=["fortran", "big-endian", "float32", "int64"])
def test_arrays_we_do_not_read(tmp_path, array, message):
    np.savez(tmp_path / "calibration_data.npz", robot_T_tcp_list=array)
    with pytest.raises(RuntimeError) as info:
        io.load_hand_eye_dataset(tmp_path)
    assert str(info.value) == message


def test_missing_key_names_the_entry(tmp_path):
    np.savez(tmp_path / "calibration_data.npz", robot_T_tcp=poses(1), ROBOT_T_TCP_LIST=poses(1))
    with pytest.raises(RuntimeError, match=r"^npz: entry 'robot_T_tcp_list\.npy' not found in archive$"):
        io.load_hand_eye_dataset(tmp_path)


# ---- damaged archives ----------------------------------------------------------------------

NAME_LENGTH = len(POSE_ENTRY)
BLOB = 30 + NAME_LENGTH               # our archive: the blob follows the local header
BLOB_SIZE = 128 + 3 * 16 * 8
DIRECTORY = BLOB + BLOB_SIZE
END = DIRECTORY + 46 + NAME_LENGTH


def put(offset, fmt, value):
    return lambda data: struct.pack_into(fmt, data, offset, value)


def both(first, second):
    def change(data):
        first(data)
        second(data)
    return change


def cut(size):
    def change(data):
        del data[size:]
    return change


def header_text(old, new):
    """Rewrites part of the .npy header text, keeping the header length (118)."""
    def change(data):
        start, end = BLOB + 10, BLOB + 128
        text = data[start:end].decode().rstrip().replace(old, new, 1)
        data[start:end] = (text.ljust(117) + "\n").encode()
    return change


def with_matching_checksum(data):
    """Gives a damaged blob the CRC-32 of the bytes the reader will take as the entry, so that the damage reaches
    the .npy parser rather than the checksum (an archive written damaged, not damaged on disk)."""
    if len(data) < DIRECTORY + 24:
        return
    size = struct.unpack_from("<I", data, DIRECTORY + 20)[0]
    crc = zlib.crc32(bytes(data[BLOB:BLOB + size]))
    struct.pack_into("<I", data, 14, crc)
    struct.pack_into("<I", data, DIRECTORY + 16, crc)


NO_EOCD = "npz: not a valid ZIP archive (no EOCD record)"
BAD_DIRECTORY = "npz: malformed ZIP central directory"
BAD_LOCAL = "npz: malformed ZIP local file header"
SHORT = "npz: .npy data shorter than shape implies"


@pytest.mark.parametrize("change,error,message", [
    (cut(0), RuntimeError, NO_EOCD),
    (cut(21), RuntimeError, NO_EOCD),
    (cut(649), RuntimeError, NO_EOCD),
    (put(END + 16, "<I", 0), RuntimeError, BAD_DIRECTORY),
    (put(END + 16, "<I", 0xFFFFFFF0), RuntimeError, BAD_DIRECTORY),
    (put(DIRECTORY, "<I", 0x02014B51), RuntimeError, BAD_DIRECTORY),
    (both(put(END + 10, "<H", 2), put(DIRECTORY + 46, "B", ord("R"))), RuntimeError, BAD_DIRECTORY),
    (put(DIRECTORY + 28, "<H", 0xFFFF), RuntimeError, BAD_DIRECTORY),
    (put(DIRECTORY + 46, "B", ord("R")), RuntimeError, "npz: entry 'robot_T_tcp_list.npy' not found in archive"),
    (put(DIRECTORY + 42, "<I", 0xFFFFFFFF), RuntimeError, BAD_LOCAL),
    (put(0, "<I", 0), RuntimeError, BAD_LOCAL),
    (put(DIRECTORY + 20, "<I", BLOB_SIZE + 89), RuntimeError, "npz: ZIP entry data runs past end of file"),
    (put(DIRECTORY + 10, "<H", 12), RuntimeError, "npz: unsupported ZIP compression method 12"),
    (put(DIRECTORY + 10, "<H", 8), RuntimeError, "npz: zlib inflate failed on entry"),
    (put(BLOB, "B", 0x94), RuntimeError, "npz: not a valid .npy blob"),
    (put(DIRECTORY + 20, "<I", 9), RuntimeError, "npz: not a valid .npy blob"),
    (put(BLOB + 8, "<H", 0xFFFF), RuntimeError, "npz: truncated .npy header dict"),
    (put(DIRECTORY + 20, "<I", BLOB_SIZE - 1), RuntimeError, SHORT),
    (header_text("(3, 4, 4)", "(4, 4, 4)"), RuntimeError, SHORT),
    (header_text("(3, 4, 4)", "(4294967296, 4294967296, 1)"), RuntimeError, SHORT),
    (header_text("(3, 4, 4)", "(2, 4, 5)"), RuntimeError, "io: robot_T_tcp_list npz entry is not shaped (N, 4, 4)"),
    (header_text("(3, 4, 4)", "(x, 4, 4)"), ValueError, "invalid stoull argument"),
    (header_text("(3, 4, 4)", "(18446744073709551616, 4, 4)"), IndexError, "stoull argument out of range"),
    (header_text("'shape'", "'shope'"), RuntimeError, "npz: missing 'shape' in npy header"),
    (header_text("(3, 4, 4)", "[3, 4, 4]"), RuntimeError, "npz: malformed 'shape' tuple in npy header"),
], ids=["empty", "21-bytes", "cut-end-record", "directory-at-0", "directory-past-end", "directory-signature",
        "entry-count", "name-length", "name", "local-offset", "local-signature", "compressed-size", "method-12",
        "method-8", "magic", "blob-9-bytes", "header-length", "blob-short", "shape-first", "shape-overflow",
        "shape-last", "shape-letter", "shape-huge", "shape-key", "shape-brackets"])
def test_damaged_archive_is_refused(tmp_path, change, error, message):
    io.save_hand_eye_dataset(tmp_path, [], list(poses(3)))
    path = tmp_path / "calibration_data.npz"
    data = bytearray(path.read_bytes())
    assert len(data) == END + 22
    change(data)
    with_matching_checksum(data)
    path.write_bytes(bytes(data))
    with pytest.raises(error) as info:
        io.load_hand_eye_dataset(tmp_path)
    assert info.value.args[0] == message


@pytest.mark.parametrize("declared", [-1, +1, 1 << 31], ids=["one-less", "one-more", "absurd"])
def test_deflated_entry_of_another_size_than_declared(tmp_path, declared):
    raw = bytearray(write_zip(tmp_path / "calibration_data.npz", [(POSE_ENTRY, npy_bytes(poses(3)))],
                              zipfile.ZIP_DEFLATED))
    directory = raw.index(b"PK\x01\x02")
    size = struct.unpack_from("<I", raw, directory + 24)[0]
    struct.pack_into("<I", raw, directory + 24, declared if declared > 1 else size + declared)
    (tmp_path / "calibration_data.npz").write_bytes(bytes(raw))
    with pytest.raises(RuntimeError, match="^npz: zlib inflate failed on entry$"):
        io.load_hand_eye_dataset(tmp_path)


@pytest.mark.parametrize("change", [
    both(put(18, "<I", 0xFFFFFFFF), put(22, "<I", 0xFFFFFFFF)),
    both(put(6, "<H", 0x8), put(DIRECTORY + 8, "<H", 0x8)),
], ids=["local-sizes", "descriptor-flag"])
def test_fields_the_reader_does_not_use(tmp_path, rig_archive, change):
    saved = poses(3)
    io.save_multi_camera_robot_poses(tmp_path, list(saved), 1)
    data = bytearray(rig_archive.read_bytes())
    change(data)
    rig_archive.write_bytes(bytes(data))
    assert np.array_equal(load_rig_poses(tmp_path), saved)


def test_bytes_after_the_npy_data_are_ignored(tmp_path, rig_archive):
    saved = poses(3)
    write_zip(rig_archive, [(POSE_ENTRY, npy_bytes(saved) + bytes(88))])
    assert np.array_equal(load_rig_poses(tmp_path), saved)


@pytest.mark.parametrize("change", [
    both(put(14, "<I", 0), put(DIRECTORY + 16, "<I", 0)),
    lambda data: data.__setitem__(BLOB + BLOB_SIZE - 3, data[BLOB + BLOB_SIZE - 3] ^ 0x10),
], ids=["checksum", "pose-bit"])
def test_archive_whose_bytes_fail_their_checksum_is_refused(tmp_path, rig_archive, change):
    """One flipped bit in a stored pose still reads as a number: only the CRC-32 tells the pose is not the one
    saved."""
    io.save_multi_camera_robot_poses(tmp_path, list(poses(3)), 1)
    data = bytearray(rig_archive.read_bytes())
    change(data)
    rig_archive.write_bytes(bytes(data))
    with pytest.raises(RuntimeError, match="fails its CRC-32 check: the archive is corrupt"):
        load_rig_poses(tmp_path)


def test_size_beyond_any_deflate_ratio_is_refused_before_allocating(tmp_path, python_executable):
    """Found by fuzzing: a few hundred bytes declaring a 4 GiB deflated entry. Under a
    1 GiB address-space limit an attempt to allocate it would end in MemoryError."""
    raw = bytearray(write_zip(tmp_path / "calibration_data.npz", [(POSE_ENTRY, npy_bytes(poses(3)))],
                              zipfile.ZIP_DEFLATED))
    struct.pack_into("<I", raw, raw.index(b"PK\x01\x02") + 24, 0xFFFFFFFF)
    (tmp_path / "calibration_data.npz").write_bytes(bytes(raw))
    script = ("import resource, sys\n"
              "resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))\n"
              "from _velk import io\n"
              "try:\n"
              "    io.load_hand_eye_dataset(sys.argv[1])\n"
              "except Exception as error:\n"
              "    print(type(error).__name__, error)\n")
    result = subprocess.run([python_executable, "-c", script, str(tmp_path)], capture_output=True, text=True,
                            timeout=120)
    assert result.stdout == "RuntimeError npz: zlib inflate failed on entry\n", result.stderr
