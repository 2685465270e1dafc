"""A fixed small cache packed by the installed engine with one thread: the
archive two machines must write byte for byte alike. Everything the archive
records is fixed here: the contents (seeded), the modes and the times; the
owner is whoever runs it (root in scripts/test_arm64, on both machines).

Usage: python tests/engine_sample.py OUT.tar.gz"""
import os
import random
import struct
import sys
from pathlib import Path

from vexlo.server.misc.cache_packer import PIPELINE_JSON, CacheCompressThread

MTIME = 1_700_000_000


def corpus():
    """Kinds of data that take different block methods: text, rounded
    doubles, a column of small integers, random bytes, zeros."""
    rng = random.Random(32)
    words = [bytes(rng.choice(b"abcdefghij") for _ in range(rng.randint(2, 9))) for _ in range(300)]
    text = b" ".join(rng.choice(words) for _ in range(120_000))
    doubles = b"".join(struct.pack("<d", round(rng.gauss(0, 1), 3)) for _ in range(60_000))
    integers = b"".join(struct.pack("<i", rng.randint(0, 1000)) for _ in range(100_000))
    return {
        "notes/log.txt": text,
        "frame/col.f64": doubles,
        "frame/col.i32": integers,
        "model.bin": rng.getrandbits(8 * 300_000).to_bytes(300_000, "little"),
        "empty/zeros": bytes(200_000),
    }


def write(folder, out):
    """Lays the corpus out under `folder` and packs it into `out`; returns `out`."""
    folder = Path(folder)
    tree = folder / "cache"
    for rel, data in corpus().items():
        path = tree / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        path.chmod(0o644)
    pipeline = folder / PIPELINE_JSON
    pipeline.write_text('{"a": {"component_name": "load"}}')
    pipeline.chmod(0o644)
    for path in [pipeline, *sorted(tree.rglob("*"), reverse=True), tree]:
        if path.is_dir():
            path.chmod(0o755)
        os.utime(path, (MTIME, MTIME))
    asked = os.environ.get("VEXLO_EXPORT_THREADS")
    os.environ["VEXLO_EXPORT_THREADS"] = "1"
    try:
        thread = CacheCompressThread(str(out), {"filepath": str(pipeline), "arcname": PIPELINE_JSON},
                                     [{"dirpath": str(tree), "arcname": "component-a"}])
        thread.run()
    finally:
        if asked is None:
            del os.environ["VEXLO_EXPORT_THREADS"]
        else:
            os.environ["VEXLO_EXPORT_THREADS"] = asked
    if thread.error() is not None:
        raise thread.error()
    return Path(out)


if __name__ == "__main__":
    import tempfile

    with tempfile.TemporaryDirectory() as scratch:
        write(scratch, sys.argv[1])
