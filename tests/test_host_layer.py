"""What every native module gets from the host layer: load-time binding,
methods that behave like Python functions, and argument checks."""
import inspect
import subprocess
import sys
import textwrap

import pytest
import tornado.web

from vexlo.dravik.dataset import methods
from vexlo.dravik.settings import settings
from vexlo.server.handlers.cache.export_gate import CacheExportGate
from vexlo.server.handlers.info import cache_desk
from vexlo.server.misc.cache_packer import CacheCompressThread


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


class DictSub(dict):
    pass


class StrSub(str):
    pass


def info_handler():
    return object.__new__(cache_desk.CacheInfoHandler)


# Each module's native calls, checked by the host layer before any of their
# own work: exact types (no subclasses), argument counts and names.
WRONG_CALLS = [
    # methods
    (lambda: info_handler()._get_info(1), "_get_info() takes exactly 1 positional argument (2 given)"),
    (lambda: info_handler()._get_info(kernel_id="x"), "unexpected keyword argument 'kernel_id'"),
    (lambda: CacheExportGate.transmit(kernel_id="k", data=[]), "argument 'data' must be dict, not list"),
    (lambda: CacheExportGate.transmit(None, {}), "argument 'kernel_id' must be str, not NoneType"),
    (lambda: CacheExportGate.transmit("k", {}, kernel_id="k"), "got multiple values for argument 'kernel_id'"),
    # a constructor
    (lambda: CacheCompressThread(None, {}, []), "argument 'tarfile_path' must be str, not NoneType"),
    (lambda: CacheCompressThread(StrSub("a"), {}, []), "subclasses of built-in types are refused"),
    (lambda: CacheCompressThread("a", DictSub(), []), "argument 'pipeline_info' must be dict, not DictSub"),
    (lambda: CacheCompressThread("a", {}, ()), "argument 'cache_info' must be list, not tuple"),
    (lambda: CacheCompressThread("a", {}), "takes exactly 4 positional arguments (3 given)"),
    (lambda: CacheCompressThread("a", {}, [], 1), "takes exactly 4 positional arguments (5 given)"),
    # module functions
    (lambda: methods.get_dataset_list(1), "get_dataset_list() takes exactly 0 positional arguments (1 given)"),
    (lambda: methods.get_dataset_list(page=1), "get_dataset_list() got an unexpected keyword argument 'page'"),
    (lambda: methods.create_dataset(1, "d"), "argument 'name' must be str, not int"),
    (lambda: methods.create_dataset("n", None), "argument 'description' must be str, not NoneType"),
    (lambda: methods.create_dataset(type("Text", (str,), {})("n"), "d"),
     "argument 'name' must be str, not Text (subclasses of built-in types are refused)"),
    (lambda: methods.create_dataset("n", "d", True, 1), "create_dataset() takes at most 3 positional arguments (4 given)"),
    (lambda: methods.create_dataset("n", "d", name="again"), "create_dataset() got multiple values for argument 'name'"),
    (lambda: methods.create_dataset("n", "d", bogus=1), "create_dataset() got an unexpected keyword argument 'bogus'"),
    (lambda: methods.create_dataset("n"), "create_dataset() missing required argument 'description' (pos 2)"),
    (lambda: methods.create_dataset_version_by_id("42", "d"), "argument 'dataset_id' must be a number, not str"),
    (lambda: methods.create_dataset_version_by_id(None, "d"), "argument 'dataset_id' must be a number, not NoneType"),
    (lambda: methods.create_dataset_version_by_id(42, b"d"), "argument 'description' must be str, not bytes"),
    (lambda: methods.get_code_snippet_to_upload_dataset("n", "d"),
     "get_code_snippet_to_upload_dataset() takes exactly 3 positional arguments (2 given)"),
    (lambda: methods.get_code_snippet_to_upload_dataset("n", "d", None), "argument 'file_type' must be str, not NoneType"),
    (lambda: methods.get_code_snippet_to_import_dataset(7),
     "get_code_snippet_to_import_dataset() takes exactly 2 positional arguments (1 given)"),
    (lambda: methods.get_code_snippet_to_import_dataset(7, "3"),
     "argument 'dataset_version_id' must be a number, not str"),
]


@pytest.mark.parametrize("call, message", WRONG_CALLS)
def test_wrong_calls_are_refused_before_any_work(call, message, monkeypatch):
    # Without the platform's URL a well-formed Dravik call fails with
    # AttributeError and can request nothing, so a TypeError here shows the
    # arguments were checked before settings were read or anything was sent.
    monkeypatch.delattr(settings, "DRAVIK_API_BASE_PROJECT_URL")
    with pytest.raises(TypeError) as refused:
        call()
    assert message in str(refused.value)
