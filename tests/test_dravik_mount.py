"""The dataset mount: rclone's command line and environment, its outcomes, and a real mount.

The mount point is fixed when the module loads, from HOME, so every call runs
in a fresh interpreter whose HOME is a temporary folder.
"""
import http.client
import json
import os
import shutil
import socket
import subprocess
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import pytest

from conftest import package_path, wait_until
from live_server import free_port


# Calls mount_dataset() with the settings given as JSON on stdin and prints
# the outcome as JSON.
CALLER = r"""
import json, subprocess, sys
from vexlo.dravik.settings import settings
given = json.load(sys.stdin)
for name, value in given["settings"].items():
    setattr(settings, name, value)
for name in given["absent"]:
    delattr(settings, name)
from vexlo.dravik.dataset import methods
outcome = {"mount_point": methods._MOUNT_POINT}
try:
    outcome["result"] = repr(methods.mount_dataset(*given["args"]))
except subprocess.CalledProcessError as e:
    outcome.update(error="CalledProcessError", returncode=e.returncode, cmd=e.cmd,
                   output=e.output.decode(), stderr=e.stderr.decode())
except Exception as e:
    outcome.update(error=type(e).__name__, message=str(e))
print(json.dumps(outcome))
"""

# Stands in for rclone: records its argument vector and environment, then
# behaves as RECORDER_* asks.
RECORDER = r"""#!{python}
import json, os, sys, time
with open(os.environ["RECORDER_LOG"], "a") as log:
    log.write(json.dumps({{"argv": sys.argv, "env": dict(os.environ), "pid": os.getpid()}}) + "\n")
sys.stdout.write(os.environ.get("RECORDER_STDOUT", ""))
sys.stderr.write(os.environ.get("RECORDER_STDERR", ""))
sys.stdout.flush()
sys.stderr.flush()
time.sleep(float(os.environ.get("RECORDER_SLEEP", "0")))
sys.exit(int(os.environ.get("RECORDER_EXIT", "0")))
"""


class Mount:
    def __init__(self, root, path):
        self.home = root / "home"
        self.home.mkdir()
        self.log = root / "recorded.jsonl"
        self.path = path
        self.env = {}

    @property
    def point(self):
        return self.home / "workspace" / "dataset"

    def call(self, settings, absent=(), args=()):
        env = dict(os.environ, HOME=str(self.home), PATH=self.path, PYTHONPATH=package_path(),
                   RECORDER_LOG=str(self.log), **self.env)
        done = subprocess.run(
            [sys.executable, "-c", CALLER],
            input=json.dumps({"settings": settings, "absent": list(absent), "args": list(args)}),
            capture_output=True, text=True, env=env, timeout=120,
        )
        assert done.returncode == 0, done.stderr
        return json.loads(done.stdout)

    def runs(self):
        if not self.log.exists():
            return []
        return [json.loads(line) for line in self.log.read_text().splitlines()]


@pytest.fixture
def recorded(tmp_path):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    program = bin_dir / "rclone"
    program.write_text(RECORDER.format(python=sys.executable))
    program.chmod(0o755)
    return Mount(tmp_path, str(bin_dir) + os.pathsep + os.environ.get("PATH", ""))


SETTINGS = {"DRAVIK_WEBDAV_URL": "http://dav.test/remote dir?x=1", "TOKEN": "s3cret token",
            "DRAVIK_SDK_TOKEN": ""}


def test_command_line_and_environment_as_the_child_sees_them(recorded):
    recorded.env["CARRIED_THROUGH"] = "yes"
    first = recorded.call(SETTINGS)
    second = recorded.call(SETTINGS)  # the directory now exists: no error, rclone runs again

    assert first["result"] == second["result"] == "None"
    assert first["mount_point"] == str(recorded.point) and recorded.point.is_dir()
    runs = recorded.runs()
    assert len(runs) == 2
    for run in runs:
        assert os.path.basename(run["argv"][0]) == "rclone"
        assert run["argv"][1:] == [
            "mount", ":webdav:", str(recorded.point),
            "--webdav-url=http://dav.test/remote dir?x=1",
            "--vfs-cache-mode=full", "--daemon",
        ]
        assert run["env"]["RCLONE_WEBDAV_HEADERS"] == "Authorization,Bearer s3cret token"
        assert run["env"]["CARRIED_THROUGH"] == "yes"
        assert not any("s3cret" in arg for arg in run["argv"])


@pytest.mark.parametrize(
    "tokens, absent, header",
    [
        ({"TOKEN": "main", "DRAVIK_SDK_TOKEN": "sdk"}, (), "Authorization,Bearer main"),
        ({"TOKEN": "main"}, ("DRAVIK_SDK_TOKEN",), "Authorization,Bearer main"),
        ({"TOKEN": "", "DRAVIK_SDK_TOKEN": "sdk"}, (), "Authorization,Bearer sdk"),
        ({"TOKEN": None, "DRAVIK_SDK_TOKEN": 1234}, (), "Authorization,Bearer 1234"),
    ],
    ids=["token", "sdk-not-read", "sdk-fallback", "text-form"],
)
def test_token_choice(recorded, tokens, absent, header):
    outcome = recorded.call(dict(SETTINGS, **tokens), absent=absent)
    assert outcome["result"] == "None"
    (run,) = recorded.runs()
    assert run["env"]["RCLONE_WEBDAV_HEADERS"] == header


@pytest.mark.parametrize(
    "settings",
    [
        {"TOKEN": "", "DRAVIK_SDK_TOKEN": ""},
        {"TOKEN": None, "DRAVIK_SDK_TOKEN": None},
        {"DRAVIK_WEBDAV_URL": ""},
        {"DRAVIK_WEBDAV_URL": None},
    ],
    ids=["no-tokens", "null-tokens", "no-url", "null-url"],
)
def test_silent_return_without_token_or_url(recorded, settings):
    outcome = recorded.call(dict(SETTINGS, **settings))
    assert outcome["result"] == "None"
    assert recorded.runs() == []
    assert not (recorded.home / "workspace").exists()


def test_missing_program_is_silent_after_creating_the_directory(recorded, tmp_path):
    empty = tmp_path / "empty-bin"
    empty.mkdir()
    recorded.path = str(empty)
    assert recorded.call(SETTINGS)["result"] == "None"
    assert recorded.point.is_dir()


def test_failures_reach_the_caller(recorded):
    recorded.env.update(RECORDER_EXIT="3", RECORDER_STDOUT="out\n", RECORDER_STDERR="no route")
    outcome = recorded.call(SETTINGS)
    assert (outcome["error"], outcome["returncode"]) == ("CalledProcessError", 3)
    assert (outcome["output"], outcome["stderr"]) == ("out\n", "no route")
    assert "s3cret" not in json.dumps(outcome["cmd"])

    outcome = recorded.call(SETTINGS, args=[1])
    assert outcome["error"] == "TypeError"

    outcome = recorded.call(SETTINGS, absent=["DRAVIK_WEBDAV_URL"])
    assert outcome["error"] == "AttributeError"

    shutil.rmtree(str(recorded.home / "workspace"))
    (recorded.home / "workspace").write_text("a file in the way")
    outcome = recorded.call(SETTINGS)
    assert outcome["error"] in ("FileExistsError", "NotADirectoryError")
    assert len(recorded.runs()) == 1  # only the first call started the program


def test_time_out_stops_the_child_and_returns(recorded):
    recorded.env["RECORDER_SLEEP"] = "90"
    started = time.monotonic()
    outcome = recorded.call(SETTINGS)
    elapsed = time.monotonic() - started

    assert outcome["result"] == "None"
    assert 29 < elapsed < 60
    (run,) = recorded.runs()
    # The child was killed and reaped, so its id no longer names a process.
    assert not Path("/proc", str(run["pid"])).exists()


def test_relative_home_fails_the_load(tmp_path):
    # "." or "rel" as home would put the mount under the working directory.
    env = dict(os.environ, HOME="rel/home", PYTHONPATH=package_path())
    done = subprocess.run([sys.executable, "-c", "import vexlo.dravik.dataset.methods"],
                          capture_output=True, text=True, env=env, cwd=str(tmp_path))
    assert done.returncode != 0
    assert "RuntimeError: Could not determine home directory." in done.stderr
    assert list(tmp_path.iterdir()) == []


# --- a real mount -----------------------------------------------------------

TOKEN = "real-mount-token"


def _real_mount_missing():
    if not shutil.which("rclone"):
        return "rclone is not installed"
    if not shutil.which("fusermount3"):
        return "fusermount3 (fuse3) is not installed"
    if not os.access("/dev/fuse", os.R_OK | os.W_OK):
        return "/dev/fuse is missing or not usable by this user"
    return None


class _Gate(ThreadingHTTPServer):
    """Passes requests to rclone's WebDAV server only with the bearer token."""

    daemon_threads = True

    def __init__(self, upstream_port):
        super().__init__(("127.0.0.1", 0), _GateHandler)
        self.upstream_port = upstream_port
        self.authorizations = []


class _GateHandler(BaseHTTPRequestHandler):
    def __getattr__(self, name):
        if name.startswith("do_"):
            return self._forward
        raise AttributeError(name)

    def _forward(self):
        authorization = self.headers.get("Authorization")
        self.server.authorizations.append(authorization)
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else None
        if authorization != "Bearer " + TOKEN:
            self.send_response(401)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        headers = {k: v for k, v in self.headers.items()
                   if k.lower() not in ("host", "authorization", "connection")}
        upstream = http.client.HTTPConnection("127.0.0.1", self.server.upstream_port, timeout=30)
        try:
            upstream.request(self.command, self.path, body=body, headers=headers)
            answer = upstream.getresponse()
            data = answer.read()
        finally:
            upstream.close()
        self.send_response(answer.status)
        for key, value in answer.getheaders():
            if key.lower() not in ("transfer-encoding", "connection", "content-length"):
                self.send_header(key, value)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(data)

    def log_message(self, *args):
        pass


def _listening(port, process):
    assert process.poll() is None, "rclone serve webdav exited"
    try:
        socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
        return True
    except OSError:
        return False


def _mounted(point):
    with open("/proc/self/mounts") as mounts:
        return any(line.split()[1] == str(point) for line in mounts)


def _processes_mentioning(text):
    found = []
    for proc in Path("/proc").iterdir():
        try:
            cmdline = (proc / "cmdline").read_bytes().split(b"\0")
        except OSError:
            continue
        if any(text.encode() in arg for arg in cmdline):
            found.append([arg.decode(errors="replace") for arg in cmdline if arg])
    return found


@pytest.mark.skipif(_real_mount_missing() is not None, reason=str(_real_mount_missing()))
def test_real_mount_over_webdav(tmp_path):
    served = tmp_path / "served"
    (served / "sales").mkdir(parents=True)
    (served / "sales" / "q3.csv").write_text("region,total\nnorth,12\n")
    port = free_port()
    server = subprocess.Popen(
        ["rclone", "serve", "webdav", str(served), "--addr", "127.0.0.1:{}".format(port)],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        env=dict(os.environ, HOME=str(tmp_path)),
    )
    gate = _Gate(port)
    threading.Thread(target=gate.serve_forever, daemon=True).start()
    mount = Mount(tmp_path, os.environ.get("PATH", ""))
    try:
        wait_until(lambda: _listening(port, server), "rclone serve webdav listens", timeout=15, pause=0.1)
        outcome = mount.call({
            "DRAVIK_WEBDAV_URL": "http://127.0.0.1:{}".format(gate.server_address[1]),
            "TOKEN": TOKEN, "DRAVIK_SDK_TOKEN": "",
        })
        assert outcome == {"mount_point": str(mount.point), "result": "None"}

        wait_until(lambda: _mounted(mount.point), "a mount after rclone returned", timeout=20, pause=0.2)
        assert (mount.point / "sales" / "q3.csv").read_text() == "region,total\nnorth,12\n"

        # The token reached the server as a header, and no process shows it.
        assert gate.authorizations and set(gate.authorizations) == {"Bearer " + TOKEN}
        daemons = _processes_mentioning(str(mount.point))
        assert daemons, "no rclone process holds the mount"
        assert not _processes_mentioning(TOKEN)
    finally:
        if _mounted(mount.point):
            subprocess.run(["fusermount3", "-u", str(mount.point)], check=False)
            try:
                wait_until(lambda: not _mounted(mount.point), "unmounted", timeout=10, pause=0.2)
            except AssertionError:
                subprocess.run(["fusermount3", "-u", "-z", str(mount.point)], check=False)
        gate.shutdown()
        gate.server_close()
        server.terminate()
        server.wait(timeout=10)
    assert not _mounted(mount.point)
