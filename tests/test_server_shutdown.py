"""Real `jupyter server` processes that end while they pack an export: one
stopped by SIGTERM leaves nothing behind; one killed outright leaves its
scratch directory, which the next server on that temporary directory removes
at start without touching another live server's export. And a server whose
file system refuses directory locks still exports, in a directory that no
other server's sweep takes."""
import concurrent.futures
import io
import os
import signal
import socket
import subprocess
import tarfile

import pytest

from conftest import big_cache, component, export_dirs, wait_until
from live_server import JupyterServer

EXPORT = "vexlo/cache/export?kernel_id=k1&ipynb_name=n.ipynb"


@pytest.fixture
def server(tmp_path):
    with JupyterServer(tmp_path, tmp_path / "tmp", tmp_path / "vexlo") as server:
        yield server


@pytest.fixture
def cache(tmp_path):
    return big_cache(tmp_path / "cache", 160)


def register(server, cache):
    pipeline = {"graph": {"components": [component("a", cache)]}}
    server.session.put(server.base + "vexlo/pipelines", params={"kernel_id": "k1"}, json=pipeline).raise_for_status()


def request_export(server):
    """A download that never reads its body: the request stays open while it
    packs. Returns the client's socket."""
    client = socket.create_connection(("127.0.0.1", server.port))
    client.sendall(f"GET /{EXPORT} HTTP/1.1\r\nHost: 127.0.0.1:{server.port}\r\n"
                   f"Authorization: token {server.token}\r\n\r\n".encode())
    return client


def packing(scratch, known=()):
    """The scratch directories beside `known` whose archive is being written."""
    return [d for d in export_dirs(scratch) if d not in known and any(
        f.name.endswith(".tar.gz") and f.stat().st_size > 0 for f in (scratch / d).iterdir())]


def test_sigterm_during_an_export_leaves_nothing_behind(server, cache):
    proc, scratch = server.proc, server.tmp_dir
    register(server, cache)
    client = request_export(server)
    wait_until(lambda: packing(scratch), "the archive is being written")
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(60)
    except subprocess.TimeoutExpired:
        pytest.fail("the server did not exit after SIGTERM")
    finally:
        client.close()
    assert export_dirs(scratch) == []


def test_a_killed_servers_directory_is_removed_by_the_next(server, cache, tmp_path):
    scratch = server.tmp_dir
    register(server, cache)
    client = request_export(server)
    killed = wait_until(lambda: packing(scratch), "the archive is being written")
    server.proc.kill()
    server.proc.wait()
    client.close()
    assert export_dirs(scratch) == killed  # nothing ran to remove it

    with JupyterServer(tmp_path, scratch, tmp_path / "vexlo-live") as live, \
            concurrent.futures.ThreadPoolExecutor() as pool:
        # Another server's export, held still (SIGSTOP) while it packs, so
        # that it is surely in flight while the next server starts.
        register(live, cache)
        download = pool.submit(live.session.get, live.base + EXPORT, timeout=300)
        in_flight = wait_until(lambda: packing(scratch, killed), "the live export packs")
        live.proc.send_signal(signal.SIGSTOP)
        try:
            with JupyterServer(tmp_path, scratch, tmp_path / "vexlo-next"):
                assert export_dirs(scratch) == in_flight
        finally:
            live.proc.send_signal(signal.SIGCONT)
        response = download.result()

    assert response.status_code == 200
    with tarfile.open(fileobj=io.BytesIO(response.content)) as archive:
        assert len(archive.getnames()) == 2 + len(os.listdir(cache))
    assert export_dirs(scratch) == []


# flock(2) refused on directories, as some network and FUSE file systems do.
NO_DIRECTORY_LOCKS = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <sys/stat.h>
int flock(int fd, int operation) {
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    errno = ENOLCK;
    return -1;
  }
  int (*real)(int, int) = (int (*)(int, int))dlsym(RTLD_NEXT, "flock");
  return real(fd, operation);
}
"""


def test_an_export_without_a_lock_works_and_is_never_swept(tmp_path, cache, monkeypatch):
    source = tmp_path / "no_directory_locks.c"
    source.write_text(NO_DIRECTORY_LOCKS)
    shim = tmp_path / "no_directory_locks.so"
    subprocess.run(["cc", "-shared", "-fPIC", "-o", str(shim), str(source), "-ldl"], check=True)
    scratch = tmp_path / "tmp"
    monkeypatch.setenv("LD_PRELOAD", str(shim))
    unlocked = JupyterServer(tmp_path, scratch, tmp_path / "vexlo").start()
    monkeypatch.delenv("LD_PRELOAD")
    try:
        register(unlocked, cache)
        with concurrent.futures.ThreadPoolExecutor() as pool:
            download = pool.submit(unlocked.session.get, unlocked.base + EXPORT, timeout=300)
            in_flight = wait_until(lambda: packing(scratch), "the unlocked export packs")
            unlocked.proc.send_signal(signal.SIGSTOP)
            try:
                # Its lock would look free to a sweep: it carries no host's mark.
                assert [len(d) for d in in_flight] == [len("vexlo-cache-XXXXXX")]
                with JupyterServer(tmp_path, scratch, tmp_path / "vexlo-next"):
                    assert export_dirs(scratch) == in_flight
            finally:
                unlocked.proc.send_signal(signal.SIGCONT)
            response = download.result()
    finally:
        unlocked.stop()
    assert response.status_code == 200
    with tarfile.open(fileobj=io.BytesIO(response.content)) as archive:
        assert len(archive.getnames()) == 2 + len(os.listdir(cache))
    assert export_dirs(scratch) == []
