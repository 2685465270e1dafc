"""What every native module gets from the host layer: load-time binding and
methods that behave like Python functions."""
import functools
import inspect
import subprocess
import sys
import textwrap

import pytest
import tornado.web

from vexlo.server.handlers.info import cache_desk


def load_with(setup):
    """Import cache_desk in a fresh interpreter after `setup`; return stderr's last line."""
    code = textwrap.dedent(setup) + "\nimport vexlo.server.handlers.info.cache_desk\n"
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert proc.returncode != 0, "the module loaded although a name it needs is missing"
    return proc.stderr.strip().splitlines()[-1]


@pytest.mark.parametrize(
    "setup, named",
    [
        # A module that is missing altogether.
        ("import sys; sys.modules['vexlo_core.common.utils'] = None", "vexlo_core.common.utils"),
        # A module that lacks one name.
        (
            """
            import vexlo_core.misc
            del vexlo_core.misc.VexloDiskcacheStatus
            """,
            "VexloDiskcacheStatus",
        ),
        # A relative import that cannot be bound.
        (
            """
            import vexlo.server.misc
            del vexlo.server.misc.get_dir_size
            """,
            "get_dir_size",
        ),
    ],
)
def test_a_missing_outside_name_fails_the_load(setup, named):
    last = load_with(setup)
    assert "ImportError" in last or "ModuleNotFoundError" in last
    assert named in last


def test_native_methods_read_like_python_functions(tmp_path, monkeypatch):
    (tmp_path / "pipelines").mkdir()
    (tmp_path / "pipelines" / "cache.bin").write_bytes(b"12345")
    monkeypatch.setattr(cache_desk, "APP_TEMP_DIRECTORY", tmp_path)
    method = cache_desk.CacheInfoHandler.__dict__["_get_info"]
    assert method.__name__ == "_get_info"
    assert method.__qualname__ == "CacheInfoHandler._get_info"
    assert method.__module__ == "vexlo.server.handlers.info.cache_desk"
    assert method.__annotations__ == {"return": "Tuple[HTTPStatus, Dict[str, Any]]"}
    assert str(inspect.signature(method)) == "(self) -> 'Tuple[HTTPStatus, Dict[str, Any]]'"

    wrapped = tornado.web.authenticated(method)
    assert (wrapped.__name__, wrapped.__qualname__) == ("_get_info", "CacheInfoHandler._get_info")

    class Handler:
        current_user = "someone"

        def get_query_argument(self, name, default):
            return default

        get_info = wrapped

    status, result = Handler().get_info()
    assert (int(status), result) == (200, {"cache_size": "5B"})


def test_native_methods_refuse_wrong_calls():
    handler = object.__new__(cache_desk.CacheInfoHandler)
    with pytest.raises(TypeError, match=r"takes exactly 1 positional argument \(2 given\)"):
        handler._get_info(1)
    with pytest.raises(TypeError, match="unexpected keyword argument 'kernel_id'"):
        handler._get_info(kernel_id="x")
