"""The sweep of scratch directories that exports of dead servers left behind:
what it removes, and everything it must leave alone."""
import fcntl
import os
import tempfile

import pytest

from conftest import export_dirs, make_tree
from vexlo.server.handlers.cache.export_gate import CacheExportGate


@pytest.fixture
def temp(tmp_path, monkeypatch):
    """The temporary directory the sweep looks in."""
    folder = tmp_path / "tmp"
    folder.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(folder))
    return folder


def test_the_sweep_removes_only_abandoned_directories_of_ours(tmp_path, temp):
    scratch = temp
    outside = make_tree(tmp_path / "outside", {"keep.bin": b"k" * 100})
    make_tree(scratch / "vexlo-cache-dead", {"n-diskcache.tar.gz": b"\x1f\x8b" * 1000, "sub/deep/x": b"x"})
    os.symlink(outside, scratch / "vexlo-cache-dead" / "sub" / "link")
    os.symlink(outside + "/keep.bin", scratch / "vexlo-cache-dead" / "file-link")
    make_tree(scratch / "vexlo-cache-held", {"a": b"a"})
    os.symlink(outside, scratch / "vexlo-cache-link")
    make_tree(scratch / ".vexlo-cache-fresh", {})  # being created: not locked yet
    make_tree(scratch / "not-vexlo-cache-x", {"a": b"a"})
    (scratch / "vexlo-cache-file").write_bytes(b"a file, not a directory")

    # A live export of another server holds its directory's lock.
    held = os.open(scratch / "vexlo-cache-held", os.O_RDONLY | os.O_DIRECTORY)
    fcntl.flock(held, fcntl.LOCK_EX)
    try:
        CacheExportGate.sweep_abandoned_exports()
    finally:
        os.close(held)

    assert sorted(p.name for p in scratch.iterdir()) == [
        ".vexlo-cache-fresh", "not-vexlo-cache-x", "vexlo-cache-file", "vexlo-cache-held", "vexlo-cache-link"]
    assert (scratch / "vexlo-cache-held" / "a").read_bytes() == b"a"
    # Links were removed as links; what they pointed at is untouched.
    assert os.listdir(outside) == ["keep.bin"] and (tmp_path / "outside" / "keep.bin").stat().st_size == 100

    # Once its owner is gone, the held directory goes too.
    CacheExportGate.sweep_abandoned_exports()
    assert not (scratch / "vexlo-cache-held").exists()


@pytest.mark.skipif(os.geteuid() != 0, reason="handing a directory to another user needs root")
def test_the_sweep_leaves_other_users_directories(temp):
    scratch = temp
    theirs = make_tree(scratch / "vexlo-cache-theirs", {"a": b"a"})
    os.chown(theirs, 65534, 65534)
    CacheExportGate.sweep_abandoned_exports()
    assert export_dirs(scratch) == ["vexlo-cache-theirs"]
    os.chown(theirs, 0, 0)
    CacheExportGate.sweep_abandoned_exports()
    assert export_dirs(scratch) == []


def test_the_sweep_never_raises(temp):
    temp.rmdir()
    assert CacheExportGate.sweep_abandoned_exports() is None
