"""An export on a small temporary file system: it stops short of the space
that other writers there need, says so, and leaves nothing behind; a smaller
export on the same disk still goes through. A real tmpfs, mounted by the test
(root only)."""
import json
import os
import random
import subprocess
import tempfile
import threading

import pytest

from conftest import component, export_dirs, fetch, make_tree, random_bytes, received, states, wait_until_async
from vexlo.server.handlers.ws_handler import VexloWebSocketHandler

SIZE = 48 << 20
RESERVE = SIZE // 20  # the smaller of 1 GiB and 5%


@pytest.fixture
def small_disk(tmp_path, monkeypatch):
    """A 48 MiB tmpfs as the temporary directory the exports use."""
    mount_point = tmp_path / "small"
    mount_point.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={SIZE}", "tmpfs", str(mount_point)],
                             capture_output=True, text=True)
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here ({mounted.stderr.strip() or 'mount failed'}); needs root")
    monkeypatch.setattr(tempfile, "tempdir", str(mount_point))
    try:
        yield mount_point
    finally:
        subprocess.run(["umount", str(mount_point)], check=True)


class FreeSpaceWatch:
    """The lowest free space seen on a file system, sampled every millisecond."""

    def __init__(self, path):
        self.path, self.lowest = path, None
        self._done = threading.Event()
        self._thread = threading.Thread(target=self._watch)

    def _watch(self):
        while not self._done.wait(0.001):
            fs = os.statvfs(self.path)
            free = fs.f_bavail * fs.f_frsize
            self.lowest = free if self.lowest is None else min(self.lowest, free)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._done.set()
        self._thread.join()


def incompressible_cache(root, megabytes):
    rng = random.Random(megabytes)
    return make_tree(root, {f"w{i}.bin": random_bytes(rng, 1 << 20) for i in range(megabytes)})


async def test_an_export_never_fills_the_disk(jp_fetch, jp_ws_fetch, register_pipeline, small_disk, tmp_path):
    ws = await jp_ws_fetch("vexlo", "ws", params={"kernel_id": "k1"})
    await wait_until_async(lambda: VexloWebSocketHandler.registry, "websocket registered")
    await register_pipeline("k1", [component("a", incompressible_cache(tmp_path / "big", 64))])

    with FreeSpaceWatch(small_disk) as watch:
        response = await fetch(jp_fetch, "vexlo", "cache", "export", kernel_id="k1", ipynb_name="n.ipynb")
    message = json.loads(response.body)["message"]
    assert response.code == 500
    assert "Not enough disk space" in message and str(small_disk) in message
    assert f"({RESERVE} bytes)" in message and "must stay free" in message
    assert watch.lowest >= RESERVE, (watch.lowest, RESERVE)
    assert states(await received(ws))[-1] == ("failed", 0)
    assert os.listdir(small_disk) == []

    # What fits above the reserve exports as before.
    await register_pipeline("k1", [component("a", incompressible_cache(tmp_path / "small", 16))])
    response = await fetch(jp_fetch, "vexlo", "cache", "export", kernel_id="k1", ipynb_name="n.ipynb")
    assert response.code == 200 and len(response.body) > 16 << 20
    assert states(await received(ws))[-1] == ("successful", 100)
    assert export_dirs(small_disk) == []
    ws.close()


async def test_the_description_keeps_the_reserve_too(jp_fetch, jp_ws_fetch, register_pipeline, small_disk):
    # 47 MiB of cell code in the description alone, on a 48 MiB disk.
    ws = await jp_ws_fetch("vexlo", "ws", params={"kernel_id": "k1"})
    await wait_until_async(lambda: VexloWebSocketHandler.registry, "websocket registered")
    await register_pipeline("k1", [component(f"c{i}", None, code="x" * (1 << 20)) for i in range(47)])

    with FreeSpaceWatch(small_disk) as watch:
        response = await fetch(jp_fetch, "vexlo", "cache", "export", kernel_id="k1", ipynb_name="n.ipynb")
    message = json.loads(response.body)["message"]
    assert response.code == 500
    assert message.startswith(f"[Errno 28] Not enough disk space for the archive in {small_disk}: ")
    assert f"({RESERVE} bytes)" in message and "vexlo-cache-" not in message
    assert watch.lowest >= RESERVE, (watch.lowest, RESERVE)
    assert states(await received(ws)) == [("invalid", 0), ("failed", 0)]
    assert os.listdir(small_disk) == []
    ws.close()
