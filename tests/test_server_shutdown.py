"""A real `jupyter server` process stopped by SIGTERM while it packs an export
leaves nothing behind: no scratch directory, no writer keeping it alive."""
import os
import secrets
import signal
import socket
import subprocess
import sys
import time

import pytest
import requests


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def big_cache(root, megabytes):
    root.mkdir(parents=True)
    words = os.urandom(1 << 16).hex().encode()
    for i in range(megabytes * 8):
        (root / f"part{i}.txt").write_bytes(words[i:] + words[:i])
    return str(root)


def wait_for(condition, what, timeout=60):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(f"never happened: {what}")
        time.sleep(0.05)


@pytest.fixture
def server(tmp_path):
    port, token = free_port(), secrets.token_hex(16)
    scratch = tmp_path / "tmp"
    scratch.mkdir()
    env = dict(os.environ, TMPDIR=str(scratch), VEXLO_TEMP_DIRECTORY=str(tmp_path / "vexlo"))
    proc = subprocess.Popen(
        [sys.executable, "-m", "jupyter_server", "--no-browser", "--allow-root", f"--port={port}",
         "--ServerApp.ip=127.0.0.1", f"--IdentityProvider.token={token}", f"--ServerApp.root_dir={tmp_path}"],
        env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    session = requests.Session()
    session.headers["Authorization"] = f"token {token}"
    base = f"http://127.0.0.1:{port}/"

    def answers():
        assert proc.poll() is None, "the server exited early"
        try:
            return session.get(base + "api/status", timeout=2).ok
        except requests.ConnectionError:
            return False

    try:
        wait_for(answers, "the server answers")
        yield proc, base, session, scratch
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def test_sigterm_during_an_export_leaves_nothing_behind(server, tmp_path):
    proc, base, session, scratch = server
    cache = big_cache(tmp_path / "cache", 160)
    pipeline = {"graph": {"components": [{"identifier": "a", "name": "a", "code": "", "diskcache_dir": cache,
                                          "execution_status": "successful", "diskcache_status": "cached",
                                          "parents": []}]}}
    session.put(base + "vexlo/pipelines", params={"kernel_id": "k1"}, json=pipeline).raise_for_status()

    # A download that never gets its body: the request stays open while it packs.
    host = base[len("http://"):].rstrip("/")
    client = socket.create_connection(tuple(host.split(":")))
    client.sendall(f"GET /vexlo/cache/export?kernel_id=k1&ipynb_name=n.ipynb HTTP/1.1\r\nHost: {host}\r\n"
                   f"Authorization: {session.headers['Authorization']}\r\n\r\n".encode())

    def archive_growing():
        return any(f.endswith(".tar.gz") and os.path.getsize(os.path.join(d, f)) > 0
                   for d, _, files in os.walk(scratch) for f in files)

    wait_for(archive_growing, "the archive is being written")
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(60)
    except subprocess.TimeoutExpired:
        pytest.fail("the server did not exit after SIGTERM")
    finally:
        client.close()
    assert [p.name for p in scratch.iterdir() if p.name.startswith("vexlo-cache-")] == []
