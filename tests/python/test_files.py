"""dump and load: paths and file objects, atomic replacement of regular
files, and file names that hold NUL."""
import io
import os
import pathlib
import stat
import subprocess
import sys
import textwrap
import threading

import pytest

import qeltypes as q

TREE = {"a": [1, 2.5, "x", b"\x00"], "b": None}


def test_paths_and_file_objects(tmp_path):
    for target in (str(tmp_path / "s.qel"), os.fsencode(str(tmp_path / "b.qel")), tmp_path / "p.qel"):
        q.dump(TREE, target)
        assert q.load(target) == TREE
        with open(target, "rb") as f:
            assert f.read() == q.dumps(TREE)
    buffer = io.BytesIO()
    q.dump(TREE, buffer, default=str)
    buffer.seek(0)
    assert q.load(buffer, typed=True) == q.loads(q.dumps(TREE), typed=True)
    with pytest.raises(q.DecodeError, match="max_elements"):
        q.load(tmp_path / "p.qel", max_elements=2)


def test_names_holding_nul_are_refused_before_anything_is_opened(tmp_path):
    for name in (str(tmp_path / "a\0b"), os.fsencode(str(tmp_path / "a\0b"))):
        with pytest.raises(ValueError, match="^embedded null byte$"):
            q.dump(TREE, name)
        with pytest.raises(ValueError, match="^embedded null byte$"):
            q.load(name)
    assert os.listdir(str(tmp_path)) == []


def test_a_failed_dump_keeps_the_old_file(tmp_path):
    target = tmp_path / "keep.qel"
    q.dump(TREE, target)
    os.chmod(str(target), 0o640)
    old = target.read_bytes()
    cyclic = []
    cyclic.append(cyclic)
    for bad, error in ((cyclic, ValueError), ({"x": object()}, TypeError)):
        with pytest.raises(error):
            q.dump(bad, target)
    assert target.read_bytes() == old and sorted(os.listdir(str(tmp_path))) == ["keep.qel"]
    q.dump([1], target)  # replaced whole, with the old file's permissions
    assert q.load(target) == [1] and stat.S_IMODE(target.stat().st_mode) == 0o640


def test_a_full_disk_keeps_the_old_file(tmp_path):
    # A file size limit stands in for a full disk: the write of the
    # temporary file fails midway with EFBIG.
    target = tmp_path / "full.qel"
    q.dump(TREE, target)
    script = textwrap.dedent("""
        import resource, signal, sys
        import qeltypes
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
        try:
            qeltypes.dump({"big": b"x" * 100000}, sys.argv[1])
        except OSError as e:
            print("refused", e.errno)
    """)
    result = subprocess.run([sys.executable, "-c", script, str(target)], stdout=subprocess.PIPE, check=True)
    assert result.stdout.decode().startswith("refused")
    assert q.load(target) == TREE and os.listdir(str(tmp_path)) == ["full.qel"]


def test_files_that_a_rename_would_harm_are_written_in_place(tmp_path, monkeypatch):
    # So that it is refused as open() refuses it, not replaced by a rename;
    # os.access stands in for the permissions, which root would pass.
    import qeltypes._files as files
    target = tmp_path / "ro.qel"
    q.dump(TREE, target)
    inode = target.stat().st_ino
    q.dump([1], target)
    assert target.stat().st_ino != inode  # replaced
    inode = target.stat().st_ino
    monkeypatch.setattr(files.os, "access", lambda path, mode: False)
    q.dump([2], target)
    assert target.stat().st_ino == inode and q.load(target) == [2]  # written in place
    monkeypatch.undo()
    # A file with a second name keeps it: both see the new contents.
    os.link(str(target), str(tmp_path / "other.qel"))
    q.dump([3], target)
    assert q.load(tmp_path / "other.qel") == [3]


def test_a_symlink_keeps_pointing_at_the_replaced_file(tmp_path):
    real = tmp_path / "real.qel"
    q.dump([1], real)
    link = tmp_path / "link.qel"
    link.symlink_to(real)
    q.dump([2], link)
    assert link.is_symlink() and q.load(real) == [2]


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs named pipes")
def test_pipes_and_devices_are_written_straight_through(tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(str(fifo))
    got = []
    reader = threading.Thread(target=lambda: got.append(pathlib.Path(str(fifo)).read_bytes()))
    reader.start()
    q.dump(TREE, fifo)
    reader.join()
    assert got == [q.dumps(TREE)] and stat.S_ISFIFO(os.stat(str(fifo)).st_mode)
    q.dump(TREE, os.devnull)
    assert stat.S_ISCHR(os.stat(os.devnull).st_mode)
