"""Compressing workers that cannot allocate, as under `ulimit -v` or strict
overcommit: the writer reports it as its error, the process lives on, and a
real server answers the export with a message and exports again once memory
is back. The failures come from tests/native/alloc_failure.c, loaded with
LD_PRELOAD into a process of their own and confined to the workers' threads
(they run at a higher nice value than the rest)."""
import concurrent.futures
import errno
import io
import json
import os
import subprocess
import sys
import tarfile
import textwrap

import pytest
import websocket

from conftest import big_cache, component, export_dirs, wait_until
from live_server import JupyterServer

HERE = os.path.dirname(os.path.abspath(__file__))
OUT_OF_MEMORY = "Cannot allocate memory"

pytestmark = pytest.mark.skipif(os.getpriority(os.PRIO_PROCESS, 0) >= 19,
                                reason="at nice 19 the workers' threads cannot be told apart by their nice value")


@pytest.fixture(scope="session")
def injector(tmp_path_factory):
    """The environment that loads the injector; it fails allocations while
    the file `injector["VEXLO_ALLOC_FAILURE_SWITCH"]` exists."""
    folder = tmp_path_factory.mktemp("alloc-failure")
    library = folder / "alloc_failure.so"
    subprocess.run(["cc", "-shared", "-fPIC", "-O1", "-Wall", "-Werror", "-o", str(library),
                    os.path.join(HERE, "native", "alloc_failure.c")], check=True)
    return {"LD_PRELOAD": str(library), "VEXLO_ALLOC_FAILURE_SWITCH": str(folder / "on"),
            # A known slot count: the run below turns the failures on once blocks have been written.
            "VEXLO_EXPORT_THREADS": "2"}


@pytest.fixture
def failures(injector):
    """The injector's switch: `failures.on()`, `failures.off()`; off afterwards."""
    switch = injector["VEXLO_ALLOC_FAILURE_SWITCH"]

    class Switch:
        def on(self):
            open(switch, "w").close()

        def off(self):
            if os.path.exists(switch):
                os.remove(switch)

    yield Switch()
    Switch().off()


# Runs a writer and prints how it ended. With "mid", memory runs out once the
# writer has read more blocks than its 6 slots hold, so that workers which
# have compressed blocks already fail inside the compressor.
RUN_WRITER = textwrap.dedent("""
    import json, sys, time
    from vexlo.server.misc.cache_packer import CacheCompressThread

    archive, description, tree, switch, when = sys.argv[1:]
    thread = CacheCompressThread(archive, {"filepath": description, "arcname": "pipeline.json"},
                                 [{"dirpath": tree, "arcname": "component-a"}])
    if when == "start":
        open(switch, "w").close()
    thread.start()
    if when == "mid":
        while thread.bytes_read() < 8 << 20 and thread.is_alive():
            time.sleep(0.001)
        open(switch, "w").close()
    thread.join(120)
    error = thread.error()
    print(json.dumps({"alive": thread.is_alive(), "stopped": thread.is_stopped(), "type": type(error).__name__,
                      "errno": getattr(error, "errno", None), "text": str(error)}))
""")


@pytest.mark.parametrize("when", ["start", "mid"])
def test_workers_out_of_memory_end_the_run_with_its_error(tmp_path, injector, failures, when):
    tree = big_cache(tmp_path / "cache", 64)
    description = tmp_path / "pipeline.json"
    description.write_text("{}")
    archive = tmp_path / "a.tar.gz"
    run = subprocess.run([sys.executable, "-c", RUN_WRITER, str(archive), str(description), tree,
                          injector["VEXLO_ALLOC_FAILURE_SWITCH"], when],
                         env=dict(os.environ, **injector), capture_output=True, text=True, timeout=240)
    assert run.returncode == 0, run.stderr
    ended = json.loads(run.stdout)
    assert ended["alive"] is False and ended["stopped"] is True
    assert ended["type"] == "OSError" and ended["errno"] == errno.ENOMEM, ended
    assert OUT_OF_MEMORY in ended["text"] and str(archive) in ended["text"]


def test_export_out_of_memory_fails_alone_and_the_next_one_works(tmp_path, injector, failures):
    cache = big_cache(tmp_path / "cache", 160)
    scratch = tmp_path / "tmp"
    export = "vexlo/cache/export?kernel_id=k1&ipynb_name=n.ipynb"
    with JupyterServer(tmp_path, scratch, tmp_path / "vexlo", env=injector) as server, \
            concurrent.futures.ThreadPoolExecutor() as pool:
        pipeline = {"graph": {"components": [component("a", cache)]}}
        server.session.put(server.base + "vexlo/pipelines", params={"kernel_id": "k1"},
                           json=pipeline).raise_for_status()
        ws = websocket.create_connection(
            server.base.replace("http://", "ws://") + f"vexlo/ws?kernel_id=k1&token={server.token}", timeout=60)
        try:
            download = pool.submit(server.session.get, server.base + export, timeout=300)
            # Blocks past the gzip header: workers are compressing; then memory runs out.
            wait_until(lambda: download.done() or any(
                f.stat().st_size > 10 for d in export_dirs(scratch) for f in (scratch / d).glob("*.tar.gz")),
                "the archive's first blocks are written")
            failures.on()
            response = download.result()
            assert response.status_code == 500, response.status_code
            assert OUT_OF_MEMORY in response.json()["message"]
            statuses = []
            while "failed" not in statuses:
                statuses.append(json.loads(ws.recv())["msg"]["status"])
            assert "successful" not in statuses
            assert export_dirs(scratch) == []

            failures.off()
            again = server.session.get(server.base + export, timeout=300)
            assert again.status_code == 200
            with tarfile.open(fileobj=io.BytesIO(again.content)) as archive:
                assert len(archive.getnames()) == 2 + len(os.listdir(cache))
            assert export_dirs(scratch) == []
        finally:
            ws.close()
        assert server.proc.poll() is None
