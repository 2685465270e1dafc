"""Archives written by CacheCompressThread, read back by two independent
readers (Python's tarfile and GNU tar) and compared with the source tree."""
import os
import random
import shutil
import stat
import subprocess
import tarfile

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import float_column, numeric_csv, random_bytes, word_text
from vexlo.server.misc.cache_packer import CacheCompressThread

HAVE_GNU_TAR = shutil.which("tar") is not None
HAVE_GZIP = shutil.which("gzip") is not None


def pack(archive, pipeline_file, trees):
    """Writes the archive on the thread; returns the thread (already joined)."""
    thread = CacheCompressThread(str(archive), {"filepath": str(pipeline_file), "arcname": "pipeline.json"},
                                 [{"dirpath": str(path), "arcname": name} for path, name in trees])
    thread.start()
    thread.join()
    return thread


def expected_members(root, arcname, skip=None):
    """Member names in archive order: the entry, then children sorted by their
    bytes, depth first; sockets and `skip` (the archive) left out."""
    names = []

    def visit(path, name):
        st_ = os.lstat(path)
        if stat.S_ISSOCK(st_.st_mode) or (skip is not None and os.path.samestat(st_, skip)):
            return
        if stat.S_ISDIR(st_.st_mode):
            names.append(name + b"/")
            for child in sorted(os.listdir(path)):
                visit(os.path.join(path, child), name + b"/" + child)
        else:
            names.append(name)

    visit(os.fsencode(root), os.fsencode(arcname))
    return names


def member_names(archive):
    with tarfile.open(archive, "r:gz") as tar:
        return [os.fsencode(m.name) + (b"/" if m.isdir() else b"") for m in tar]


def extract_with_tarfile(archive, dest):
    with tarfile.open(archive, "r:gz") as tar:
        if hasattr(tarfile, "data_filter"):
            # The tar filter keeps special files, permissions and link targets.
            tar.extractall(dest, filter="fully_trusted")
        else:
            tar.extractall(dest)


def extract_with_gnu_tar(archive, dest):
    # GNU tar warns about hdrcharset (it does not know the keyword) but still
    # takes the raw path bytes, which is what the record asks for.
    subprocess.run(["tar", "-xzf", str(archive), "-C", str(dest)], check=True, capture_output=True)


def assert_same_tree(source, copy):
    """Same entries, kinds, permission bits, whole-second mtimes, data and link
    targets; files that were hard links are hard links again."""
    source, copy = os.fsencode(source), os.fsencode(copy)
    inode_groups = {}
    for dirpath, dirnames, filenames in os.walk(source):
        rel = os.path.relpath(dirpath, source)
        for name in [b"."] + dirnames + filenames:
            src = os.path.normpath(os.path.join(dirpath, name))
            dst = os.path.normpath(os.path.join(copy, rel, name))
            s, d = os.lstat(src), os.lstat(dst)
            assert stat.S_IFMT(s.st_mode) == stat.S_IFMT(d.st_mode), src
            if stat.S_ISLNK(s.st_mode):
                assert os.readlink(src) == os.readlink(dst), src
                continue
            assert stat.S_IMODE(s.st_mode) == stat.S_IMODE(d.st_mode), src
            assert s.st_mtime_ns // 10**9 == d.st_mtime_ns // 10**9, src
            if stat.S_ISREG(s.st_mode):
                with open(src, "rb") as a, open(dst, "rb") as b:
                    assert a.read() == b.read(), src
                if s.st_nlink > 1:
                    inode_groups.setdefault(s.st_ino, set()).add(d.st_ino)
    for copies in inode_groups.values():
        assert len(copies) == 1, "hard links were not kept as links"
    # Nothing extra in the copy either.
    count = lambda top: sum(len(dn) + len(fn) for _, dn, fn in os.walk(top))  # noqa: E731
    assert count(source) == count(copy)


def round_trip(tmp_path, tree):
    pipeline = tmp_path / "pipeline-src.json"
    pipeline.write_text('{"c1": {}}')
    archive = tmp_path / "out.tar.gz"
    thread = pack(archive, pipeline, [(tree, "component-c1")])
    assert thread.error() is None
    assert thread.is_stopped()
    if HAVE_GZIP:
        subprocess.run(["gzip", "-t", str(archive)], check=True)
    assert member_names(archive) == [b"pipeline.json"] + expected_members(tree, "component-c1")

    readers = [("tarfile", extract_with_tarfile)]
    if HAVE_GNU_TAR:
        readers.append(("gnutar", extract_with_gnu_tar))
    for label, extract in readers:
        dest = tmp_path / ("x-" + label)
        dest.mkdir()
        extract(archive, dest)
        assert (dest / "pipeline.json").read_bytes() == pipeline.read_bytes()
        assert_same_tree(tree, dest / "component-c1")
    return archive


def test_every_kind_of_entry_survives_both_readers(tmp_path):
    tree = tmp_path / "cache"
    (tree / "sub" / "deeper").mkdir(parents=True)
    (tree / "empty").mkdir()
    (tree / "data.bin").write_bytes(os.urandom(300_000))   # spans several gzip blocks
    (tree / "zero.txt").write_bytes(b"")
    (tree / "exact.bin").write_bytes(b"x" * 512)             # no tar padding needed
    (tree / "sub" / "deeper" / "n.txt").write_text("nested")
    os.symlink("../data.bin", tree / "sub" / "rel-link")
    os.symlink("/nonexistent/target", tree / "dangling")
    os.link(tree / "data.bin", tree / "sub" / "hard-copy")
    os.mkfifo(tree / "pipe")
    (tree / ("long-" + "n" * 200)).write_text("long name")
    deep = tree / ("d" * 60) / ("e" * 60) / ("f" * 60)
    deep.mkdir(parents=True)
    (deep / "leaf.txt").write_text("path longer than the ustar name and prefix fields")
    os.symlink("t" * 150, tree / "long-target")
    (tree / "ünïcödé-名前.txt").write_text("utf-8 name")
    (tree / os.fsdecode(b"raw-\xff\xfe.bin")).write_bytes(b"name is not UTF-8")
    os.chmod(tree / "zero.txt", 0o600)
    os.chmod(tree / "sub", 0o750)
    os.chmod(tree / "exact.bin", 0o4755)
    os.utime(tree / "data.bin", (1_000_000_000, 1_000_000_000))
    os.utime(tree / "zero.txt", (0, 0))
    archive = round_trip(tmp_path, tree)

    # Extended headers only where ustar cannot hold the value.
    with tarfile.open(archive) as tar:
        pax = {m.name: m.pax_headers for m in tar if m.pax_headers}
    raw = "component-c1/" + os.fsdecode(b"raw-\xff\xfe.bin")
    assert pax[raw] == {"hdrcharset": "BINARY", "path": raw}
    assert set(pax) == {raw, "component-c1/long-" + "n" * 200, "component-c1/ünïcödé-名前.txt",
                        "component-c1/long-target"}
    assert pax["component-c1/long-target"] == {"linkpath": "t" * 150}


def test_cache_of_every_kind_of_data_survives_both_readers(tmp_path):
    """Files that the compressor stores, codes as literals, and matches with
    little and with much effort, in one archive no larger than zlib 9's."""
    rng = random.Random(3)
    mib = 1024 * 1024
    tree = tmp_path / "cache"
    files = {
        "blob.bin": random_bytes(rng, mib + 5),
        "features.f64": float_column(rng, 2 * mib),
        "notes.txt": word_text(rng, mib),
        "table.csv": numeric_csv(rng, 2 * mib + 100),
    }
    files.update({f"runs/r{i:03d}.json": b'{"run": %d, "loss": %.5f}' % (i, rng.random()) for i in range(300)})
    for name, data in files.items():
        path = tree / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
    archive = round_trip(tmp_path, str(tree))
    reference = tmp_path / "zlib9.tar.gz"
    with tarfile.open(reference, "w:gz", format=tarfile.PAX_FORMAT, compresslevel=9) as tar:
        tar.add(tmp_path / "pipeline-src.json", arcname="pipeline.json")
        tar.add(tree, arcname="component-c1")
    assert archive.stat().st_size <= reference.stat().st_size


def test_ordering_is_by_bytes_and_preorder(tmp_path):
    tree = tmp_path / "cache"
    for rel in ["b/z", "b/a", "a", "B", "é", "a-", "a.d/x"]:
        path = tree / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(rel)
    archive = tmp_path / "o.tar.gz"
    pipeline = tmp_path / "p.json"
    pipeline.write_text("{}")
    assert pack(archive, pipeline, [(tree, "c")]).error() is None
    assert member_names(archive) == [
        b"pipeline.json", b"c/", b"c/B", b"c/a", b"c/a-", b"c/a.d/", b"c/a.d/x",
        b"c/b/", b"c/b/a", b"c/b/z", "c/é".encode()]


def test_archive_layout_records_and_padding(tmp_path):
    tree = tmp_path / "cache"
    tree.mkdir()
    (tree / "f").write_bytes(b"abc")
    pipeline = tmp_path / "p.json"
    pipeline.write_text("{}")
    archive = tmp_path / "o.tar.gz"
    assert pack(archive, pipeline, [(tree, "c")]).error() is None
    import gzip

    raw = gzip.decompress(archive.read_bytes())
    assert len(raw) % 10240 == 0
    # pipeline.json, c/, c/f: three headers and two data blocks, then zeros.
    assert raw[5 * 512:] == bytes(len(raw) - 5 * 512)
    header = raw[:512]
    assert header[257:263] == b"ustar\x00" and header[263:265] == b"00"
    # Plain short ASCII names need no pax header.
    assert header[156:157] == b"0" and header[:13] == b"pipeline.json"
    with tarfile.open(archive) as tar:
        member = tar.getmember("c/f")
        assert member.uid == os.getuid() and member.gid == os.getgid()
        assert member.pax_headers == {}


def test_large_ids_and_old_times_go_to_pax_records(tmp_path):
    if os.geteuid() != 0:
        pytest.skip("changing owners needs root")
    tree = tmp_path / "cache"
    tree.mkdir()
    odd = tree / "odd"
    odd.write_text("owner out of the ustar range")
    os.chown(odd, 3_000_000, 4_000_000)
    os.utime(odd, (-86400, -86400))
    pipeline = tmp_path / "p.json"
    pipeline.write_text("{}")
    archive = tmp_path / "o.tar.gz"
    assert pack(archive, pipeline, [(tree, "c")]).error() is None
    with tarfile.open(archive) as tar:
        member = tar.getmember("c/odd")
    assert (member.uid, member.gid, int(member.mtime)) == (3_000_000, 4_000_000, -86400)


# Names as the file system sees them: any bytes but "/" and NUL, at most 255.
text_names = st.text(st.characters(blacklist_categories=("Cs",), blacklist_characters="/\x00"),
                     min_size=1, max_size=40).map(lambda s: s.encode("utf-8")[:255])
raw_names = st.binary(min_size=1, max_size=30).map(lambda b: b.replace(b"/", b"_").replace(b"\x00", b"_"))
long_names = st.integers(min_value=101, max_value=255).map(lambda n: b"L" * n)
names = st.one_of(text_names, raw_names, long_names).filter(
    lambda n: n not in (b".", b"..") and len(n) <= 255)

entries = st.recursive(
    st.one_of(
        st.tuples(st.just("file"), st.binary(max_size=3000)),
        st.just(("fifo",)),
        st.tuples(st.just("symlink"), st.one_of(text_names, long_names)),
        st.just(("hardlink",)),
        st.just(("dir", {})),
    ),
    lambda children: st.tuples(st.just("dir"), st.dictionaries(names, children, max_size=5)),
    max_leaves=15,
)


def build(path, entry, files):
    kind = entry[0]
    if kind == "dir":
        os.mkdir(path)
        for name, child in entry[1].items():
            build(os.path.join(path, name), child, files)
    elif kind == "file":
        with open(path, "wb") as f:
            f.write(entry[1])
        files.append(path)
    elif kind == "fifo":
        os.mkfifo(path)
    elif kind == "symlink":
        os.symlink(entry[1], path)
    elif files:
        os.link(files[0], path)
    else:
        with open(path, "wb") as f:
            f.write(b"first of its inode")
        files.append(path)


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(top=st.dictionaries(names, entries, min_size=1, max_size=6))
def test_random_trees_round_trip(tmp_path, top):
    work = tmp_path / os.urandom(6).hex()
    work.mkdir()
    tree = os.path.join(os.fsencode(work), b"cache")
    build(tree, ("dir", top), [])
    round_trip(work, os.fsdecode(tree))
    shutil.rmtree(work)


def test_device_nodes_are_stored_with_their_numbers(tmp_path):
    tree = tmp_path / "cache"
    tree.mkdir()
    try:
        # 1:3 and 7:0 as on Linux (/dev/null, /dev/loop0); never opened by the writer.
        os.mknod(tree / "char", 0o620 | stat.S_IFCHR, os.makedev(1, 3))
        os.mknod(tree / "block", 0o640 | stat.S_IFBLK, os.makedev(7, 0))
    except PermissionError:
        pytest.skip("creating device nodes is not permitted here")
    os.chmod(tree / "char", 0o620)  # past the umask
    pipeline = tmp_path / "p.json"
    pipeline.write_text("{}")
    archive = tmp_path / "o.tar.gz"
    assert pack(archive, pipeline, [(tree, "c")]).error() is None
    with tarfile.open(archive) as tar:
        char, block = tar.getmember("c/char"), tar.getmember("c/block")
    assert char.ischr() and (char.devmajor, char.devminor, char.mode, char.size) == (1, 3, 0o620, 0)
    assert block.isblk() and (block.devmajor, block.devminor, block.mode) == (7, 0, 0o640)
