"""Level and block size for the libdeflate writer, measured.

Builds the driver bench/native/deflate_settings.cpp (a CMake target of the
project's VEXLO_DRIVERS build, linked against the engine library built with
libdeflate) and compresses the tar stream of each bench corpus (tarfile's own, uncompressed,
so zlib level 9 of it is tarfile's archive) block by block on one thread, for
every level and block size asked for. Prints per setting the CPU seconds of
compression and of the block walk that joins the blocks, the archive size
against zlib level 9's, and the writer's memory for its blocks on this
machine (2 x threads + 2 slots of input and output). Settings run two at a
time; the times are each thread's own CPU time, so they hold under load.

    python bench/bench_deflate_settings.py [--workdir DIR] [--levels 8 9 10] [--blocks 512 1024]
"""
import argparse
import concurrent.futures
import json
import os
import subprocess
import sys
import tarfile
import tempfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
import bench_writer  # noqa: E402  (the corpora)
from native_build import build_drivers  # noqa: E402

KiB = 1024


def build(workdir):
    return build_drivers(os.path.join(workdir, "drivers"), ["deflate_settings"], deflate="libdeflate")["deflate_settings"]


def tar_stream(workdir, label, maker, pipeline):
    stream = os.path.join(workdir, f"{label}.tar")
    if not os.path.exists(stream):
        tree = bench_writer.ensure(os.path.join(workdir, label), maker)
        with tarfile.open(stream + ".part", "w", format=tarfile.PAX_FORMAT) as tar:
            tar.add(pipeline, arcname="pipeline.json")
            tar.add(tree, arcname="component-bench")
        os.rename(stream + ".part", stream)
    return stream


def zlib9_size(stream):
    compressor = zlib.compressobj(9, zlib.DEFLATED, 31)
    size = 0
    with open(stream, "rb") as f:
        for chunk in iter(lambda: f.read(4 * 1024 * KiB), b""):
            size += len(compressor.compress(chunk))
    return size + len(compressor.flush())


def measure(exe, stream, level, block):
    out = subprocess.run([exe, stream, str(level), str(block)], check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--workdir", default=os.path.join(tempfile.gettempdir(), "vexlo-bench"))
    parser.add_argument("--levels", type=int, nargs="+", default=[7, 8, 9, 10, 11, 12])
    parser.add_argument("--blocks", type=int, nargs="+", default=[256, 512, 1024, 2048, 4096], help="KiB")
    parser.add_argument("--corpus", choices=sorted(bench_writer.CORPORA), nargs="+", default=["mixed", "small"])
    args = parser.parse_args()
    os.makedirs(args.workdir, exist_ok=True)
    pipeline = os.path.join(args.workdir, "pipeline.json")
    with open(pipeline, "w") as f:
        json.dump({"bench": {"component_name": "bench", "parent_ids": []}}, f)
    exe = build(args.workdir)
    cpus = len(os.sched_getaffinity(0))
    slots = 2 * cpus + 2
    makers = bench_writer.CORPORA
    for label in args.corpus:
        stream = tar_stream(args.workdir, label, makers[label], pipeline)
        reference = zlib9_size(stream)
        print(f"\n== {label}: tar stream {os.path.getsize(stream):,d} B, zlib 9 {reference:,d} B "
              f"(load average {os.getloadavg()[0]:.2f})")
        print("  level  block KiB  compress s  walk s  walk %   size vs zlib 9  block memory MiB")
        settings = [(level, block) for level in args.levels for block in args.blocks]
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            results = pool.map(lambda s: measure(exe, stream, s[0], s[1] * KiB), settings)
            for (level, block), r in zip(settings, results):
                walk_share = 100 * r["walk_s"] / r["compress_s"] if r["compress_s"] else 0
                memory = slots * 2 * block / KiB
                print(f"  {level:5d}  {block:9d}  {r['compress_s']:10.2f}  {r['walk_s']:6.3f}  {walk_share:5.1f}%"
                      f"  {r['gzip_bytes'] / reference:15.4f}  {memory:16.0f}")
    print(f"\n(block memory: {slots} slots of input and output on {cpus} CPUs)")


if __name__ == "__main__":
    main()
