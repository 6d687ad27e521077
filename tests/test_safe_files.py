"""Every file the package writes is replaced whole: a write that fails part way keeps the previous file."""

import errno
import os
import stat

import numpy as np
import pytest

from quorvane.velk import datasets, joint_table, planning, records, safe_files, target_file
from quorvane.velk.printing.page import choose_paper, render_page, write_page
from quorvane.velk.report.document import write_document

BOARD = {"kind": "chessboard", "cols": 4, "rows": 3, "square_size": 0.02}


def _poses(shift):
    pose = np.eye(4)
    pose[0, 3] = shift
    return [pose, pose]


def _page(folder, variant):
    printed = target_file.printed_from_json(dict(BOARD, cols=4 + variant))
    path = folder / "board.png"
    write_page(render_page(printed, choose_paper("A4", printed), 50, "board.json"), path, 50)
    return path


def _record(folder, variant):
    path = folder / "hand_eye.json"
    if not path.exists():
        safe_files.write_text(path, '{"method": "TSAI"}\n')
    return records.add_record_members(path, {"saved_method": f"method {variant}"})


WRITERS = {
    "text": lambda folder, variant: safe_files.write_text(folder / "notes.txt", f"notes {variant}\n" * 50),
    "joint table": lambda folder, variant: joint_table.write_joint_table(folder / "joints.csv",
                                                                         np.full((3, 6), variant)),
    "planned poses": lambda folder, variant: planning.write_poses(folder / "plan.csv", _poses(variant)),
    "target file": lambda folder, variant: target_file.save_target_file(
        folder / "board.json", target_file.printed_from_json(dict(BOARD, cols=4 + variant))),
    "report": lambda folder, variant: write_document(folder / "report.html", f"Report {variant}", []),
    "record members": _record,
    "pose archive": lambda folder, variant: datasets.save_robot_poses(folder, _poses(variant)),
    "board page": _page,
}


@pytest.fixture
def disk_fills(monkeypatch):
    """From the moment it is called, os.write stores a few bytes and then fails as on a full disk."""
    real_write = os.write

    def fill():
        calls = []

        def write(descriptor, data):
            calls.append(descriptor)
            if len(calls) > 1:
                raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
            return real_write(descriptor, bytes(data)[:16])

        monkeypatch.setattr(os, "write", write)

    return fill


@pytest.mark.parametrize("writer", WRITERS.values(), ids=WRITERS.keys())
def test_a_failed_write_keeps_the_previous_file_and_leaves_no_temporary(tmp_path, writer, disk_fills):
    path = writer(tmp_path, 1)
    before = path.read_bytes()
    entries = sorted(os.listdir(tmp_path))
    disk_fills()
    with pytest.raises(OSError) as raised:
        writer(tmp_path, 2)
    assert raised.value.errno == errno.ENOSPC
    assert path.read_bytes() == before
    assert sorted(os.listdir(tmp_path)) == entries


def test_a_new_file_takes_the_usual_permissions_and_a_replaced_one_keeps_its_own(tmp_path):
    fresh, kept = tmp_path / "fresh.txt", tmp_path / "kept.txt"
    kept.write_text("old")
    kept.chmod(0o640)
    safe_files.write_text(fresh, "new")
    safe_files.write_text(kept, "new")
    mask = os.umask(0)
    os.umask(mask)
    assert (fresh.stat().st_mode & 0o777, kept.stat().st_mode & 0o777) == (0o666 & ~mask, 0o640)
    assert kept.read_text() == "new"


def test_a_link_stays_a_link_and_a_device_is_written_into_not_replaced(tmp_path):
    target, link = tmp_path / "record.json", tmp_path / "latest.json"
    safe_files.write_text(target, "first")
    link.symlink_to(target)
    assert safe_files.write_text(link, "second") == link
    assert link.is_symlink() and target.read_text() == "second"
    safe_files.write_text("/dev/null", "discarded")
    assert stat.S_ISCHR(os.stat("/dev/null").st_mode)
