import json
import os
import shutil
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
