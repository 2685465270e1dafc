"""The platform's REST functions against a real HTTP server on loopback."""
import json
import inspect
import os
import subprocess
import sys
import threading
import typing
from datetime import datetime
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

import pydantic
import pytest
import requests

from conftest import package_path
from vexlo.dravik.dataset import methods
from vexlo.dravik.schemas import DatasetInfo, DatasetVersionInfo
from vexlo.dravik.settings import settings



class Platform(ThreadingHTTPServer):
    """Records every request and answers with the reply the test set."""

    daemon_threads = True

    def __init__(self):
        super().__init__(("127.0.0.1", 0), _Handler)
        self.requests = []
        self.reply = (200, "null")
        self.delay = None

    @property
    def url(self):
        return "http://127.0.0.1:{}".format(self.server_address[1])

    def answer(self, body, status=200):
        self.reply = (status, body if isinstance(body, str) else json.dumps(body))

    def only_request(self):
        assert len(self.requests) == 1, self.requests
        return self.requests[0]


class _Handler(BaseHTTPRequestHandler):
    def _serve(self):
        length = int(self.headers.get("Content-Length") or 0)
        raw = self.rfile.read(length) if length else b""
        parts = urlsplit(self.path)
        self.server.requests.append(
            {
                "method": self.command,
                "path": parts.path,
                "query": parse_qs(parts.query, keep_blank_values=True),
                "authorization": self.headers.get("Authorization"),
                "content_type": self.headers.get("Content-Type"),
                "body": raw.decode(),
            }
        )
        if self.server.delay is not None:
            self.server.delay.wait(5)
        status, text = self.server.reply
        data = text.encode()
        try:
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)
        except ConnectionError:
            pass  # the client gave up waiting

    do_GET = do_POST = _serve

    def log_message(self, *args):
        pass


@pytest.fixture(scope="module")
def _server():
    server = Platform()
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield server
    server.shutdown()
    server.server_close()


@pytest.fixture
def platform(_server, monkeypatch):
    server = _server
    server.requests, server.reply, server.delay = [], (200, "null"), None
    monkeypatch.setattr(settings, "DRAVIK_API_BASE_PROJECT_URL", server.url + "/api/v2/projects/p-1")
    monkeypatch.setattr(settings, "TOKEN", "tok-1")
    monkeypatch.setattr(settings, "DRAVIK_SDK_TOKEN", "")
    return server


DATASET = {"id": 5, "name": "sales", "description": "Q3", "created_at": "2026-01-02T03:04:05"}
VERSION = {"id": 9, "dataset_id": 42, "version": 2, "description": "fixed"}


def test_listing_request_and_records_in_order(platform):
    pairs = [["id", 6], ["name", "as pairs"]]
    platform.answer([DATASET, {"id": 1, "name": "b", "added_by_platform": True}, pairs])

    result = methods.get_dataset_list()

    seen = platform.only_request()
    assert (seen["method"], seen["path"], seen["query"], seen["body"]) == (
        "GET", "/api/v2/projects/p-1/data-snapshots", {}, "")
    assert seen["authorization"] == "Bearer tok-1"
    assert type(result) is list and all(type(item) is DatasetInfo for item in result)
    assert [(d.id, d.name) for d in result] == [(5, "sales"), (1, "b"), (6, "as pairs")]
    assert result[0].created_at == datetime(2026, 1, 2, 3, 4, 5)

    platform.answer([])
    assert methods.get_dataset_list() == []


@pytest.mark.parametrize(
    "body, error, message",
    [
        ({"items": []}, TypeError, "Expected list, got dict"),
        ("\"text\"", TypeError, "Expected list, got str"),
        ("null", TypeError, None),
        ([DATASET, None], TypeError, None),
        ([DATASET, 7], TypeError, None),
        ([[["id", 1, 2]]], TypeError, None),
        ([{"name": "no id"}], pydantic.ValidationError, None),
        ("[{\"id\": 1,", ValueError, None),
    ],
    ids=["object", "string", "null", "null-element", "number-element", "bad-pairs",
         "refused-record", "malformed"],
)
def test_listing_refuses_unusable_bodies(platform, body, error, message):
    platform.answer(body)
    with pytest.raises(error) as caught:
        methods.get_dataset_list()
    if message is not None:
        assert str(caught.value) == message


def test_create_dataset_posts_members_in_order(platform):
    platform.answer(dict(DATASET, id=11))

    result = methods.create_dataset("sales", "Q3 numbers")

    seen = platform.only_request()
    assert (seen["method"], seen["path"]) == ("POST", "/api/v2/projects/p-1/data-snapshots")
    assert seen["content_type"] == "application/json"
    assert list(json.loads(seen["body"]).items()) == [
        ("name", "sales"), ("description", "Q3 numbers"), ("exist_ok", False)]
    assert type(result) is DatasetInfo and result.id == 11


@pytest.mark.parametrize(
    "given, sent",
    [({}, False), ({"exist_ok": None}, False), ({"exist_ok": []}, False), ({"exist_ok": 0.0}, False),
     ({"exist_ok": True}, True), ({"exist_ok": 2}, True), ({"exist_ok": "no"}, True)],
)
def test_create_dataset_sends_truth_of_exist_ok(platform, given, sent):
    platform.answer(DATASET)
    methods.create_dataset(description="d", name="n", **given)
    assert json.loads(platform.only_request()["body"])["exist_ok"] is sent


@pytest.mark.parametrize(
    "given, segment",
    [(42, "42"), (42.9, "42"), (-3.7, "-3"), (True, "1"), (2 ** 70, str(2 ** 70))],
)
def test_create_version_puts_integer_part_in_path(platform, given, segment):
    platform.answer(VERSION)

    result = methods.create_dataset_version_by_id(given, description="fixed")

    seen = platform.only_request()
    assert seen["method"] == "POST"
    assert seen["path"] == "/api/v2/projects/p-1/data-snapshots/" + segment + "/versions"
    assert json.loads(seen["body"]) == {"description": "fixed"}
    assert type(result) is DatasetVersionInfo and (result.id, result.dataset_id) == (9, 42)


@pytest.mark.parametrize(
    "call",
    [lambda: methods.create_dataset("n", "d"), lambda: methods.create_dataset_version_by_id(1, "d")],
    ids=["dataset", "version"],
)
def test_creation_refuses_arrays_null_and_refused_records(platform, call):
    platform.answer([DATASET])
    with pytest.raises(TypeError, match=r"^Expected dict, got list$"):
        call()
    platform.answer("null")
    with pytest.raises(TypeError):
        call()
    platform.answer({"unrelated": 1})
    with pytest.raises(pydantic.ValidationError):
        call()


def test_upload_snippet_sends_query_and_returns_body_unchanged(platform):
    body = {"code": "import dravik\n", "language": "python", "extra": [1, {"a": None}]}
    platform.answer(body)

    result = methods.get_code_snippet_to_upload_dataset("sales & co", "", file_type="csv")

    seen = platform.only_request()
    assert (seen["method"], seen["path"], seen["body"]) == (
        "GET", "/api/v2/projects/p-1/data-snapshots/tabular/code-snippet", "")
    assert seen["query"] == {"name": ["sales & co"], "data": [""], "file_type": ["csv"]}
    assert result == body and type(result) is dict


def test_import_snippet_path_and_body(platform):
    platform.answer({"code": "x = 1"})

    assert methods.get_code_snippet_to_import_dataset(7, 3.99) == {"code": "x = 1"}

    seen = platform.only_request()
    assert (seen["method"], seen["query"]) == ("GET", {})
    assert seen["path"] == "/api/v2/projects/p-1/data-snapshots/7/versions/3/code-snippet"


@pytest.mark.parametrize(
    "call",
    [lambda: methods.get_code_snippet_to_upload_dataset("n", "d", "csv"),
     lambda: methods.get_code_snippet_to_import_dataset(1, 2)],
    ids=["upload", "import"],
)
def test_snippets_return_null_and_refuse_other_kinds(platform, call):
    platform.answer("null")
    assert call() is None
    platform.answer(["code"])
    with pytest.raises(TypeError, match=r"^Expected dict, got list$"):
        call()
    platform.answer("<html>")
    with pytest.raises(ValueError):
        call()


def test_settings_are_read_at_every_call(platform, monkeypatch):
    platform.answer([])
    methods.get_dataset_list()
    monkeypatch.setattr(settings, "DRAVIK_API_BASE_PROJECT_URL", platform.url + "/other")
    monkeypatch.setattr(settings, "TOKEN", "")
    monkeypatch.setattr(settings, "DRAVIK_SDK_TOKEN", "sdk-2")
    methods.get_dataset_list()
    monkeypatch.setattr(settings, "DRAVIK_SDK_TOKEN", "")
    methods.get_dataset_list()

    assert [(r["path"], r["authorization"]) for r in platform.requests] == [
        ("/api/v2/projects/p-1/data-snapshots", "Bearer tok-1"),
        ("/other/data-snapshots", "Bearer sdk-2"),
        ("/other/data-snapshots", None),
    ]

    monkeypatch.delattr(settings, "DRAVIK_API_BASE_PROJECT_URL")
    with pytest.raises(AttributeError):
        methods.get_dataset_list()


def test_base_url_is_used_exactly_as_set(platform, monkeypatch):
    class Base:
        def __str__(self):
            return platform.url + "/via-str"

    platform.answer({"code": ""})
    monkeypatch.setattr(settings, "DRAVIK_API_BASE_PROJECT_URL", platform.url + "/p/")
    methods.get_code_snippet_to_import_dataset(1, 2)
    monkeypatch.setattr(settings, "DRAVIK_API_BASE_PROJECT_URL", Base())
    methods.get_code_snippet_to_import_dataset(1, 2)
    assert [r["path"] for r in platform.requests] == [
        "/p//data-snapshots/1/versions/2/code-snippet",
        "/via-str/data-snapshots/1/versions/2/code-snippet",
    ]

    # An empty base leaves only the path, which the client refuses.
    monkeypatch.setattr(settings, "DRAVIK_API_BASE_PROJECT_URL", "")
    with pytest.raises(requests.exceptions.MissingSchema, match="'/data-snapshots'"):
        methods.get_dataset_list()


def test_client_raises_on_http_errors_and_times_out(platform, monkeypatch):
    platform.answer(DATASET, status=201)
    assert methods.create_dataset("n", "d").id == 5

    platform.answer(DATASET, status=500)
    with pytest.raises(requests.HTTPError) as caught:
        methods.create_dataset("n", "d")
    assert caught.value.response.status_code == 500
    platform.answer({"detail": "no such dataset"}, status=404)
    with pytest.raises(requests.HTTPError):
        methods.get_code_snippet_to_import_dataset(1, 2)

    from vexlo.dravik.api_client import api_client

    monkeypatch.setattr(api_client, "timeout", 0.2)
    platform.delay = threading.Event()
    try:
        with pytest.raises(requests.Timeout):
            methods.get_dataset_list()
    finally:
        platform.delay.set()


def test_function_metadata():
    docs = {
        "get_dataset_list": "Return datasets for the current project.",
        "create_dataset": "Create a new dataset in the current project.",
        "create_dataset_version_by_id": "Create a new version for an existing dataset.",
        "get_code_snippet_to_upload_dataset": "Return a code snippet for uploading tabular data.",
        "get_code_snippet_to_import_dataset": "Return a code snippet for importing a dataset version.",
        "mount_dataset": "Mount project datasets via rclone WebDAV.",
    }
    for name, doc in docs.items():
        fn = getattr(methods, name)
        assert (fn.__name__, fn.__doc__, fn.__module__) == (name, doc, "vexlo.dravik.dataset.methods")
    # What help() and a notebook's tab completion show: the declared
    # parameters, defaults and types, the same declaration the binding checks.
    assert str(inspect.signature(methods.create_dataset)) == (
        "(name: 'str', description: 'str', exist_ok: 'bool' = False) -> 'DatasetInfo'")
    assert str(inspect.signature(methods.get_code_snippet_to_import_dataset)) == (
        "(dataset_id: 'int', dataset_version_id: 'int') -> 'Optional[Dict[str, str]]'")
    hints = typing.get_type_hints(methods.create_dataset_version_by_id)
    assert hints == {"dataset_id": int, "description": str, "return": DatasetVersionInfo}


def test_loading_fails_when_a_platform_name_is_missing():
    script = (
        "import vexlo.dravik.schemas as s\n"
        "del s.DatasetVersionInfo\n"
        "import vexlo.dravik.dataset.methods\n"
    )
    env = dict(os.environ, PYTHONPATH=package_path())
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env)
    assert done.returncode != 0
    assert "ImportError: cannot import name 'DatasetVersionInfo'" in done.stderr
