"""Drive a real Jupyter server with the Vexlo extension as a browser would."""
import json
import os
import random
import re
import secrets
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from contextlib import contextmanager
from pathlib import Path

import requests

KERNEL_ID = "demo-kernel-0001"


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@contextmanager
def jupyter_server(workdir: Path):
    """A server process of its own, stopped cleanly whatever happens."""
    port, token = free_port(), secrets.token_hex(16)
    env = dict(os.environ, VEXLO_TEMP_DIRECTORY=str(workdir / "vexlo"), TMPDIR=str(workdir / "tmp"))
    (workdir / "tmp").mkdir()
    cmd = [sys.executable, "-m", "jupyter_server", "--no-browser", "--allow-root", f"--port={port}",
           "--ServerApp.ip=127.0.0.1", f"--IdentityProvider.token={token}",
           f"--ServerApp.root_dir={workdir}", "--ServerApp.base_url=/demo/"]
    log = open(workdir / "server.log", "wb")
    proc = subprocess.Popen(cmd, env=env, stdout=log, stderr=subprocess.STDOUT)
    base = f"http://127.0.0.1:{port}/demo/"
    session = requests.Session()
    session.headers["Authorization"] = f"token {token}"
    try:
        deadline = time.monotonic() + 60
        while True:
            if proc.poll() is not None:
                raise RuntimeError("the server exited early:\n" + (workdir / "server.log").read_text())
            try:
                if session.get(base + "api/status", timeout=2).ok:
                    break
            except requests.ConnectionError:
                pass
            if time.monotonic() > deadline:
                raise RuntimeError("the server did not answer within 60 s")
            time.sleep(0.2)
        yield base, token, session
    finally:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        log.close()


def generate_cache(root: Path) -> list:
    """Three components' cache directories with data a notebook would leave."""
    rnd = random.Random(7)
    components = []
    for index, name in enumerate(["load", "clean", "train"]):
        cache = root / f"component-{index}"
        (cache / "values").mkdir(parents=True)
        rows = "\n".join(",".join(f"{rnd.gauss(0, 1):.4f}" for _ in range(8)) for _ in range(20000))
        (cache / "values" / "table.csv").write_text("a,b,c,d,e,f,g,h\n" + rows)
        (cache / "blob.bin").write_bytes(rnd.randbytes(2_000_000) if hasattr(rnd, "randbytes")
                                         else os.urandom(2_000_000))
        (cache / "meta.json").write_text(json.dumps({"component": name, "rows": 20000}))
        components.append({
            "identifier": f"c{index}", "name": name, "code": f"df_{name} = step_{name}()",
            "diskcache_dir": str(cache), "execution_status": "successful",
            "diskcache_status": "cached", "parents": [{"id": f"c{index - 1}"}] if index else [],
        })
    # One component that failed: it must count nowhere.
    components.append({"identifier": "c9", "name": "plot", "code": "plot()",
                       "diskcache_dir": None, "execution_status": "failed",
                       "diskcache_status": "uncached", "parents": []})
    return components


def main() -> int:
    workdir = Path(tempfile.mkdtemp(prefix="vexlo-demo-"))
    try:
        pipelines = workdir / "vexlo" / "pipelines" / KERNEL_ID
        components = generate_cache(pipelines)
        print(f"server extension: {extension_state()}")
        with jupyter_server(workdir) as (base, token, session):
            put = session.put(base + "vexlo/pipelines", params={"kernel_id": KERNEL_ID},
                              json={"graph": {"components": components}, "diskcache_dir": str(pipelines)})
            put.raise_for_status()
            print(f"registered pipeline of kernel {KERNEL_ID}: {put.json()}")
            for params in ({}, {"kernel_id": KERNEL_ID}):
                answer = session.get(base + "vexlo/info/cache", params=params)
                mode = "per kernel" if params else "total"
                print(f"cache info ({mode}): {answer.status_code} {answer.text}")
        print("server stopped")
        return 0
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


def extension_state() -> str:
    out = subprocess.run([sys.executable, "-m", "jupyter_server.extension.serverextension", "list"],
                         capture_output=True, text=True)
    text = re.sub(r"\x1b\[[0-9;]*m", "", out.stdout + out.stderr)
    lines = [line.strip() for line in text.splitlines() if "vexlo.server" in line]
    return lines[0] if lines else "not listed"


if __name__ == "__main__":
    sys.exit(main())
