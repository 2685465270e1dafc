"""A real `jupyter server` process with the Vexlo extension, on a free local
port with a token of its own: what the shutdown test, the export benchmark
and the demo run against. Plain Python, so tests/, bench/ and scripts/ can
all import it."""
import os
import re
import secrets
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import requests

# How many times longer than here starting a server may take: on an emulated
# machine (scripts/test_arm64) importing jupyter_server alone takes minutes.
TIME_SCALE = float(os.environ.get("VEXLO_TEST_TIME_SCALE", "1"))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def extension_state(python=sys.executable):
    """The line `jupyter server extension list` prints for vexlo.server in
    `python`'s environment, colours stripped; "not listed" without one."""
    out = subprocess.run([python, "-m", "jupyter_server.extension.serverextension", "list"],
                         capture_output=True, text=True, timeout=120 * TIME_SCALE)
    text = re.sub(r"\x1b\[[0-9;]*m", "", out.stdout + out.stderr)
    lines = [line.strip() for line in text.splitlines() if "vexlo.server" in line]
    return lines[0] if lines else "not listed"


def wait_until(condition, what, timeout=60, pause=0.05):
    """Polls `condition()` until it is true and returns its value;
    AssertionError naming `what` after `timeout` s."""
    deadline = time.monotonic() + timeout
    while True:
        result = condition()
        if result:
            return result
        if time.monotonic() > deadline:
            raise AssertionError(f"never happened within {timeout} s: {what}")
        time.sleep(pause)


class JupyterServer:
    """The server process: start() (or entering a with block) returns once it
    answers, stop() (or leaving the block, however it ends) sends SIGTERM and
    SIGKILL if it has not exited 20 s later.

    `root_dir` is the server's root, `tmp_dir` its TMPDIR (where exports make
    their scratch directories; created if missing), `app_dir` its
    VEXLO_TEMP_DIRECTORY; `env` adds variables to its environment. The
    server's output goes to the file `log`, or nowhere. `base` is the
    server's URL and `session` sends its token."""

    def __init__(self, root_dir, tmp_dir, app_dir, base_url="/", log=None, env=None):
        self.root_dir, self.tmp_dir, self.app_dir = Path(root_dir), Path(tmp_dir), Path(app_dir)
        self.base_url, self.log, self.extra_env = base_url, log, dict(env or {})
        self.port, self.token = free_port(), secrets.token_hex(16)
        self.base = f"http://127.0.0.1:{self.port}{base_url}"
        self.headers = {"Authorization": f"token {self.token}"}
        self.session = requests.Session()
        self.session.headers.update(self.headers)
        self.proc = None

    def start(self):
        self.tmp_dir.mkdir(parents=True, exist_ok=True)
        env = dict(os.environ, TMPDIR=str(self.tmp_dir), VEXLO_TEMP_DIRECTORY=str(self.app_dir), **self.extra_env)
        command = [sys.executable, "-m", "jupyter_server", "--no-browser", "--allow-root", f"--port={self.port}",
                   "--ServerApp.ip=127.0.0.1", f"--IdentityProvider.token={self.token}",
                   f"--ServerApp.root_dir={self.root_dir}", f"--ServerApp.base_url={self.base_url}"]
        output = open(self.log, "wb") if self.log else subprocess.DEVNULL
        try:
            self.proc = subprocess.Popen(command, env=env, stdout=output, stderr=subprocess.STDOUT)
        finally:
            if self.log:
                output.close()  # the server holds its own copy
        try:
            wait_until(self._answers, "the server answers", timeout=60 * TIME_SCALE)
        except BaseException:
            self.stop()
            raise
        return self

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def _answers(self):
        if self.proc.poll() is not None:
            log = Path(self.log).read_text(errors="replace") if self.log else "(output not kept)"
            raise RuntimeError(f"the server exited early:\n{log}")
        try:
            return self.session.get(self.base + "api/status", timeout=2).ok
        except requests.ConnectionError:
            return False

    def stop(self):
        if self.proc is None or self.proc.poll() is not None:
            return
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
