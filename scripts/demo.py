"""Drive a real Jupyter server with the Vexlo extension as a browser would."""
import json
import os
import random
import shutil
import sys
import tarfile
import tempfile
import threading
import time
import urllib.parse
from pathlib import Path

import requests
import websocket

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from live_server import JupyterServer, extension_state  # noqa: E402  (the server launcher the tests use)

KERNEL_ID = "demo-kernel-0001"


def generate_cache(root: Path) -> list:
    """Three components' cache directories with data a notebook would leave."""
    rnd = random.Random(7)
    components = []
    for index, name in enumerate(["load", "clean", "train"]):
        cache = root / f"component-{index}"
        (cache / "values").mkdir(parents=True)
        rows = "\n".join(",".join(f"{rnd.gauss(0, 1):.4f}" for _ in range(8)) for _ in range(150000))
        (cache / "values" / "table.csv").write_text("a,b,c,d,e,f,g,h\n" + rows)
        (cache / "blob.bin").write_bytes(os.urandom(4_000_000))
        (cache / "meta.json").write_text(json.dumps({"component": name, "rows": 150000}))
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
        server = JupyterServer(workdir, workdir / "tmp", workdir / "vexlo", base_url="/demo/",
                               log=workdir / "server.log")
        with server:
            base, token, session = server.base, server.token, server.session
            put = session.put(base + "vexlo/pipelines", params={"kernel_id": KERNEL_ID},
                              json={"graph": {"components": components}, "diskcache_dir": str(pipelines)})
            put.raise_for_status()
            print(f"registered pipeline of kernel {KERNEL_ID}: {put.json()}")
            for params in ({}, {"kernel_id": KERNEL_ID}):
                answer = session.get(base + "vexlo/info/cache", params=params)
                mode = "per kernel" if params else "total"
                print(f"cache info ({mode}): {answer.status_code} {answer.text}")
            export_cache(base, token, session, workdir)
        print("server stopped")
        return 0
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


class StatusProbe(threading.Thread):
    """Another tab of the user's: asks the server for its status every 100 ms
    while the export runs, to show the server stays responsive."""

    def __init__(self, base: str, session: requests.Session):
        super().__init__(daemon=True)
        self.base, self.session = base, requests.Session()
        self.session.headers.update(session.headers)
        self.last = self.slowest = 0.0
        self.answered = 0
        self.done = threading.Event()

    def run(self) -> None:
        while not self.done.is_set():
            started = time.monotonic()
            self.session.get(self.base + "api/status", timeout=60).raise_for_status()
            self.last = time.monotonic() - started
            self.slowest = max(self.slowest, self.last)
            self.answered += 1
            self.done.wait(0.1)


class ProgressListener(threading.Thread):
    """The kernel's websocket, as the browser holds it: draws the packing's
    progress, and beside it how long the server took to answer a status request."""

    def __init__(self, base: str, token: str, probe: StatusProbe):
        super().__init__(daemon=True)
        self.probe = probe
        url = base.replace("http://", "ws://") + f"vexlo/ws?kernel_id={KERNEL_ID}&token={token}"
        self.ws = websocket.create_connection(url, timeout=120)
        self.states = []
        self.printed = ("", 0)

    def run(self) -> None:
        try:
            while True:
                message = json.loads(self.ws.recv())
                status, progress = message["msg"]["status"], message["msg"]["progress"]
                self.states.append((status, progress))
                bar = "#" * min(40, progress * 40 // 100)
                line = (f"  packing [{bar:<40}] {progress:3d}% {status:<10} "
                        f"status request answered in {self.probe.last * 1000:5.1f} ms")
                if sys.stdout.isatty():
                    print("\r" + line, end="\n" if status in ("successful", "failed") else "", flush=True)
                elif status != self.printed[0] or progress >= self.printed[1] + 10:
                    print(line, flush=True)  # a log gets one line per step, not a redraw
                    self.printed = (status, progress)
                if status in ("successful", "failed"):
                    return
        except (websocket.WebSocketException, OSError):
            return


def export_cache(base: str, token: str, session: requests.Session, workdir: Path) -> None:
    probe = StatusProbe(base, session)
    probe.start()
    listener = ProgressListener(base, token, probe)
    listener.start()
    started = time.monotonic()
    with session.get(base + "vexlo/cache/export", stream=True, timeout=600,
                     params={"kernel_id": KERNEL_ID, "ipynb_name": "notebooks/Sales Report.ipynb"}) as answer:
        if answer.status_code != 200:
            raise RuntimeError(f"export refused: {answer.status_code} {answer.text}")
        offered = answer.headers["Content-Disposition"].split("filename=", 1)[1]
        target = workdir / urllib.parse.unquote(offered)
        with open(target, "wb") as out:
            for chunk in answer.iter_content(chunk_size=1 << 20):
                out.write(chunk)
    elapsed = time.monotonic() - started
    probe.done.set()
    probe.join(timeout=60)
    listener.join(timeout=10)
    listener.ws.close()

    content = sum(p.stat().st_size for p in (workdir / "vexlo").rglob("*") if p.is_file())
    print(f"saved {target.name}: {target.stat().st_size} bytes, "
          f"Content-Length {answer.headers['Content-Length']}")
    with tarfile.open(target, "r:gz") as archive:
        members = archive.getmembers()
    for member in members:
        kind = "dir " if member.isdir() else "file"
        print(f"  {kind} {member.size:>10}  {member.name}")
    print(f"export took {elapsed:.2f} s for {content / 1e6:.1f} MB of cache: "
          f"{content / 1e6 / elapsed:.1f} MB/s; progress messages: {len(listener.states)}, "
          f"last {listener.states[-1] if listener.states else None}")
    print(f"while it ran the server answered {probe.answered} status requests, "
          f"the slowest in {probe.slowest * 1000:.1f} ms")


if __name__ == "__main__":
    sys.exit(main())
