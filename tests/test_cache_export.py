"""The cache export endpoint, served by a real Jupyter server, with real
websocket connections receiving its progress."""
import asyncio
import io
import json
import tarfile
import threading

import pytest
from tornado.httpclient import HTTPClientError

from conftest import big_cache, component, fetch, make_tree, received, states, table_cache, wait_until_async
from vexlo.server.handlers.cache import export_gate
from vexlo.server.handlers.cache.export_gate import CacheExportGate
from vexlo.server.handlers.ws_handler import VexloWebSocketHandler


# Each test's scratch directories land in a folder of its own, which must hold
# no export directory afterwards.
pytestmark = pytest.mark.usefixtures("scratch")


async def export(jp_fetch, **params):
    return await fetch(jp_fetch, "vexlo", "cache", "export", **params)


def assert_message(response, code, message):
    body = json.dumps({"message": message}).encode()
    assert (response.code, response.body) == (code, body)
    assert response.headers["Content-Length"] == str(len(body))
    assert response.headers["Content-Type"] == "application/json"


@pytest.fixture
def open_sockets(jp_ws_fetch):
    """Opens two connections of kernel k1 and one of kernel k2."""
    opened = []

    async def open_them():
        for kernel_id in ("k1", "k1", "k2"):
            opened.append(await jp_ws_fetch("vexlo", "ws", params={"kernel_id": kernel_id}))
        # The server registers them as it accepts them.
        await wait_until_async(lambda: len(VexloWebSocketHandler.registry) == 3, "three websockets registered")
        return opened

    yield open_them
    for ws in opened:
        ws.close()


@pytest.fixture
def cache_dirs(tmp_path):
    return {
        "a": make_tree(tmp_path / "a", {"table.csv": b"x,y\n" * 50000, "sub/deep/blob.bin": bytes(range(256)) * 4000}),
        "b": make_tree(tmp_path / "b", {"m.json": b'{"k": 1}'}),
        "skipped": make_tree(tmp_path / "skipped", {"never": b"never exported"}),
    }


async def test_successful_export(jp_fetch, register_pipeline, open_sockets, cache_dirs):
    sockets = await open_sockets()
    await register_pipeline("k1", [
        component("a", cache_dirs["a"], name="Größe", parents=[{"id": "p0"}, {"id": "p1"}]),
        component("b", cache_dirs["b"], code="print('</script>')"),
        component("nodir", None),
        component("failed", cache_dirs["skipped"], executed="failed"),
        component("uncached", cache_dirs["skipped"], cached="uncached"),
    ])
    response = await export(jp_fetch, kernel_id="k1", ipynb_name="notebooks/Sales Report.ipynb")

    assert response.code == 200
    assert response.headers["Content-Type"] == "application/octet-stream"
    assert response.headers["Content-Disposition"] == "attachment; filename=Sales%20Report-diskcache.tar.gz"
    assert response.headers["Content-Length"] == str(len(response.body))

    with tarfile.open(fileobj=io.BytesIO(response.body), mode="r:gz") as archive:
        names = archive.getnames()
        description = archive.extractfile("pipeline.json").read()
        assert archive.extractfile("component-a/sub/deep/blob.bin").read() == bytes(range(256)) * 4000
    assert names == [
        "pipeline.json", "component-a", "component-a/sub", "component-a/sub/deep",
        "component-a/sub/deep/blob.bin", "component-a/table.csv", "component-b", "component-b/m.json",
    ]
    metadata = '{"description": "", "tags": []}'
    assert description.decode("ascii") == (
        '{"a": {"component_name": "Gr\\u00f6\\u00dfe", "component_metadata": ' + metadata + ', '
        '"component_cell_code": "x_a = 1", "component_cache_dir": ' + json.dumps(cache_dirs["a"]) + ', '
        '"execution_status": "successful", "parent_ids": ["p0", "p1"]}, '
        '"b": {"component_name": "cell b", "component_metadata": ' + metadata + ', '
        '"component_cell_code": "print(\'</script>\')", "component_cache_dir": ' + json.dumps(cache_dirs["b"]) + ', '
        '"execution_status": "successful", "parent_ids": []}, '
        '"nodir": {"component_name": "cell nodir", "component_metadata": ' + metadata + ', '
        '"component_cell_code": "x_nodir = 1", "component_cache_dir": null, '
        '"execution_status": "successful", "parent_ids": []}}'
    )

    first, second, other = [await received(ws) for ws in sockets]
    assert first == second and other == []
    assert first[0] == '{"procedure": "export:cache", "msg": {"status": "invalid", "progress": 0}}'
    seen = states(first)
    assert seen[:2] == [("invalid", 0), ("running", 0)] and seen[-1] == ("successful", 100)
    running = [p for s, p in seen[1:-1]]
    assert set(s for s, _ in seen[1:-1]) == {"running"} and running == sorted(running)


async def test_progress_follows_the_content_read(jp_fetch, register_pipeline, open_sockets, tmp_path):
    # The archive ends near 28% of this content's size: a bar drawn from it
    # would stall there and jump to 100.
    sockets = await open_sockets()
    await register_pipeline("k1", [component("a", table_cache(tmp_path / "a", 32))])
    response = await export(jp_fetch, kernel_id="k1", ipynb_name="n.ipynb")
    assert response.code == 200

    seen = states(await received(sockets[0]))
    running = [p for s, p in seen[2:-1]]
    assert seen[:2] == [("invalid", 0), ("running", 0)] and seen[-1] == ("successful", 100)
    assert {s for s, _ in seen[2:-1]} == {"running"}
    assert running == sorted(running) and max(running) > 70 and max(running) <= 100, seen


class TarfileWriter(threading.Thread):
    """A writer with the thread's contract and no count of what it has read,
    as the product's own Python writer was: progress falls back to the
    archive's size."""

    def __init__(self, tarfile_path, pipeline_info, cache_info):
        super().__init__()
        self._stop_event = threading.Event()
        self._args = tarfile_path, pipeline_info, cache_info

    def run(self):
        self._stop_event.clear()
        path, pipeline_info, cache_info = self._args
        with tarfile.open(path, "w:gz") as tar:
            tar.add(pipeline_info["filepath"], pipeline_info["arcname"])
            for entry in cache_info:
                tar.add(entry["dirpath"], entry["arcname"])
        self._stop_event.set()

    def stop(self):
        self._stop_event.set()

    def is_stopped(self):
        return self._stop_event.is_set()

    def cancel(self):
        pass

    def error(self):
        return None


async def test_progress_from_a_writer_without_a_count(jp_fetch, register_pipeline, open_sockets, tmp_path,
                                                      monkeypatch):
    sockets = await open_sockets()
    monkeypatch.setattr(export_gate, "CacheCompressThread", TarfileWriter)
    await register_pipeline("k1", [component("a", table_cache(tmp_path / "a", 8))])
    response = await export(jp_fetch, kernel_id="k1", ipynb_name="n.ipynb")
    assert response.code == 200
    with tarfile.open(fileobj=io.BytesIO(response.body), mode="r:gz") as archive:
        assert len(archive.getnames()) == 2 + 8
    seen = states(await received(sockets[0]))
    running = [p for s, p in seen[2:-1]]
    assert seen[:2] == [("invalid", 0), ("running", 0)] and seen[-1] == ("successful", 100)
    # The compressed size: the reports stay near the archive's share of the content.
    assert running and running == sorted(running) and max(running) < 40, seen


@pytest.mark.parametrize("params, code, message", [
    ({"ipynb_name": "n.ipynb"}, 400, "kernel_id is required in the parameters of the query."),
    ({"kernel_id": "k1"}, 400, "ipynb_name is required in the parameters of the query."),
    ({}, 400, "kernel_id is required in the parameters of the query."),
    ({"kernel_id": "abc", "ipynb_name": "n.ipynb"}, 500, "kernel_id: 'abc' not valid."),
    # Tornado would escape "</" in a mapping; the announced length must still be right.
    ({"kernel_id": "</script>ü", "ipynb_name": "n.ipynb"}, 500, "kernel_id: '</script>ü' not valid."),
])
async def test_refusals_before_any_work(jp_fetch, open_sockets, params, code, message):
    sockets = await open_sockets()
    assert_message(await export(jp_fetch, **params), code, message)
    assert await received(sockets[0], quiet=0.1) == []


async def test_pipelines_with_nothing_to_export(jp_fetch, register_pipeline, open_sockets, cache_dirs):
    sockets = await open_sockets()
    await register_pipeline("k1", [])
    assert_message(await export(jp_fetch, kernel_id="k1", ipynb_name="n.ipynb"), 500,
                   "There are no components in this pipeline.")
    await register_pipeline("k1", [component("a", cache_dirs["a"], executed="failed"),
                                   component("b", cache_dirs["b"], cached="uncached")])
    assert_message(await export(jp_fetch, kernel_id="k1", ipynb_name="n.ipynb"), 500,
                   "There is no cache to export in this pipeline. Please run at least one component.")
    assert await received(sockets[0], quiet=0.1) == []


SEPARATOR = 'it holds a "/", a "\\" or a NUL character, which would make a path of the folder\'s name.'


@pytest.mark.parametrize("identifiers, message", [
    (["x/../../../evil"], "'x/../../../evil' cannot name a folder in the archive: " + SEPARATOR),
    (["/abs"], "'/abs' cannot name a folder in the archive: " + SEPARATOR),
    # A separator for the Windows tools some users unpack with.
    (["..\\..\\evil"], "'..\\\\..\\\\evil' cannot name a folder in the archive: " + SEPARATOR),
    # Both would be cut at the NUL into one tree, "component-a".
    (["a\0b", "a\0c"], "'a\\x00b' cannot name a folder in the archive: " + SEPARATOR),
    (["\ud800"], "'\\ud800' cannot name a folder in the archive: it is not UTF-8 text (surrogates not allowed)."),
])
async def test_identifiers_that_cannot_name_a_tree(jp_fetch, register_pipeline, open_sockets, cache_dirs,
                                                   identifiers, message):
    sockets = await open_sockets()
    await register_pipeline("k1", [component("ok", cache_dirs["b"])] +
                            [component(i, cache_dirs["a"]) for i in identifiers])
    assert_message(await export(jp_fetch, kernel_id="k1", ipynb_name="n.ipynb"), 500,
                   "The component identifier " + message)
    assert await received(sockets[0], quiet=0.1) == []


async def test_identifiers_without_a_tree_are_only_described(jp_fetch, register_pipeline, cache_dirs):
    # No folder is named after a component without a cache directory.
    await register_pipeline("k1", [component("x/../evil", None), component("\ud800", None),
                                   component("ok", cache_dirs["b"])])
    response = await export(jp_fetch, kernel_id="k1", ipynb_name="n.ipynb")
    assert response.code == 200
    with tarfile.open(fileobj=io.BytesIO(response.body), mode="r:gz") as archive:
        assert archive.getnames() == ["pipeline.json", "component-ok", "component-ok/m.json"]
        description = archive.extractfile("pipeline.json").read().decode("ascii")
    assert list(json.loads(description)) == ["x/../evil", "\ud800", "ok"]
    assert '"\\ud800": {' in description


async def test_a_repeated_identifier_keeps_its_first_place_and_last_entry(jp_fetch, register_pipeline, cache_dirs):
    await register_pipeline("k1", [component("a", cache_dirs["a"], name="first"), component("b", cache_dirs["b"]),
                                   component("a", cache_dirs["b"], name="last", parents=[{"id": "b"}])])
    response = await export(jp_fetch, kernel_id="k1", ipynb_name="n.ipynb")
    assert response.code == 200
    with tarfile.open(fileobj=io.BytesIO(response.body), mode="r:gz") as archive:
        assert archive.getnames() == ["pipeline.json", "component-a", "component-a/m.json", "component-b",
                                      "component-b/m.json"]
        description = json.loads(archive.extractfile("pipeline.json").read())
    assert list(description) == ["a", "b"]
    assert description["a"]["component_name"] == "last" and description["a"]["parent_ids"] == ["b"]
    assert description["a"]["component_cache_dir"] == cache_dirs["b"]


async def test_components_are_described_off_the_loop(jp_fetch, register_pipeline, cache_dirs, monkeypatch):
    # A pipeline of many components would hold every other request meanwhile.
    from vexlo_core.misc.models import VexloComponentMetadataModel

    described_on = []
    original = VexloComponentMetadataModel.dict

    def recording(self, **kwargs):
        described_on.append(threading.get_ident())
        return original(self, **kwargs)

    monkeypatch.setattr(VexloComponentMetadataModel, "dict", recording)
    await register_pipeline("k1", [component("a", cache_dirs["b"]), component("b", None)])
    response = await export(jp_fetch, kernel_id="k1", ipynb_name="n.ipynb")
    assert response.code == 200
    assert len(described_on) == 2 and threading.get_ident() not in described_on


async def test_failures_after_the_first_broadcast(jp_fetch, register_pipeline, open_sockets, cache_dirs,
                                                  tmp_path, monkeypatch):
    sockets = await open_sockets()
    missing = str(tmp_path / "gone")
    await register_pipeline("k1", [component("a", cache_dirs["a"]), component("b", missing)])

    # The size function fails on the vanished directory: nothing is packed.
    response = await export(jp_fetch, kernel_id="k1", ipynb_name="n.ipynb")
    assert_message(response, 500, f"[Errno 2] No such file or directory: '{missing}'")
    assert states(await received(sockets[0])) == [("invalid", 0), ("failed", 0)]

    # The writer fails on it: its error must not pass for a finished archive.
    monkeypatch.setattr(export_gate, "get_dir_size", lambda path: 1)
    response = await export(jp_fetch, kernel_id="k1", ipynb_name="n.ipynb")
    assert response.code == 500 and missing in json.loads(response.body)["message"]
    assert response.headers["Content-Length"] == str(len(response.body))
    seen = states(await received(sockets[0]))
    assert seen[:2] == [("invalid", 0), ("running", 0)] and seen[-1] == ("failed", 0)
    assert ("successful", 100) not in seen


class WatchedWriter(export_gate.CacheCompressThread):
    """The real writer, kept for the test to look at afterwards."""

    made = []

    def __init__(self, **kwargs):
        super().__init__(**kwargs)
        WatchedWriter.made.append(self)


async def test_a_failure_during_packing_cancels_the_writer(jp_fetch, register_pipeline, open_sockets, tmp_path,
                                                           monkeypatch):
    # A broadcast fails while a big archive is packed: the reply must not
    # wait for the rest of the pack, nor keep its disk space meanwhile.
    sockets = await open_sockets()
    connection = VexloWebSocketHandler.registry[0]
    original = connection.write_message

    def breaking(message, *args, **kwargs):
        if '"running"' in message and '"progress": 0}' not in message:
            raise RuntimeError("the websocket broke")
        return original(message, *args, **kwargs)

    monkeypatch.setattr(connection, "write_message", breaking)
    monkeypatch.setattr(WatchedWriter, "made", [])
    monkeypatch.setattr(export_gate, "CacheCompressThread", WatchedWriter)
    cache = big_cache(tmp_path / "a", 128)
    content = sum(p.stat().st_size for p in (tmp_path / "a").iterdir())
    await register_pipeline("k1", [component("a", cache)])

    assert_message(await export(jp_fetch, kernel_id="k1", ipynb_name="n.ipynb"), 500, "the websocket broke")
    assert states(await received(sockets[1]))[-1] == ("failed", 0)
    [writer] = WatchedWriter.made
    # Cancelled: it ended with an error, short of the content's end.
    assert not writer.is_alive() and writer.error() is not None
    assert writer.bytes_read() < content, (writer.bytes_read(), content)


async def test_a_writer_that_cannot_start(jp_fetch, register_pipeline, open_sockets, cache_dirs, monkeypatch):
    sockets = await open_sockets()

    class Unstartable(export_gate.CacheCompressThread):
        def start(self):
            raise RuntimeError("can't start new thread")

    monkeypatch.setattr(export_gate, "CacheCompressThread", Unstartable)
    await register_pipeline("k1", [component("a", cache_dirs["a"])])
    assert_message(await export(jp_fetch, kernel_id="k1", ipynb_name="n.ipynb"), 500, "can't start new thread")
    assert states(await received(sockets[0])) == [("invalid", 0), ("failed", 0)]


async def test_a_download_that_cannot_begin(jp_fetch, register_pipeline, open_sockets, cache_dirs,
                                            monkeypatch):
    # The archive is packed, but its download refuses to start: the failure
    # path still replaces the reply and removes the scratch directory.
    sockets = await open_sockets()
    monkeypatch.setitem(export_gate.CACHE_DESK_INFO, "cache_buffer_size", 0)
    await register_pipeline("k1", [component("a", cache_dirs["a"])])
    assert_message(await export(jp_fetch, kernel_id="k1", ipynb_name="n.ipynb"), 500,
                   "cache_buffer_size must be a positive number of bytes")
    assert states(await received(sockets[0]))[-1] == ("failed", 0)


class FlakyGate(CacheExportGate):
    """A client that goes away, seen as a failing write of chunk `fail_at`."""

    fail_at = 1

    def write(self, chunk):
        self.writes = getattr(self, "writes", 0) + 1
        if self.writes == self.fail_at:
            raise OSError("connection reset by peer")
        return super().write(chunk)


@pytest.fixture
def flaky_route(jp_serverapp, jp_base_url, monkeypatch):
    monkeypatch.setitem(export_gate.CACHE_DESK_INFO, "cache_buffer_size", 4096)
    jp_serverapp.web_app.add_handlers(".*$", [(jp_base_url + "flaky-export", FlakyGate)])

    def route(fail_at):
        monkeypatch.setattr(FlakyGate, "fail_at", fail_at)
        return "flaky-export"

    return route


async def test_a_chunk_that_cannot_be_sent(jp_fetch, http_server_client, jp_auth_header, jp_base_url,
                                           register_pipeline, cache_dirs, flaky_route):
    await register_pipeline("k1", [component("a", cache_dirs["a"])])

    # Nothing has gone out yet: the reply can still become a JSON message.
    response = await export_via(jp_fetch, flaky_route(1))
    assert_message(response, 500, "Cannot transfer file data to the client")
    assert len(response.body) == 54

    # Headers and a first chunk have gone out: the connection is ended, and
    # the client never sees text appended to the archive's bytes.
    received_bytes = bytearray()
    with pytest.raises(Exception):
        await http_server_client.fetch(
            jp_base_url + flaky_route(2) + "?kernel_id=k1&ipynb_name=n.ipynb", headers=jp_auth_header,
            streaming_callback=received_bytes.extend, request_timeout=60)
    assert 0 < len(received_bytes) <= 4096
    assert received_bytes[:2] == b"\x1f\x8b" and b'{"message"' not in received_bytes


async def export_via(jp_fetch, route):
    return await fetch(jp_fetch, route, kernel_id="k1", ipynb_name="n.ipynb")


@pytest.mark.parametrize("ipynb_name, offered", [
    ("data.tar.ipynb", "data.tar-diskcache.tar.gz"),
    (".hidden", ".hidden-diskcache.tar.gz"),
    ("", "-diskcache.tar.gz"),
    ("deep/dir/Über Daten;v2.ipynb", "%C3%9Cber%20Daten%3Bv2-diskcache.tar.gz"),
    # Longer than a file name once the suffix is added (255 bytes): the
    # browser is still offered all of it.
    ("あ" * 80 + ".ipynb", "%E3%81%82" * 80 + "-diskcache.tar.gz"),
    ("n/" + "a" * 250 + ".ipynb", "a" * 250 + "-diskcache.tar.gz"),
    ("é" * 119 + ".ipynb", "%C3%A9" * 119 + "-diskcache.tar.gz"),
])
async def test_offered_file_names(jp_fetch, register_pipeline, cache_dirs, ipynb_name, offered):
    await register_pipeline("k1", [component("b", cache_dirs["b"])])
    response = await export(jp_fetch, kernel_id="k1", ipynb_name=ipynb_name)
    assert response.code == 200, response.body
    assert response.headers["Content-Disposition"] == "attachment; filename=" + offered
    with tarfile.open(fileobj=io.BytesIO(response.body), mode="r:gz") as archive:
        assert archive.getnames() == ["pipeline.json", "component-b", "component-b/m.json"]


def test_percent_encoding_keeps_slashes():
    assert export_gate_encode("a/b c;d") == "a/b%20c%3Bd"


def export_gate_encode(name):
    # The download's header is the only public face of the encoder.
    class Probe:
        headers = {}

        def set_header(self, name, value):
            self.headers[name] = value

    probe = Probe()
    with pytest.raises(FileNotFoundError):
        CacheExportGate._finish_with_artifact(probe, artifact_name=name, artifact_path="/nonexistent/x")
    return probe.headers["Content-Disposition"][len("attachment; filename="):]


async def test_refused_without_a_token(jp_fetch, register_pipeline, cache_dirs, scratch):
    await register_pipeline("k1", [component("b", cache_dirs["b"])])
    with pytest.raises(HTTPClientError) as exp:
        await jp_fetch("vexlo", "cache", "export", params={"kernel_id": "k1", "ipynb_name": "n"},
                       headers={"Authorization": ""})
    assert exp.value.code == 403
    assert list(scratch.iterdir()) == []

