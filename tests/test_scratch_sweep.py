"""The sweep of scratch directories that exports of dead servers left behind:
what it removes, and everything it must leave alone."""
import fcntl
import os
import tempfile
import uuid

import pytest

from conftest import component, export_dirs, fetch, make_tree
from vexlo.server.handlers.cache import export_gate
from vexlo.server.handlers.cache.export_gate import CacheExportGate


# A directory's name carries the boot id of the kernel whose locks tell
# whether its export lives.
with open("/proc/sys/kernel/random/boot_id") as f:
    BOOT_ID = f.read().strip()


def ours(suffix):
    """The name an export of this host gives its directory."""
    return f"vexlo-cache-{BOOT_ID}-{suffix}"


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
    make_tree(scratch / ours("dead"), {"n-diskcache.tar.gz": b"\x1f\x8b" * 1000, "sub/deep/x": b"x"})
    os.symlink(outside, scratch / ours("dead") / "sub" / "link")
    os.symlink(outside + "/keep.bin", scratch / ours("dead") / "file-link")
    make_tree(scratch / ours("held"), {"a": b"a"})
    os.symlink(outside, scratch / ours("link"))
    make_tree(scratch / ("." + ours("fresh")), {})  # being created: not locked yet
    make_tree(scratch / "not-vexlo-cache-x", {"a": b"a"})
    (scratch / ours("file")).write_bytes(b"a file, not a directory")

    # A live export of another server holds its directory's lock.
    held = os.open(scratch / ours("held"), os.O_RDONLY | os.O_DIRECTORY)
    fcntl.flock(held, fcntl.LOCK_EX)
    try:
        CacheExportGate.sweep_abandoned_exports()
    finally:
        os.close(held)

    assert sorted(p.name for p in scratch.iterdir()) == sorted([
        "." + ours("fresh"), "not-vexlo-cache-x", ours("file"), ours("held"), ours("link")])
    assert (scratch / ours("held") / "a").read_bytes() == b"a"
    # Links were removed as links; what they pointed at is untouched.
    assert os.listdir(outside) == ["keep.bin"] and (tmp_path / "outside" / "keep.bin").stat().st_size == 100

    # Once its owner is gone, the held directory goes too.
    CacheExportGate.sweep_abandoned_exports()
    assert not (scratch / ours("held")).exists()


def test_the_sweep_leaves_other_hosts_directories(temp):
    # TMPDIR on a file system shared by several hosts: another host's live
    # export holds a lock that this kernel cannot see.
    other_host = f"vexlo-cache-{uuid.uuid4()}-abcdef"
    unmarked = "vexlo-cache-ghijkl"  # its lock could not be taken; or made before marks existed
    for name in (other_host, unmarked, ours("mnopqr")):
        make_tree(temp / name, {"n-diskcache.tar.gz": b"\x1f\x8b" * 100})
    CacheExportGate.sweep_abandoned_exports()
    assert sorted(export_dirs(temp)) == sorted([other_host, unmarked])


async def test_an_export_marks_its_directory_as_this_hosts(jp_fetch, register_pipeline, tmp_path, temp,
                                                           monkeypatch):
    seen = []

    def size_seen_from_inside(path):
        seen.extend(export_dirs(temp))
        return 1

    monkeypatch.setattr(export_gate, "get_dir_size", size_seen_from_inside)
    await register_pipeline("k1", [component("a", make_tree(tmp_path / "a", {"x": b"x"}))])
    response = await fetch(jp_fetch, "vexlo", "cache", "export", kernel_id="k1", ipynb_name="n.ipynb")
    assert response.code == 200
    assert len(seen) == 1 and seen[0].startswith(ours("")) and len(seen[0]) == len(ours("XXXXXX"))
    assert export_dirs(temp) == []


@pytest.mark.skipif(os.geteuid() != 0, reason="handing a directory to another user needs root")
def test_the_sweep_leaves_other_users_directories(temp):
    scratch = temp
    theirs = make_tree(scratch / ours("theirs"), {"a": b"a"})
    os.chown(theirs, 65534, 65534)
    CacheExportGate.sweep_abandoned_exports()
    assert export_dirs(scratch) == [ours("theirs")]
    os.chown(theirs, 0, 0)
    CacheExportGate.sweep_abandoned_exports()
    assert export_dirs(scratch) == []


def test_the_sweep_never_raises(temp):
    temp.rmdir()
    assert CacheExportGate.sweep_abandoned_exports() is None
