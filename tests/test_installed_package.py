"""What a user's `pip install` gives, run in that environment: the five
modules load from the installed package, the install alone enables the server
extension, and a server started from the environment exports a cache with
its progress; and, given the archive another machine's engine wrote for the
fixed sample (tests/engine_sample.py), this one writes the same bytes.
scripts/test runs this file alone against each wheel that does not get the
whole suite."""
import importlib
import importlib.metadata
import io
import json
import os
import tarfile
import threading
from pathlib import Path

import pytest
import websocket

import engine_sample
from conftest import component, make_tree
from live_server import JupyterServer, extension_state

SOURCE_TREE = Path(__file__).resolve().parents[1] / "src"
MODULES = [
    "vexlo.server.handlers.cache.export_gate",
    "vexlo.server.handlers.info.cache_desk",
    "vexlo.server.misc.cache_packer",
    "vexlo.server.misc.models.dag_patch",
    "vexlo.dravik.dataset.methods",
]


@pytest.mark.skipif(str(SOURCE_TREE) in os.environ.get("PYTHONPATH", "").split(os.pathsep),
                    reason="runs the source tree on purpose (PYTHONPATH=src)")
def test_the_modules_load_from_the_installed_package():
    for name in MODULES:
        path = Path(importlib.import_module(name).__file__).resolve()
        assert SOURCE_TREE not in path.parents, f"{name} came from the source tree: {path}"
        assert path.name.endswith(".so"), f"{name} is not an extension module: {path}"


@pytest.mark.skipif(str(SOURCE_TREE) in os.environ.get("PYTHONPATH", "").split(os.pathsep),
                    reason="runs the source tree on purpose (PYTHONPATH=src)")
def test_the_system_distribution_holds_the_five_modules_only():
    # Beside the real product, any Python file of ours would replace one of
    # the product's own.
    files = [str(f) for f in importlib.metadata.files("vexlo-server")
             if ".dist-info/" not in str(f) and not str(f).startswith("..")]
    modules = sorted(name.split(".cpython-")[0].replace("/", ".") for name in files)
    assert modules == sorted(MODULES), files
    assert all(name.endswith(".so") for name in files), files


def test_the_install_enables_the_server_extension():
    state = extension_state()
    assert "enabled" in state, state


def test_a_server_from_this_environment_exports_a_cache(tmp_path):
    files = {"frame.parquet": os.urandom(50_000), "deep/model.bin": bytes(range(256)) * 400}
    cache = make_tree(tmp_path / "cache", files)
    with JupyterServer(tmp_path, tmp_path / "tmp", tmp_path / "vexlo", log=tmp_path / "server.log") as server:
        pipeline = {"graph": {"components": [component("a", cache)]}}
        server.session.put(server.base + "vexlo/pipelines", params={"kernel_id": "k1"},
                           json=pipeline).raise_for_status()
        socket = websocket.create_connection(
            server.base.replace("http://", "ws://") + f"vexlo/ws?kernel_id=k1&token={server.token}", timeout=60)
        progress = []
        listener = threading.Thread(target=lambda: _listen(socket, progress), daemon=True)
        listener.start()
        answer = server.session.get(server.base + "vexlo/cache/export", timeout=120,
                                    params={"kernel_id": "k1", "ipynb_name": "n.ipynb"})
        listener.join(timeout=30)
        socket.close()
    assert answer.status_code == 200, answer.text
    with tarfile.open(fileobj=io.BytesIO(answer.content), mode="r:gz") as archive:
        assert archive.getnames()[0] == "pipeline.json"
        for rel, data in files.items():
            assert archive.extractfile(f"component-a/{rel}").read() == data
    assert progress and progress[-1] == ("successful", 100), progress


def _listen(socket, progress):
    """Collects the export's (status, progress) messages until it ends."""
    while True:
        message = json.loads(socket.recv())["msg"]
        progress.append((message["status"], message["progress"]))
        if message["status"] in ("successful", "failed"):
            return


@pytest.mark.skipif(not os.environ.get("VEXLO_ENGINE_REFERENCE"),
                    reason="VEXLO_ENGINE_REFERENCE names no archive of another machine's engine "
                           "(scripts/test_arm64 gives the x86_64 one to the aarch64 run)")
def test_the_engine_writes_the_bytes_of_the_reference_machine(tmp_path):
    reference = Path(os.environ["VEXLO_ENGINE_REFERENCE"]).read_bytes()
    written = engine_sample.write(tmp_path, tmp_path / "sample.tar.gz").read_bytes()
    assert len(written) == len(reference) and written == reference, (
        f"{len(written)} bytes here against {len(reference)} from the reference machine; "
        f"first difference at {next((i for i, (a, b) in enumerate(zip(written, reference)) if a != b), None)}")
