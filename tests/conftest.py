"""What the test modules share: the session's private working folder, the
server extension, and helpers for cache trees, random data, fetching, scratch
folders, export progress and the native drivers."""
import asyncio
import inspect
import json
import os
import random
import shutil
import struct
import tempfile
import time

import pytest
from tornado.httpclient import HTTPClientError

from live_server import wait_until  # noqa: F401 (shared with the launcher)
from native_build import BuildError, build_drivers

# The core library fixes its working directory when first imported; give the
# whole session a private one before anything imports it.
_SESSION_TEMP = None
if "VEXLO_TEMP_DIRECTORY" not in os.environ:
    _SESSION_TEMP = os.environ["VEXLO_TEMP_DIRECTORY"] = tempfile.mkdtemp(prefix="vexlo-tests-")


def pytest_unconfigure(config):
    if _SESSION_TEMP:
        shutil.rmtree(_SESSION_TEMP, ignore_errors=True)


pytest_plugins = ["pytest_jupyter.jupyter_server"]


def package_path():
    """PYTHONPATH for a child interpreter that must import the same build of
    the package as this one: every directory the package spans (a source
    checkout puts the modules and the stand-ins in two)."""
    import vexlo

    return os.pathsep.join(str(os.path.dirname(part)) for part in vexlo.__path__)


@pytest.fixture
def jp_server_config():
    return {"ServerApp": {"jpserver_extensions": {"vexlo.server": True}}}


async def wait_until_async(condition, what, timeout=30, pause=0.01):
    """wait_until on the event loop, which keeps serving meanwhile (the test
    server runs on it too); `condition` may be a coroutine function."""
    deadline = time.monotonic() + timeout
    while True:
        result = condition()
        if inspect.isawaitable(result):
            result = await result
        if result:
            return result
        if time.monotonic() > deadline:
            raise AssertionError(f"never happened within {timeout} s: {what}")
        await asyncio.sleep(pause)


def make_tree(root, files):
    """Create `files` ({relative path: bytes}) under `root`; return root as text."""
    for rel, data in files.items():
        path = root / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
    root.mkdir(parents=True, exist_ok=True)
    return str(root)


def big_cache(root, megabytes):
    """A tree of `megabytes` MB of compressible but not trivial data: slow
    enough to pack that a cancel or a signal arrives while blocks are still
    being compressed."""
    words = os.urandom(1 << 16).hex().encode()
    return make_tree(root, {f"part{i}.txt": words[i:] + words[:i] for i in range(megabytes * 8)})


def table_cache(root, megabytes, seed=7):
    """A tree of `megabytes` MB of sensor CSV that compresses about 3.5:1 and
    keeps the matcher busy: the archive's compressed size stays far below
    the content's for the whole packing."""
    chunk = numeric_csv(random.Random(seed), 1 << 20)
    return make_tree(root, {f"part{i}.csv": chunk[i * 7919:] + chunk[:i * 7919] for i in range(megabytes)})


def random_bytes(rng, n):
    """rng.randbytes(n), which Python 3.8 lacks (same bytes on later versions)."""
    return rng.getrandbits(8 * n).to_bytes(n, "little") if n else b""


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


async def fetch(jp_fetch, *path, **params):
    """The server's reply to GET `path` with query `params`, error replies included."""
    try:
        return await jp_fetch(*path, params=params, request_timeout=60)
    except HTTPClientError as exp:
        return exp.response


def export_dirs(folder):
    """The export scratch directories in `folder`."""
    return [p.name for p in folder.iterdir() if p.name.startswith("vexlo-cache-")]


@pytest.fixture
def scratch(tmp_path, monkeypatch):
    """The test's own folder for export scratch directories (Python's tempdir,
    where the export makes them); it must hold none of them afterwards."""
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(scratch))
    yield scratch
    assert export_dirs(scratch) == []


async def received(ws, quiet=0.3):
    """Every message the connection got, until it stays quiet for `quiet` s."""
    messages = []
    while True:
        try:
            message = await asyncio.wait_for(ws.read_message(), quiet)
        except asyncio.TimeoutError:
            return messages
        messages.append(message)


def states(messages):
    """(status, progress) of each export progress message."""
    return [(m["msg"]["status"], m["msg"]["progress"]) for m in map(json.loads, messages)]


@pytest.fixture(scope="session")
def native_driver(tmp_path_factory):
    """native_driver(target, deflate="auto"): the executable of a native driver
    target, built with CMake (warnings as errors) against the engine library
    with block compressor `deflate`; one build folder per compressor for the
    session. Skips when that compressor is not installed."""
    folders, built = {}, {}

    def build(target, deflate="auto"):
        if (target, deflate) not in built:
            if deflate not in folders:
                folders[deflate] = tmp_path_factory.mktemp(f"drivers-{deflate}")
            try:
                built[target, deflate] = build_drivers(folders[deflate], [target], deflate, "-Werror")[target]
            except BuildError as e:
                if "finds no libdeflate" in str(e):
                    pytest.skip("libdeflate not found by pkg-config (Debian: libdeflate-dev)")
                raise
        return built[target, deflate]

    return build


# Data of the kinds a notebook cache holds, made reproducibly from `rng`
# (a random.Random, as random_bytes above): each takes the writer's
# compressor down a different road.


def float_column(rng, n):
    """Measured values as doubles: entropy in the bytes, nothing to match."""
    return struct.pack("<%dd" % (n // 8), *(rng.gauss(20.0, 5.0) for _ in range(n // 8)))


def numeric_csv(rng, n):
    """Random sensor readings as CSV text: short matches everywhere."""
    rows = (b"%d,2026-%02d-%02d,s%03d,%.3f,%s\n" % (i, rng.randint(1, 12), rng.randint(1, 28), rng.randint(0, 199),
                                                  rng.gauss(20, 5), rng.choice((b"ok", b"warn", b"fail")))
            for i in range(n // 20 + 1))
    return b"".join(rows)[:n]


def word_text(rng, n, vocabulary=200, letters=b"abcdefgh"):
    """Words from a small vocabulary: long matches."""
    words = [bytes(rng.choice(letters) for _ in range(rng.randint(1, 8))) for _ in range(vocabulary)]
    return b" ".join(rng.choice(words) for _ in range(n // 3 + 1))[:n]


def dna_sequence(rng, n):
    """A soft-masked genome as FASTA lines: AT-rich background, short tandem
    repeats, families of mutated repeats, mutated copies (some reverse
    complemented) of earlier stretches, and lowercase (masked) windows."""
    families = ["".join(rng.choice("ACGT") for _ in range(rng.randint(150, 320))) for _ in range(12)]

    def mutated(seq):
        rate = rng.uniform(0.01, 0.12)
        return "".join(rng.choice("ACGT") if rng.random() < rate else c for c in seq)

    parts, size = [], 0
    while size < n:
        r = rng.random()
        if r < 0.55:
            part = "".join(rng.choices("ACGT", weights=(29, 21, 21, 29), k=rng.randint(200, 5000)))
        elif r < 0.70:
            part = "".join(rng.choice("ACGT") for _ in range(rng.randint(1, 5))) * rng.randint(5, 60)
        elif r < 0.85:
            part = mutated(rng.choice(families))
        else:
            earlier = "".join(parts[-200:]) or families[0]
            length = min(len(earlier), rng.randint(300, 8000))
            start = rng.randrange(len(earlier) - length + 1)
            part = earlier[start:start + length]
            if rng.random() < 0.3:
                part = part[::-1].translate(str.maketrans("ACGT", "TGCA"))
            part = mutated(part)
        parts.append(part)
        size += len(part)
    bases = "".join(parts)[:n]
    windows = [w.lower() if rng.random() < 0.2 else w for w in (bases[i:i + 5000] for i in range(0, n, 5000))]
    bases = "".join(windows)
    return "\n".join(bases[i:i + 60] for i in range(0, len(bases), 60)).encode()[:n]


def rounded_doubles(rng, n):
    """Prices as doubles rounded to cents: each byte tells much about the
    next, and the repeats are short."""
    return struct.pack("<%dd" % (n // 8), *(round(rng.lognormvariate(3, 1), 2) for _ in range(n // 8)))


def fastq_reads(rng, n, length=150):
    """Sequencing reads as FASTQ: random bases, and quality scores in runs
    that drift down along each read."""
    records, size, read = [], 0, 0
    while size < n:
        bases = "".join(rng.choices("ACGT", k=length))
        score, scores = 38.0, []
        for _ in range(length):
            if rng.random() < 0.25:
                score = min(40.0, max(2.0, score - 0.3 + rng.gauss(0, 1.5)))
            scores.append(chr(33 + round(score)))
        record = "@SIM:1:FC01:%d:%d\n%s\n+\n%s\n" % (read // 4000 + 1, rng.randrange(1 << 20), bases, "".join(scores))
        records.append(record)
        size += len(record)
        read += 1
    return "".join(records).encode()[:n]


def masks(rng, n, side=512):
    """Segmentation masks as uint8 planes: a filled disc of ones on zeros."""
    planes, size = [], 0
    while size < n:
        cy, cx, r = rng.randrange(60, side - 60), rng.randrange(60, side - 60), rng.randrange(10, 60)
        rows = []
        for y in range(side):
            half = int(max(0, r * r - (y - cy) ** 2) ** 0.5) if abs(y - cy) <= r else -1
            lo, hi = (cx - half, cx + half + 1) if half >= 0 else (0, 0)
            rows.append(bytes(lo) + b"\x01" * (hi - lo) + bytes(side - hi))
        planes.append(b"".join(rows))
        size += side * side
    return b"".join(planes)[:n]


# Single arrays as numpy writes them (raw little-endian values), the kinds
# where the writer must choose between libdeflate's levels and zlib.


def one_hot(rng, n, classes=10):
    """float32 one-hot label rows: one 1.0 among zeros."""
    row = [struct.pack("<%df" % classes, *(1.0 if k == c else 0.0 for k in range(classes))) for c in range(classes)]
    return b"".join(rng.choice(row) for _ in range(n // (4 * classes) + 1))[:n]


def poisson_counts(rng, n, lam=4.0):
    """int64 counts of a Poisson process: small values, seven zero bytes in
    eight."""
    def draw():
        k, p, limit = 0, rng.random(), 2.718281828459045 ** -lam
        while p > limit:
            k += 1
            p *= rng.random()
        return k

    return struct.pack("<%dq" % (n // 8), *(draw() for _ in range(n // 8)))


def category_codes(rng, n, classes=40, width=4):
    """int32 (or int64) category codes with skewed class frequencies."""
    codes = rng.choices(range(classes), weights=[1 / (k + 1) for k in range(classes)], k=n // width)
    return struct.pack("<%d%s" % (len(codes), "i" if width == 4 else "q"), *codes)


def rare_flags(rng, n, p=0.03):
    """A boolean array of rare events, a byte each."""
    return bytes(rng.random() < p for _ in range(n))
