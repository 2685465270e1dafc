"""The export endpoint shares the server: other requests are answered while it
waits, a client that leaves ends its export, and exports run side by side.
Real server, raw client sockets where a client must vanish mid-request."""
import asyncio
import errno
import io
import json
import os
import tarfile
import tempfile
import threading

import pytest

from conftest import component, export_dirs, fetch, make_tree, received, states, wait_until_async
from vexlo.server.handlers.cache import export_gate
from vexlo.server.handlers.cache.export_gate import CacheExportGate
from vexlo.server.handlers.info import cache_desk
from vexlo.server.handlers.ws_handler import VexloWebSocketHandler


pytestmark = pytest.mark.usefixtures("scratch")


async def socket_of(jp_ws_fetch, kernel_id):
    count = len(VexloWebSocketHandler.registry)
    ws = await jp_ws_fetch("vexlo", "ws", params={"kernel_id": kernel_id})
    await wait_until_async(lambda: len(VexloWebSocketHandler.registry) > count, "websocket registered")
    return ws


async def next_state(ws):
    return states([await asyncio.wait_for(ws.read_message(), 30)])[0]


@pytest.fixture
def raw_export(jp_http_port, jp_base_url, jp_auth_header):
    """A client speaking HTTP on a plain socket, so it can leave at any point."""

    async def open_request(route="vexlo/cache/export", kernel_id="k1"):
        reader, writer = await asyncio.open_connection("127.0.0.1", jp_http_port)
        headers = "".join(f"{k}: {v}\r\n" for k, v in jp_auth_header.items())
        writer.write(f"GET {jp_base_url}{route}?kernel_id={kernel_id}&ipynb_name=n.ipynb HTTP/1.1\r\n"
                     f"Host: 127.0.0.1:{jp_http_port}\r\n{headers}\r\n".encode())
        await writer.drain()
        return reader, writer

    return open_request


class Gate:
    """A switch a test holds closed until it has seen what it waits for; the
    timeout keeps a loop that never yields from hanging the suite."""

    def __init__(self):
        self.event = threading.Event()

    def wait(self):
        self.event.wait(10)


async def test_other_requests_are_answered_while_an_export_waits(jp_fetch, register_pipeline, tmp_path,
                                                                  monkeypatch):
    cache = make_tree(tmp_path / "a", {"t.csv": b"1,2\n" * 1000})
    await register_pipeline("k1", [component("a", cache)])
    events = []
    sizing, packing = Gate(), Gate()

    def slow_size(path):
        events.append("sizing")
        sizing.wait()
        return os.path.getsize(os.path.join(path, "t.csv"))

    class SlowWriter(export_gate.CacheCompressThread):
        def run(self):
            events.append("packing")
            packing.wait()
            super().run()

    monkeypatch.setattr(export_gate, "get_dir_size", slow_size)
    monkeypatch.setattr(export_gate, "CacheCompressThread", SlowWriter)

    async def exported():
        response = await fetch(jp_fetch, "vexlo", "cache", "export", kernel_id="k1", ipynb_name="n.ipynb")
        events.append("export answered")
        return response

    task = asyncio.ensure_future(exported())
    for stage, gate in (("sizing", sizing), ("packing", packing)):
        await wait_until_async(lambda: stage in events, stage)
        assert (await fetch(jp_fetch, "api", "status")).code == 200
        events.append(f"status answered while {stage}")
        gate.event.set()
    response = await task
    assert events == ["sizing", "status answered while sizing", "packing", "status answered while packing",
                      "export answered"]
    assert response.code == 200
    with tarfile.open(fileobj=io.BytesIO(response.body)) as archive:
        assert archive.getnames() == ["pipeline.json", "component-a", "component-a/t.csv"]

    # The info hook measures off the loop as well.
    sizing.event.clear()
    events.clear()
    monkeypatch.setattr(cache_desk, "get_dir_size", slow_size)

    async def measured():
        response = await fetch(jp_fetch, "vexlo", "info", "cache", kernel_id="k1")
        events.append("info answered")
        return response

    task = asyncio.ensure_future(measured())
    await wait_until_async(lambda: "sizing" in events, "info sizing")
    assert (await fetch(jp_fetch, "api", "status")).code == 200
    events.append("status answered")
    sizing.event.set()
    assert json.loads((await task).body)["cache_size"] == "4000B"
    assert events == ["sizing", "status answered", "info answered"]


async def test_a_client_that_leaves_during_packing_cancels_the_export(jp_fetch, jp_ws_fetch, register_pipeline,
                                                                       raw_export, scratch, tmp_path, monkeypatch):
    cache = make_tree(tmp_path / "a", {"t.csv": b"1,2\n" * 1000})
    await register_pipeline("k1", [component("a", cache)])
    writers = []

    class HeldWriter(export_gate.CacheCompressThread):
        """Starts packing only once cancelled, so the cancel surely comes first."""

        def __init__(self, **kwargs):
            super().__init__(**kwargs)
            self.cancelled = threading.Event()
            writers.append(self)

        def cancel(self):
            super().cancel()
            self.cancelled.set()

        def run(self):
            self.cancelled.wait(10)
            super().run()

    monkeypatch.setattr(export_gate, "CacheCompressThread", HeldWriter)
    ws = await socket_of(jp_ws_fetch, "k1")
    reader, writer = await raw_export()
    assert await next_state(ws) == ("invalid", 0)
    assert await next_state(ws) == ("running", 0)
    writer.close()

    # The cancelled writer may have begun the archive (its gzip header) before
    # it stops, and growth is reported as ever; then the export fails.
    state = await next_state(ws)
    while state[0] == "running":
        state = await next_state(ws)
    assert state == ("failed", 0)
    await wait_until_async(lambda: not writers[0].is_alive(), "writer ended")
    assert writers[0].cancelled.is_set() and writers[0].error().errno == errno.ECANCELED
    await wait_until_async(lambda: export_dirs(scratch) == [], "scratch directory removed")

    # The server is none the worse: the next export works.
    monkeypatch.undo()
    monkeypatch.setattr(tempfile, "tempdir", str(scratch))
    response = await fetch(jp_fetch, "vexlo", "cache", "export", kernel_id="k1", ipynb_name="n.ipynb")
    assert response.code == 200
    assert states(await received(ws))[-1] == ("successful", 100)
    ws.close()


class CountingGate(CacheExportGate):
    """Counts the chunks handed to the connection after it had closed."""

    writes = 0
    late_writes = 0

    def write(self, chunk):
        CountingGate.writes += 1
        if self.request.connection.stream.closed():
            CountingGate.late_writes += 1
        return super().write(chunk)


async def test_a_client_that_leaves_during_the_download_ends_it(jp_fetch, jp_serverapp, jp_base_url,
                                                                 register_pipeline, raw_export, scratch,
                                                                 tmp_path, monkeypatch):
    # 24 MiB that does not compress, in 256 KiB chunks: far more than the
    # socket buffers take, so the download is still running when the client goes.
    cache = make_tree(tmp_path / "a", {"noise.bin": os.urandom(24 << 20)})
    await register_pipeline("k1", [component("a", cache)])
    monkeypatch.setitem(export_gate.CACHE_DESK_INFO, "cache_buffer_size", 256 << 10)
    monkeypatch.setattr(CountingGate, "writes", 0)
    monkeypatch.setattr(CountingGate, "late_writes", 0)
    jp_serverapp.web_app.add_handlers(".*$", [(jp_base_url + "counting-export", CountingGate)])

    reader, writer = await raw_export("counting-export")
    head = await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), 60)
    assert head.startswith(b"HTTP/1.1 200")
    await reader.readexactly(1 << 20)
    writer.close()

    await wait_until_async(lambda: export_dirs(scratch) == [], "scratch directory removed")
    total_chunks = (24 << 20) // (256 << 10)
    assert CountingGate.writes < total_chunks and CountingGate.late_writes == 0

    response = await fetch(jp_fetch, "counting-export", kernel_id="k1", ipynb_name="n.ipynb")
    assert response.code == 200 and len(response.body) > 24 << 20


async def test_concurrent_exports_each_get_their_own_archive_and_broadcasts(jp_fetch, jp_ws_fetch,
                                                                            register_pipeline, tmp_path):
    trees = {k: make_tree(tmp_path / k, {f"{k}.csv": k.encode() * 200_000}) for k in ("k1", "k2")}
    for kernel_id, tree in trees.items():
        await register_pipeline(kernel_id, [component(kernel_id, tree)])
    sockets = {k: await socket_of(jp_ws_fetch, k) for k in trees}

    responses = await asyncio.gather(*(fetch(jp_fetch, "vexlo", "cache", "export", kernel_id=k,
                                             ipynb_name=f"{k}.ipynb") for k in trees))
    for kernel_id, response in zip(trees, responses):
        assert response.code == 200
        with tarfile.open(fileobj=io.BytesIO(response.body)) as archive:
            assert archive.getnames() == ["pipeline.json", f"component-{kernel_id}",
                                          f"component-{kernel_id}/{kernel_id}.csv"]
            data = archive.extractfile(f"component-{kernel_id}/{kernel_id}.csv").read()
            assert data == kernel_id.encode() * 200_000
        seen = states(await received(sockets[kernel_id]))
        assert seen[:2] == [("invalid", 0), ("running", 0)] and seen[-1] == ("successful", 100)
        assert seen.count(("invalid", 0)) == 1 and seen.count(("successful", 100)) == 1
    for ws in sockets.values():
        ws.close()


async def test_end_all_exports_cancels_what_runs(jp_fetch, jp_ws_fetch, register_pipeline, raw_export,
                                                 scratch, tmp_path, monkeypatch):
    cache = make_tree(tmp_path / "a", {"t.csv": b"1,2\n" * 1000})
    await register_pipeline("k1", [component("a", cache)])
    assert await CacheExportGate.end_all_exports() is None  # nothing runs

    class HeldWriter(export_gate.CacheCompressThread):
        def run(self):
            threading.Event().wait(0.5)
            super().run()

    monkeypatch.setattr(export_gate, "CacheCompressThread", HeldWriter)
    ws = await socket_of(jp_ws_fetch, "k1")
    reader, writer = await raw_export()
    assert [await next_state(ws) for _ in range(2)] == [("invalid", 0), ("running", 0)]
    await asyncio.wait_for(CacheExportGate.end_all_exports(), 10)
    assert export_dirs(scratch) == []
    seen = states(await received(ws))
    assert seen[-1] == ("failed", 0) and ("successful", 100) not in seen
    assert await reader.read() == b""  # the connection was closed
    writer.close()
    ws.close()
