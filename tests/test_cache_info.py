"""The cache info endpoint, served by a real Jupyter server."""
import json

import pytest
from tornado.httpclient import HTTPClientError

from conftest import component, fetch, make_tree
from vexlo.server.handlers.info import cache_desk


async def info(jp_fetch, **params):
    response = await fetch(jp_fetch, "vexlo", "info", "cache", **params)
    return response.code, json.loads(response.body)


@pytest.fixture
def pipelines_dir(tmp_path, monkeypatch):
    monkeypatch.setattr(cache_desk, "APP_TEMP_DIRECTORY", tmp_path)
    return tmp_path / "pipelines"


async def test_total_mode_measures_the_pipelines_directory(jp_fetch, pipelines_dir):
    make_tree(pipelines_dir, {"k1/a.bin": b"x" * 1000, "k2/deep/b.bin": b"y" * 48576})
    assert await info(jp_fetch) == (200, {"cache_size": "49576B"})
    # An empty kernel id is the same request as none at all.
    assert await info(jp_fetch, kernel_id="") == (200, {"cache_size": "49576B"})


async def test_total_mode_empty_and_failing(jp_fetch, pipelines_dir, monkeypatch):
    pipelines_dir.mkdir()
    assert await info(jp_fetch) == (200, {"cache_size": "0B"})

    pipelines_dir.rmdir()  # the size function refuses a missing directory
    assert await info(jp_fetch) == (500, {"message": "Fail to estimate cache size"})

    monkeypatch.setattr(cache_desk, "get_dir_size", lambda path: "not a number")
    pipelines_dir.mkdir()
    assert await info(jp_fetch) == (500, {"message": "Fail to estimate cache size"})

    # A fractional size is truncated, never rounded.
    monkeypatch.setattr(cache_desk, "get_dir_size", lambda path: 1048576.9)
    assert await info(jp_fetch) == (200, {"cache_size": "1048576B"})


async def test_kernel_mode_sums_successful_cached_components(jp_fetch, register_pipeline, tmp_path):
    shared = make_tree(tmp_path / "shared", {"f": b"s" * 100})
    components = [
        component("a", make_tree(tmp_path / "a", {"x": b"a" * 10, "sub/y": b"a" * 5})),
        component("b", make_tree(tmp_path / "b", {"x": b"b" * 1000}), executed="failed"),
        component("c", make_tree(tmp_path / "c", {"x": b"c" * 2000}), cached="uncached"),
        component("d", None),  # successful and cached, but no directory: skipped
        component("e", shared),
        component("f", shared),  # the same directory counts twice
    ]
    await register_pipeline("k1", components, diskcache_dir="/caches/k1")
    assert await info(jp_fetch, kernel_id="k1") == (200, {"cache_dir": "/caches/k1", "cache_size": "215B"})

    await register_pipeline("k2", [component("a", None, executed="failed")])
    assert await info(jp_fetch, kernel_id="k2") == (200, {"cache_dir": None, "cache_size": "0B"})

    await register_pipeline("k3", [])
    assert await info(jp_fetch, kernel_id="k3") == (200, {"cache_dir": None, "cache_size": "0B"})


async def test_kernel_mode_refusals_and_failures(jp_fetch, register_pipeline, tmp_path):
    assert await info(jp_fetch, kernel_id="abc") == (400, {"message": "kernel_id abc is not valid."})
    assert await info(jp_fetch, kernel_id="ü </x>") == (400, {"message": "kernel_id ü </x> is not valid."})

    # The per-kernel measurement is not guarded: the failure reaches the server.
    await register_pipeline("k1", [component("a", str(tmp_path / "missing"))])
    code, _ = await info(jp_fetch, kernel_id="k1")
    assert code == 500


async def test_refused_without_a_token(jp_fetch, pipelines_dir):
    with pytest.raises(HTTPClientError) as exp:
        await jp_fetch("vexlo", "info", "cache", headers={"Authorization": ""})
    assert exp.value.code == 403
