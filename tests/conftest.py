import json
import os
import random
import shutil
import struct
import tempfile

import pytest

# The core library fixes its working directory when first imported; give the
# whole session a private one before anything imports it.
_SESSION_TEMP = None
if "VEXLO_TEMP_DIRECTORY" not in os.environ:
    _SESSION_TEMP = os.environ["VEXLO_TEMP_DIRECTORY"] = tempfile.mkdtemp(prefix="vexlo-tests-")


def pytest_unconfigure(config):
    if _SESSION_TEMP:
        shutil.rmtree(_SESSION_TEMP, ignore_errors=True)

pytest_plugins = ["pytest_jupyter.jupyter_server"]


@pytest.fixture
def jp_server_config():
    return {"ServerApp": {"jpserver_extensions": {"vexlo.server": True}}}


def make_tree(root, files):
    """Create `files` ({relative path: bytes}) under `root`; return root as text."""
    for rel, data in files.items():
        path = root / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
    root.mkdir(parents=True, exist_ok=True)
    return str(root)


def component(identifier, cache_dir=None, executed="successful", cached="cached", **extra):
    record = {
        "identifier": identifier,
        "name": f"cell {identifier}",
        "code": f"x_{identifier} = 1",
        "diskcache_dir": cache_dir,
        "execution_status": executed,
        "diskcache_status": cached,
        "parents": [],
    }
    record.update(extra)
    return record


@pytest.fixture
def register_pipeline(jp_fetch):
    """PUT a pipeline for a kernel through the registry's JSON API."""

    async def register(kernel_id, components, diskcache_dir=None):
        body = {"graph": {"components": components}, "diskcache_dir": diskcache_dir}
        await jp_fetch("vexlo", "pipelines", method="PUT", params={"kernel_id": kernel_id},
                       body=json.dumps(body))

    yield register
    from vexlo.server.handlers.dag_handler import dag_cabinet

    dag_cabinet.clear()


# Data of the kinds a notebook cache holds, made reproducibly from `rng`
# (a random.Random): each takes the writer's compressor down a different road.


def random_bytes(rng, n):
    """rng.randbytes(n), which Python 3.8 lacks (same bytes on later versions)."""
    return rng.getrandbits(8 * n).to_bytes(n, "little") if n else b""


def float_column(rng, n):
    """Measured values as doubles: entropy in the bytes, nothing to match."""
    return struct.pack("<%dd" % (n // 8), *(rng.gauss(20.0, 5.0) for _ in range(n // 8)))


def numeric_csv(rng, n):
    """Random sensor readings as CSV text: short matches everywhere."""
    rows = (b"%d,2026-%02d-%02d,s%03d,%.3f,%s\n" % (i, rng.randint(1, 12), rng.randint(1, 28), rng.randint(0, 199),
                                                  rng.gauss(20, 5), rng.choice((b"ok", b"warn", b"fail")))
            for i in range(n // 20 + 1))
    return b"".join(rows)[:n]


def word_text(rng, n):
    """Words from a small vocabulary: long matches."""
    words = [bytes(rng.choice(b"abcdefgh") for _ in range(rng.randint(1, 8))) for _ in range(200)]
    return b" ".join(rng.choice(words) for _ in range(n // 3 + 1))[:n]
