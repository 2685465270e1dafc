"""A real `jupyter server` process stopped by SIGTERM while it packs an export
leaves nothing behind: no scratch directory, no writer keeping it alive."""
import os
import signal
import socket
import subprocess

import pytest

from conftest import big_cache, component, export_dirs
from live_server import JupyterServer, wait_for


@pytest.fixture
def server(tmp_path):
    with JupyterServer(tmp_path, tmp_path / "tmp", tmp_path / "vexlo") as server:
        yield server


def test_sigterm_during_an_export_leaves_nothing_behind(server, tmp_path):
    proc, scratch = server.proc, server.tmp_dir
    cache = big_cache(tmp_path / "cache", 160)
    pipeline = {"graph": {"components": [component("a", cache)]}}
    server.session.put(server.base + "vexlo/pipelines", params={"kernel_id": "k1"}, json=pipeline).raise_for_status()

    # A download that never gets its body: the request stays open while it packs.
    client = socket.create_connection(("127.0.0.1", server.port))
    client.sendall(f"GET /vexlo/cache/export?kernel_id=k1&ipynb_name=n.ipynb HTTP/1.1\r\n"
                   f"Host: 127.0.0.1:{server.port}\r\nAuthorization: token {server.token}\r\n\r\n".encode())

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
    assert export_dirs(scratch) == []
