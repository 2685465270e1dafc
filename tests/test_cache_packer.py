"""CacheCompressThread as a thread: construction, the stop flag, what run()
leaves on disk on each path, and the error it keeps instead of losing."""
import errno
import gzip
import inspect
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import tarfile
import zlib

import pytest

from conftest import big_cache, make_tree, wait_until
from vexlo.server.misc.cache_packer import PIPELINE_JSON, CacheCompressThread


@pytest.fixture
def pipeline(tmp_path):
    path = tmp_path / "pipeline.json"
    path.write_text('{"c1": {"component_name": "load"}}')
    return path


def tar_bytes(archive):
    """The decompressed tar stream; fails unless the gzip stream is complete."""
    data = archive.read_bytes()
    d = zlib.decompressobj(31)
    raw = d.decompress(data)
    assert d.eof and d.unused_data == b"", "gzip stream not finished"
    return raw


def names(archive):
    with tarfile.open(archive) as tar:
        return tar.getnames()


def ends_without_trailer(raw):
    """True when the tar data stops right after its last member's data."""
    assert len(raw) % 512 == 0
    return raw[-512:] != bytes(512)


# ------------------------------------------------------------------ the class


def test_class_surface():
    from vexlo.server.handlers.cache import export_gate

    assert issubclass(CacheCompressThread, threading.Thread)
    assert CacheCompressThread.__doc__ == "Compress cache dir to tar.gz file."
    # The export names the description file; the writer must agree on it.
    assert PIPELINE_JSON == export_gate.PIPELINE_JSON == "pipeline.json"
    # What help() and tab completion show, generated from the one declaration
    # that also checks the arguments.
    assert str(inspect.signature(CacheCompressThread)) == (
        "(tarfile_path: 'str', pipeline_info: 'Dict[str, str]', cache_info: 'List[Dict[str, str]]') -> 'None'")
    assert str(inspect.signature(CacheCompressThread.cancel)) == "(self) -> 'None'"


def test_constructor_keeps_inputs_by_reference(tmp_path, pipeline):
    # The inputs are read when run() starts, not copied by the constructor:
    # what the caller adds before start() is archived.
    tree = make_tree(tmp_path / "c1", {"x.bin": b"x"})
    info = {"filepath": str(pipeline)}
    caches = []
    archive = tmp_path / "a.tar.gz"
    thread = CacheCompressThread(tarfile_path=str(archive), pipeline_info=info, cache_info=caches)
    info["arcname"] = PIPELINE_JSON
    caches.append({"dirpath": tree, "arcname": "component-1"})
    assert thread.daemon == threading.current_thread().daemon
    assert not thread.is_alive() and thread.error() is None
    thread.start()
    thread.join()
    assert names(archive) == [PIPELINE_JSON, "component-1", "component-1/x.bin"]


# ------------------------------------------------------------------ stop flag


def test_stop_before_start_is_undone_by_run_and_archive_is_full(tmp_path, pipeline):
    archive = tmp_path / "a.tar.gz"
    tree = make_tree(tmp_path / "c1", {"x.bin": b"x" * 1000})
    thread = CacheCompressThread(str(archive), {"filepath": str(pipeline), "arcname": PIPELINE_JSON},
                                 [{"dirpath": tree, "arcname": "component-c1"}])
    assert thread.is_stopped() is False
    thread.stop()
    assert thread.is_stopped() is True
    seen = []
    original_clear = thread._stop_event.clear

    def clear():
        original_clear()
        seen.append(thread._stop_event.is_set())

    thread._stop_event.clear = clear
    thread.start()
    thread.join()
    assert seen == [False]
    assert thread.is_stopped() is True and thread.error() is None
    assert names(archive) == ["pipeline.json", "component-c1", "component-c1/x.bin"]


def test_stop_while_writing_does_not_cut_the_archive(tmp_path, pipeline):
    archive = tmp_path / "a.tar.gz"
    tree = big_cache(tmp_path / "c1", 32)
    thread = CacheCompressThread(str(archive), {"filepath": str(pipeline), "arcname": PIPELINE_JSON},
                                 [{"dirpath": tree, "arcname": "component-c1"}])
    thread.start()
    wait_until(lambda: archive.exists() and archive.stat().st_size > 0, "the archive grows", pause=0.01)
    thread.stop()
    # Stopped at once, yet still writing: stop() does not interrupt.
    assert thread.is_stopped() and thread.is_alive()
    thread.join()
    assert thread.error() is None
    assert len(names(archive)) == 2 + len(os.listdir(tree))
    assert len(tar_bytes(archive)) % 10240 == 0


def thread_nice_values():
    """The nice value of each thread of this process."""
    values = []
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/stat") as f:
                # Fields after the parenthesised name; nice is the 19th field.
                values.append(int(f.read().rsplit(")", 1)[1].split()[16]))
        except FileNotFoundError:  # the thread has ended
            pass
    return values


def test_progress_count_and_worker_priority(tmp_path, pipeline):
    # The count follows the content read, not the compressed size, and the
    # compressing workers yield the CPU to the server and the kernels.
    tree = big_cache(tmp_path / "c1", 24)
    content = pipeline.stat().st_size + sum(p.stat().st_size for p in (tmp_path / "c1").iterdir())
    archive = tmp_path / "a.tar.gz"
    thread = CacheCompressThread(str(archive), {"filepath": str(pipeline), "arcname": PIPELINE_JSON},
                                 [{"dirpath": tree, "arcname": "component-c1"}])
    assert thread.bytes_read() == 0
    own_nice = os.getpriority(os.PRIO_PROCESS, 0)
    thread.start()
    seen_counts, lowered = [], wait_until(
        lambda: min(own_nice + 10, 19) in thread_nice_values() or (not thread.is_alive() and "ended"),
        "workers reniced",
        pause=0.005)
    while thread.is_alive():
        seen_counts.append(thread.bytes_read())
        thread.join(0.02)
    assert lowered is True and own_nice in thread_nice_values()  # this thread is left as it was
    assert thread.error() is None
    assert seen_counts == sorted(seen_counts) and all(0 <= c <= content for c in seen_counts)
    assert thread.bytes_read() == content
    assert archive.stat().st_size < content / 1.5  # the archive's size would have said far less


@pytest.mark.parametrize("asked", [1, 3])
def test_thread_count_setting_reaches_the_writer(tmp_path, pipeline, monkeypatch, asked):
    # VEXLO_EXPORT_THREADS, read at each run: the workers are the threads at
    # the lowered priority, as many as asked (the default here would be one
    # per CPU; the memory budget allows more than 3).
    monkeypatch.setenv("VEXLO_EXPORT_THREADS", str(asked))
    tree = big_cache(tmp_path / "c1", 16)
    archive = tmp_path / "a.tar.gz"
    thread = CacheCompressThread(str(archive), {"filepath": str(pipeline)}, [{"dirpath": tree}])
    worker_nice = min(os.getpriority(os.PRIO_PROCESS, 0) + 10, 19)
    thread.start()
    most = 0
    while thread.is_alive():
        most = max(most, thread_nice_values().count(worker_nice))
        thread.join(0.002)
    assert thread.error() is None
    assert most == asked
    assert len(tar_bytes(archive)) > 16 * 1024 * 1024


@pytest.mark.parametrize("value", ["0", "many", "-2", "4 ", "99999"])
def test_bad_thread_count_setting_fails_the_run_naming_it(tmp_path, pipeline, monkeypatch, value):
    monkeypatch.setenv("VEXLO_EXPORT_THREADS", value)
    archive = tmp_path / "a.tar.gz"
    thread = CacheCompressThread(str(archive), {"filepath": str(pipeline)}, [])
    thread.run()
    error = thread.error()
    assert isinstance(error, ValueError)
    assert "VEXLO_EXPORT_THREADS" in str(error) and f"'{value}'" in str(error)
    assert thread.is_stopped() and not archive.exists()


# A process of its own: it gives up root for a user allowed no more threads.
START_UNDER_THREAD_LIMIT = """
import os, resource, sys
from vexlo.server.misc.cache_packer import CacheCompressThread
folder = sys.argv[1]
thread = CacheCompressThread(folder + "/a.tar.gz", {"filepath": folder + "/pipeline.json"}, [])
os.setgid(65534)
os.setuid(65534)
resource.setrlimit(resource.RLIMIT_NPROC, (1, 1))
thread.run()
error = thread.error()
print(type(error).__name__, getattr(error, "errno", None), error)
"""


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root, to become a user whose thread limit holds")
def test_workers_that_cannot_start_fail_the_run_with_their_errno():
    # Outside pytest's folders, which only root may enter.
    folder = tempfile.mkdtemp(prefix="vexlo-thread-limit-")
    try:
        os.chmod(folder, 0o777)
        with open(os.path.join(folder, "pipeline.json"), "w") as f:
            f.write("{}")
        run = subprocess.run([sys.executable, "-c", START_UNDER_THREAD_LIMIT, folder], capture_output=True,
                             text=True, timeout=60)
    finally:
        shutil.rmtree(folder)
    assert run.returncode == 0, run.stderr
    kind, number, text = run.stdout.split(" ", 2)
    assert (kind, number) == ("BlockingIOError", str(errno.EAGAIN)), run.stdout
    assert "compressing threads" in text and os.path.join(folder, "a.tar.gz") in text


# ------------------------------------------------------------------ what run() writes


def test_empty_cache_list_and_default_names(tmp_path, pipeline):
    archive = tmp_path / "a.tar.gz"
    thread = CacheCompressThread(str(archive), {"filepath": str(pipeline), "arcname": PIPELINE_JSON}, [])
    thread.run()
    assert thread.error() is None and names(archive) == ["pipeline.json"]
    content = pipeline.read_bytes()
    assert gzip.decompress(archive.read_bytes())[512:512 + len(content)] == content

    # Without "arcname", members are named after the path minus its leading "/".
    tree = make_tree(tmp_path / "c2", {"a.txt": b"a"})
    thread = CacheCompressThread(str(archive), {"filepath": str(pipeline)}, [{"dirpath": tree}])
    thread.run()
    root = str(tmp_path).lstrip("/")
    assert thread.error() is None
    assert names(archive) == [root + "/pipeline.json", root + "/c2", root + "/c2/a.txt"]


def test_file_and_directory_swap_roles_and_duplicate_names(tmp_path):
    archive = tmp_path / "a.tar.gz"
    tree = make_tree(tmp_path / "tree", {"in/one.txt": b"1"})
    single = tmp_path / "single.bin"
    single.write_bytes(b"just a file")
    empty = make_tree(tmp_path / "empty", {})
    thread = CacheCompressThread(str(archive), {"filepath": tree, "arcname": PIPELINE_JSON}, [
        {"dirpath": str(single), "arcname": "component-f"},
        {"dirpath": empty, "arcname": "component-e"},
        {"dirpath": str(single), "arcname": "component-f"},
    ])
    thread.run()
    assert thread.error() is None
    with tarfile.open(archive) as tar:
        members = [(m.name, m.type) for m in tar]
        assert tar.extractfile("component-f").read() == b"just a file"
    assert members == [("pipeline.json", tarfile.DIRTYPE), ("pipeline.json/in", tarfile.DIRTYPE),
                       ("pipeline.json/in/one.txt", tarfile.REGTYPE), ("component-f", tarfile.REGTYPE),
                       ("component-e", tarfile.DIRTYPE), ("component-f", tarfile.REGTYPE)]
    assert tar_bytes(archive)[512 * 6:512 * 6 + 12] == b"component-e/"


def test_archive_inside_a_source_tree_is_skipped(tmp_path, pipeline):
    tree = make_tree(tmp_path / "c1", {"a.txt": b"a", "z.txt": b"z"})
    archive = tmp_path / "c1" / "m.tar.gz"
    archive.write_bytes(b"stale content from an earlier export")
    thread = CacheCompressThread(str(archive), {"filepath": str(pipeline), "arcname": PIPELINE_JSON},
                                 [{"dirpath": tree, "arcname": "c"}, {"dirpath": str(archive), "arcname": "self"}])
    thread.run()
    assert thread.error() is None
    assert names(archive) == ["pipeline.json", "c", "c/a.txt", "c/z.txt"]


def test_sockets_are_skipped(tmp_path, pipeline):
    import socket

    tree = make_tree(tmp_path / "c1", {"a.txt": b"a"})
    sock = socket.socket(socket.AF_UNIX)
    path = os.path.join(tree, "s.sock")
    if len(os.fsencode(path)) > 100:
        pytest.skip("socket path too long for AF_UNIX")
    sock.bind(path)
    try:
        archive = tmp_path / "a.tar.gz"
        thread = CacheCompressThread(str(archive), {"filepath": str(pipeline), "arcname": "p"},
                                     [{"dirpath": tree, "arcname": "c"}])
        thread.run()
    finally:
        sock.close()
    assert thread.error() is None and names(archive) == ["p", "c", "c/a.txt"]


# ------------------------------------------------------------------ failures: absorbed but kept


def test_missing_filepath_leaves_an_empty_finished_stream(tmp_path):
    archive = tmp_path / "a.tar.gz"
    thread = CacheCompressThread(str(archive), {"arcname": PIPELINE_JSON}, [])
    thread.start()
    thread.join()
    assert thread.is_stopped()
    assert isinstance(thread.error(), OSError) and "no source path" in str(thread.error())
    assert tar_bytes(archive) == b""


def test_missing_dirpath_ends_the_archive_at_that_entry(tmp_path, pipeline):
    archive = tmp_path / "a.tar.gz"
    first = make_tree(tmp_path / "c1", {"a.txt": b"a" * 700})
    later = make_tree(tmp_path / "c3", {"b.txt": b"b"})
    missing = str(tmp_path / "gone")
    thread = CacheCompressThread(str(archive), {"filepath": str(pipeline), "arcname": PIPELINE_JSON}, [
        {"dirpath": first, "arcname": "c1"}, {"dirpath": missing, "arcname": "c2"},
        {"dirpath": later, "arcname": "c3"}])
    thread.start()
    thread.join()
    error = thread.error()
    assert isinstance(error, FileNotFoundError)
    assert error.errno == errno.ENOENT and error.filename == missing
    raw = tar_bytes(archive)
    assert ends_without_trailer(raw)
    assert names(archive) == ["pipeline.json", "c1", "c1/a.txt"]

    # Same for an entry without "dirpath": the path is absent.
    thread = CacheCompressThread(str(archive), {"filepath": str(pipeline), "arcname": PIPELINE_JSON},
                                 [{"arcname": "c2"}, {"dirpath": later, "arcname": "c3"}])
    thread.run()
    assert "no source path given for member 'c2'" in str(thread.error())
    assert names(archive) == ["pipeline.json"] and ends_without_trailer(tar_bytes(archive))


def test_unreadable_entries_in_the_list_end_it_there(tmp_path, pipeline):
    archive = tmp_path / "a.tar.gz"
    first = make_tree(tmp_path / "c1", {"a.txt": b"a"})
    thread = CacheCompressThread(str(archive), {"filepath": str(pipeline), "arcname": PIPELINE_JSON},
                                 [{"dirpath": first, "arcname": "c1"}, "not a mapping"])
    thread.run()
    assert isinstance(thread.error(), AttributeError)
    assert names(archive) == ["pipeline.json", "c1", "c1/a.txt"]
    assert ends_without_trailer(tar_bytes(archive))

    thread = CacheCompressThread(str(archive), {"filepath": str(pipeline), "arcname": 7}, [])
    thread.run()
    assert isinstance(thread.error(), TypeError) and tar_bytes(archive) == b""


def test_unwritable_archive_path_creates_nothing(tmp_path, pipeline):
    archive = tmp_path / "no-such-dir" / "a.tar.gz"
    thread = CacheCompressThread(str(archive), {"filepath": str(pipeline), "arcname": PIPELINE_JSON}, [])
    thread.start()
    thread.join()
    assert thread.is_stopped()
    assert isinstance(thread.error(), FileNotFoundError) and thread.error().filename == str(archive)
    assert not archive.parent.exists()


def test_full_disk_is_reported(pipeline, tmp_path):
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    tree = make_tree(tmp_path / "c1", {"big.bin": os.urandom(1 << 20)})
    thread = CacheCompressThread("/dev/full", {"filepath": str(pipeline), "arcname": PIPELINE_JSON},
                                 [{"dirpath": tree, "arcname": "c1"}])
    thread.run()
    assert isinstance(thread.error(), OSError)
    assert thread.error().errno == errno.ENOSPC and thread.error().filename == "/dev/full"
    assert thread.is_stopped()


def _sysfs_file_longer_on_stat_than_read():
    # sysfs reports a page-sized file whose content is a short line: to the
    # writer it is a file that shrank after it was listed.
    for top in ("/sys/kernel/mm/transparent_hugepage", "/sys/kernel", "/sys/power"):
        if not os.path.isdir(top):
            continue
        for name in sorted(os.listdir(top)):
            path = os.path.join(top, name)
            try:
                st = os.lstat(path)
                if not os.path.isfile(path) or os.path.islink(path) or st.st_size == 0:
                    continue
                with open(path, "rb") as f:
                    if len(f.read()) < st.st_size:
                        return path
            except OSError:
                continue
    return None


def test_file_that_shrinks_is_an_error_not_zero_padding(tmp_path, pipeline):
    source = _sysfs_file_longer_on_stat_than_read()
    if source is None:
        pytest.skip("no sysfs file whose content is shorter than its size")
    archive = tmp_path / "a.tar.gz"
    thread = CacheCompressThread(str(archive), {"filepath": str(pipeline), "arcname": PIPELINE_JSON},
                                 [{"dirpath": source, "arcname": "shrinking"}])
    thread.run()
    error = thread.error()
    assert isinstance(error, OSError) and "shrank" in str(error) and repr(source) in str(error)
    # The member is cut where the data ended: never padded out with zeros.
    raw = tar_bytes(archive)
    assert len(raw) % 512 != 0 and not raw.endswith(bytes(512))


def test_file_that_grows_is_stored_at_its_listed_size(tmp_path, pipeline):
    source = "/proc/self/status"  # stat says 0 bytes; reading yields more
    if not os.path.exists(source):
        pytest.skip("no procfs")
    archive = tmp_path / "a.tar.gz"
    thread = CacheCompressThread(str(archive), {"filepath": str(pipeline), "arcname": PIPELINE_JSON},
                                 [{"dirpath": source, "arcname": "status"}])
    thread.run()
    assert thread.error() is None
    with tarfile.open(archive) as tar:
        assert tar.getmember("status").size == 0


# -------------------------------------------------------------- cancellation


def test_cancel_while_writing_ends_the_run_early(tmp_path, pipeline):
    source = big_cache(tmp_path / "c", 96)
    archive = tmp_path / "out.tar.gz"
    thread = CacheCompressThread(str(archive), {"filepath": str(pipeline), "arcname": PIPELINE_JSON},
                                 [{"dirpath": source, "arcname": "component-c"}])
    thread.start()

    def growing():
        assert thread.is_alive(), "the writer ended before it was cancelled"
        return archive.exists() and archive.stat().st_size > 0

    wait_until(growing, "the archive grows", pause=0.01)
    thread.cancel()
    thread.join(10)
    assert not thread.is_alive() and thread.is_stopped()
    error = thread.error()
    assert isinstance(error, OSError) and error.errno == errno.ECANCELED and "cancelled" in str(error)
    # Left for the caller, and unfinished: far less than the input was packed.
    d = zlib.decompressobj(31)
    packed = d.decompress(archive.read_bytes())
    assert not d.eof and len(packed) < 48 * 1024 * 1024


def test_cancel_before_start_writes_nothing_and_stop_does_not_cancel(tmp_path, pipeline):
    info = {"filepath": str(pipeline), "arcname": PIPELINE_JSON}
    early = CacheCompressThread(str(tmp_path / "early.tar.gz"), info, [])
    early.cancel()
    early.start()
    early.join(10)
    assert early.is_stopped() and early.error().errno == errno.ECANCELED
    assert tarfile_members_or_none(tmp_path / "early.tar.gz") is None

    # stop() keeps its meaning: the archive is still written in full.
    stopped = CacheCompressThread(str(tmp_path / "stopped.tar.gz"), info, [])
    stopped.stop()
    stopped.start()
    stopped.join(10)
    assert stopped.error() is None and names(tmp_path / "stopped.tar.gz") == [PIPELINE_JSON]


def tarfile_members_or_none(archive):
    try:
        return names(archive)
    except (tarfile.TarError, EOFError, OSError):
        return None
