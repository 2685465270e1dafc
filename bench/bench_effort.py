"""The study behind the writer's effort rule (block_effort.hpp): which row of
the rule fires on which data, and what the archive costs against zlib 9.

Generates, seeded, under a work directory:

  - the corpora of bench/bench_writer.py (imported, not copied): logs, ml,
    mixed, small, sequences, arrays;
  - held-out kinds, for checking the rule on data it was not tuned on:
    FASTQ reads, protein FASTA, a genome, numpy arrays and masks, CSV and
    parquet tables, an SQLite database, copies of the machine's ELF
    libraries;
  - single-array kinds, one array per corpus: one-hot float32 labels,
    sparse float32 pixels (/255, mostly zeros), boolean arrays, int64
    Poisson counts, int32 and int64 category codes, uint8 masks, int16
    audio; and for the word coder, int64 codes of 200 equally likely
    classes, a random walk, Zipf-distributed counts (one or two value
    bytes a word) and zero-inflated counts (70% zeros).

For each corpus it makes the tar stream (Python's tarfile, PAX, no
compression), then:

  - packs it with the engine (tests/native/gzip_engine_driver.cpp, built by
    tests/native_build.py, in 1 MiB blocks on one thread, so that its CPU
    time is all compression) and prints how many blocks each row of the rule
    took (`--rows`);
  - compresses it with zlib 9 (what tarfile's w:gz at level 9 writes) and,
    unless --no-bound, with `libdeflate-gzip -8` (the bound the writer's time
    is held to);
  - prints size / zlib 9, CPU / zlib 9 and CPU / the level-8 bound, CPU being
    user + system time of the child processes (getrusage), the least of
    --repeat runs.

`--methods near_optimal ld:9 z:6 ...` adds, per corpus, each method alone on
the stream in 1 MiB blocks (bench/native/block_methods.cpp; a block method's
name as the engine codes it, or libdeflate, zlib and the word coder at other
settings), per row of the rule, against zlib 9 in the same blocks: the
figures that choose between the methods the rows name.

`--write` compares every block method on every corpus and writes the figures
to bench/EFFORT.md, per row of the rule: the sample statistics of the blocks
each corpus gave it and each method's size and CPU there. The rule's table
(block_effort.cpp) cites that file; re-tuning a row starts from it.

    python bench/bench_effort.py [--workdir DIR] [--repeat N] [--only NAME ...] [--methods M ...] [--write]
"""
import argparse
import io
import json
import os
import platform
import resource
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import bench_writer  # noqa: E402  (the bench corpora's generators)

SEED = 20270114
MiB = 1024 * 1024
EFFORT_MD = os.path.join(HERE, "EFFORT.md")
# The sample statistics block_methods prints per block (SampleStats).
STATS = ["literal_bits", "probe_bits", "high_bits", "zero_share", "text_share", "top12_share", "top40_share",
         "order1_ratio", "words8_ratio"]


def _write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def _npy(array):
    import numpy as np

    buffer = io.BytesIO()
    np.save(buffer, array)
    return buffer.getvalue()


# ---------------------------------------------------------------- single arrays
# One .npy file each, 8-16 MB, shaped as a notebook would keep it.


def one_hot(nrng):
    import numpy as np

    return np.eye(10, dtype=np.float32)[nrng.integers(0, 10, 300_000)]


def sparse_pixels(nrng):
    """28x28 digit-like images as float32 /255: a few strokes of soft ink on
    a blank background."""
    import numpy as np

    count, side = 3000, 28
    images = np.zeros((count, side, side), np.uint8)
    y, x = np.mgrid[0:side, 0:side]
    for k in range(count):
        for _ in range(int(nrng.integers(2, 5))):
            x0, y0, x1, y1 = nrng.uniform(5, 23, 4)
            t = np.linspace(0, 1, 30)[:, None, None]
            d = np.min(np.hypot(x - (x0 + (x1 - x0) * t), y - (y0 + (y1 - y0) * t)), axis=0)
            ink = np.clip(255 * (1.6 - d), 0, 255).astype(np.uint8)
            np.maximum(images[k], ink, out=images[k])
    return images.astype(np.float32) / 255


def booleans(nrng):
    """Flags: a rare random event, and thresholded smooth noise (runs)."""
    import numpy as np

    rare = nrng.random(6_000_000) < 0.03
    smooth = np.convolve(nrng.standard_normal(6_000_000), np.ones(50) / 50, mode="same") > 0.1
    return np.concatenate([rare, smooth])


def poisson_counts(nrng):
    import numpy as np

    return nrng.poisson(4, 1_500_000).astype(np.int64)


def _codes(nrng, n, dtype):
    """Category codes with a skewed (Zipf-like) frequency over 40 classes."""
    import numpy as np

    weights = 1 / np.arange(1, 41)
    return nrng.choice(40, n, p=weights / weights.sum()).astype(dtype)


def codes_int32(nrng):
    import numpy as np

    return _codes(nrng, 3_000_000, np.int32)


def codes_int64(nrng):
    import numpy as np

    return _codes(nrng, 1_500_000, np.int64)


def uniform_codes_int64(nrng):
    """Codes of 200 equally likely classes: a value repeats about every 200
    words, two in a row almost never."""
    import numpy as np

    return nrng.integers(0, 200, 1_500_000).astype(np.int64)


def walk_int64(nrng):
    """A random walk of unit steps (levels, positions): short repeats only."""
    import numpy as np

    return np.abs(np.cumsum(nrng.integers(-1, 2, 1_500_000))).astype(np.int64)


def zipf_int64(nrng):
    """Heavy-tailed counts (Zipf, capped at 5000): mostly one value byte,
    sometimes two."""
    import numpy as np

    return np.minimum(nrng.zipf(1.3, 1_500_000), 5000).astype(np.int64)


def zero_inflated_int64(nrng):
    """Counts of rare events: 70% zeros, Poisson otherwise."""
    import numpy as np

    counts = nrng.poisson(2, 1_500_000) + 1
    counts[nrng.random(len(counts)) < 0.7] = 0
    return counts.astype(np.int64)


def mask_planes(nrng):
    """Segmentation masks, uint8: a few labelled ellipses per 256x256 plane."""
    import numpy as np

    side = 256
    y, x = np.mgrid[0:side, 0:side]
    planes = np.zeros((160, side, side), np.uint8)
    for plane in planes:
        for label in range(1, int(nrng.integers(2, 6))):
            cx, cy = nrng.uniform(20, side - 20, 2)
            a, b = nrng.uniform(8, 50, 2)
            plane[((x - cx) / a) ** 2 + ((y - cy) / b) ** 2 < 1] = label
    return planes


def audio(nrng):
    """int16 PCM at 16 kHz: a few drifting tones under noise."""
    import numpy as np

    t = np.arange(5_000_000) / 16000
    signal = sum(nrng.uniform(1000, 6000) * np.sin(2 * np.pi * nrng.uniform(80, 2000) * t + 0.3 * np.sin(t * k))
                 for k in range(1, 4))
    return np.clip(signal + nrng.normal(0, 300, len(t)), -32768, 32767).astype(np.int16)


SINGLE = {"one_hot": one_hot, "sparse_pixels": sparse_pixels, "booleans": booleans,
          "poisson_i64": poisson_counts, "codes_i32": codes_int32, "codes_i64": codes_int64,
          "masks_u8": mask_planes, "audio_i16": audio, "uniform_codes_i64": uniform_codes_int64,
          "walk_i64": walk_int64, "zipf_i64": zipf_int64, "zero_inflated_i64": zero_inflated_int64}


def single_maker(name):
    def make(root):
        import numpy as np

        array = SINGLE[name](np.random.default_rng(SEED + sorted(SINGLE).index(name)))
        _write(os.path.join(root, f"{name}.npy"), _npy(array))

    return make


# ---------------------------------------------------------------- held-out kinds


def make_fastq(root):
    """Reads with their own error model: Illumina-like binned qualities."""
    import numpy as np

    nrng = np.random.default_rng(SEED + 20)
    bases = np.frombuffer(b"ACGT", np.uint8)
    genome = bases[nrng.integers(0, 4, 2_000_000)]
    n, length = 60_000, 100
    starts = nrng.integers(0, len(genome) - length, n)
    reads = genome[starts[:, None] + np.arange(length)].copy()
    errors = nrng.random((n, length)) < 0.01
    reads[errors] = bases[nrng.integers(0, 4, int(errors.sum()))]
    bins = np.frombuffer(b"#,:F", np.uint8)
    quality = bins[np.minimum(3, nrng.poisson(2.6, (n, length)))]
    records = (b"@read%d/1\n%s\n+\n%s" % (j, reads[j].tobytes(), quality[j].tobytes()) for j in range(n))
    _write(os.path.join(root, "reads.fastq"), b"\n".join(records) + b"\n")


def make_proteins(root):
    """Protein FASTA: sequences over the 20 amino acids with families of
    related chains, 60 letters a line."""
    import numpy as np

    nrng = np.random.default_rng(SEED + 21)
    letters = np.frombuffer(b"ACDEFGHIKLMNPQRSTVWY", np.uint8)
    freq = nrng.dirichlet(np.full(20, 5.0))
    families = [nrng.choice(20, int(nrng.integers(100, 800)), p=freq) for _ in range(300)]
    out = []
    for k in range(12_000):
        chain = families[int(nrng.integers(len(families)))].copy()
        mutate = nrng.random(len(chain)) < nrng.uniform(0.05, 0.6)
        chain[mutate] = nrng.choice(20, int(mutate.sum()), p=freq)
        seq = letters[chain].tobytes()
        lines = b"\n".join(seq[i:i + 60] for i in range(0, len(seq), 60))
        out.append(b">sp|P%05d|PROT_%d Protein %d OS=Homo sapiens\n%s" % (k, k, k % 997, lines))
    _write(os.path.join(root, "proteins.fasta"), b"\n".join(out) + b"\n")


def make_genome(root):
    """A genome unlike the bench's: GC-rich, no masking, dinucleotide bias."""
    import numpy as np

    nrng = np.random.default_rng(SEED + 22)
    transition = nrng.dirichlet(np.full(4, 2.0), 4)
    n = 12 * MiB
    # A first-order Markov chain, stepped through a table of next states by
    # quantized draw: a plain Python loop over bytes stays a few seconds.
    cumulative = np.cumsum(transition, axis=1)
    steps = [bytes(np.minimum(np.searchsorted(cumulative[s], (np.arange(4096) + 0.5) / 4096), 3).astype(np.uint8))
             for s in range(4)]
    draws = nrng.integers(0, 4096, n).tolist()
    chain, state = bytearray(n), 0
    for i, d in enumerate(draws):
        state = steps[state][d]
        chain[i] = state
    seq = np.frombuffer(bytes(chain), np.uint8).copy()
    for _ in range(400):  # duplications
        length = int(nrng.integers(200, 4000))
        src, dst = nrng.integers(0, n - length, 2)
        seq[dst:dst + length] = seq[src:src + length]
    text = np.frombuffer(b"GCAT", np.uint8)[seq].tobytes()
    lines = b"\n".join(text[i:i + 80] for i in range(0, len(text), 80))
    _write(os.path.join(root, "genome.fa"), b">scaffold_1\n" + lines + b"\n")


def make_numpy_mix(root):
    """Arrays as a model's notebook keeps them: embeddings, int8 quantised
    weights, float16 activations, a label vector, an RGB mask stack."""
    import numpy as np

    nrng = np.random.default_rng(SEED + 23)
    _write(os.path.join(root, "embeddings.npy"), _npy(nrng.normal(0, 0.1, (20_000, 128)).astype(np.float32)))
    _write(os.path.join(root, "weights_q8.npy"), _npy(np.clip(nrng.normal(0, 30, 4_000_000), -127, 127)
                                                      .astype(np.int8)))
    _write(os.path.join(root, "activations_f16.npy"), _npy(np.maximum(0, nrng.normal(0, 1, 3_000_000))
                                                           .astype(np.float16)))
    _write(os.path.join(root, "labels.npy"), _npy(nrng.integers(0, 1000, 1_000_000)))
    masks = np.zeros((40, 256, 256, 3), np.uint8)
    y, x = np.mgrid[0:256, 0:256]
    for m in masks:
        for _ in range(3):
            cx, cy, r = nrng.uniform(30, 226, 3)
            m[(x - cx) ** 2 + (y - cy) ** 2 < (r / 3) ** 2] = nrng.integers(0, 255, 3)
    _write(os.path.join(root, "mask_rgb.npy"), _npy(masks))


def make_tables(root):
    """A CSV export and the same rows as parquet (zstd and uncompressed)."""
    import numpy as np
    import pandas as pd

    nrng = np.random.default_rng(SEED + 24)
    n = 300_000
    frame = pd.DataFrame({
        "order": np.arange(n) + 10_000_000,
        "customer": nrng.integers(0, 80_000, n),
        "when": pd.date_range("2024-03-01", periods=n, freq="37s"),
        "country": nrng.choice(["DE", "FR", "US", "JP", "BR", "IN"], n, p=[.2, .1, .35, .1, .1, .15]),
        "amount": np.round(nrng.gamma(2, 30, n), 2),
        "discount": nrng.choice([0, 0, 0, 5, 10, 15], n),
        "rating": nrng.integers(1, 6, n),
    })
    _write(os.path.join(root, "orders.csv"), frame.to_csv(index=False).encode())
    for codec in ("zstd", "none"):
        buffer = io.BytesIO()
        frame.to_parquet(buffer, compression=None if codec == "none" else codec)
        _write(os.path.join(root, f"orders-{codec}.parquet"), buffer.getvalue())


def make_sqlite(root):
    import random
    import sqlite3

    rng = random.Random(SEED + 25)
    path = os.path.join(root, "app.sqlite")
    os.makedirs(root, exist_ok=True)
    db = sqlite3.connect(path)
    db.execute("create table events (id integer primary key, user text, kind text, value real, note text)")
    db.execute("create index by_user on events(user)")
    kinds = ["click", "view", "purchase", "signup", "logout"]
    rows = ((None, "u%05d" % rng.randint(0, 20000), rng.choice(kinds), round(rng.expovariate(0.1), 3),
             rng.choice(["", "", "mobile", "desktop", "promo code applied"])) for _ in range(400_000))
    db.executemany("insert into events values (?, ?, ?, ?, ?)", rows)
    db.commit()
    db.close()


def make_binaries(root):
    """Copies of the machine's shared libraries (ELF code and data): the
    first 40 MB of /usr/lib in name order."""
    total = 0
    for folder in ("/usr/lib/x86_64-linux-gnu", "/usr/lib"):
        if not os.path.isdir(folder):
            continue
        for name in sorted(os.listdir(folder)):
            path = os.path.join(folder, name)
            if not os.path.isfile(path) or os.path.islink(path) or ".so" not in name:
                continue
            with open(path, "rb") as f:
                data = f.read()
            if data[:4] != b"\x7fELF":
                continue
            _write(os.path.join(root, name), data)
            total += len(data)
            if total > 40 * MiB:
                return


HELD_OUT = {"fastq": make_fastq, "proteins": make_proteins, "genome": make_genome,
            "numpy_mix": make_numpy_mix, "tables": make_tables, "sqlite": make_sqlite,
            "binaries": make_binaries}


def corpora():
    """{name: (group, maker)} in the order they are measured."""
    found = {name: ("bench", maker) for name, maker in bench_writer.CORPORA.items()}
    found.update((name, ("held-out", maker)) for name, maker in HELD_OUT.items())
    found.update((name, ("single", single_maker(name))) for name in SINGLE)
    return found


# ---------------------------------------------------------------- measuring


def tar_stream(root, name, path):
    """The uncompressed PAX tar stream of the corpus at `root`."""
    with tarfile.open(path, "w", format=tarfile.PAX_FORMAT) as tar:
        tar.add(root, arcname=name)


def children_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def timed(cmd, stdin=None, stdout=subprocess.DEVNULL):
    """CPU seconds (user + system) of one child process running `cmd`."""
    before = children_cpu()
    result = subprocess.run(cmd, stdin=stdin, stdout=stdout, check=True, text=True)
    return children_cpu() - before, result


def zlib9_child(path):
    """Runs zlib 9 on `path` in a child, as tarfile's w:gz writes it (a gzip
    member, memLevel 8); prints its size."""
    c = zlib.compressobj(9, zlib.DEFLATED, 31)
    size = 0
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(MiB), b""):
            size += len(c.compress(chunk))
    print(size + len(c.flush()))


def build_tools(workdir):
    """(engine driver, block_methods), built with CMake as the tests build theirs."""
    from native_build import build_drivers

    folder = os.path.join(workdir, "drivers")
    os.makedirs(folder, exist_ok=True)
    built = build_drivers(folder, ["gzip_engine_driver", "block_methods"], "libdeflate", "")
    return built["gzip_engine_driver"], built["block_methods"]


def block_methods(engine):
    """The engine's block methods, in its list's order: the names its driver's
    --methods prints."""
    with tempfile.NamedTemporaryFile() as empty:
        out = empty.name + ".gz"
        try:
            result = subprocess.run([str(engine), "--methods", empty.name, out, "1", str(MiB)], check=True,
                                    capture_output=True, text=True)
        finally:
            if os.path.exists(out):
                os.unlink(out)
    return [line.split()[0] for line in result.stdout.splitlines()]


def measure(name, group, stream, engine, repeat, bound):
    """Prints the engine's size and CPU against zlib 9 (and the level-8
    bound) and the rows that fired; returns them."""
    out = stream + ".gz"
    engine_cpu, rows = [], None
    for _ in range(repeat):
        cpu, result = timed([str(engine), "--rows", stream, out, "1", str(MiB)], stdout=subprocess.PIPE)
        engine_cpu.append(cpu)
        rows = [line.rsplit(" ", 1) for line in result.stdout.splitlines()]
    size = os.path.getsize(out)
    os.unlink(out)
    z_cpu, z_size = [], 0
    for _ in range(repeat):
        cpu, result = timed([sys.executable, os.path.abspath(__file__), "--zlib9-child", stream],
                            stdout=subprocess.PIPE)
        z_cpu.append(cpu)
        z_size = int(result.stdout)
    found = {"name": name, "group": group, "mib": os.path.getsize(stream) / MiB, "size": size / z_size,
             "cpu": min(engine_cpu) / min(z_cpu), "rows": [(row, int(count)) for row, count in rows]}
    line = (f"{name:14s} {group:8s} size/z9 {found['size']:.4f}  cpu/z9 {found['cpu']:.3f}")
    if bound and shutil.which("libdeflate-gzip"):
        b_cpu = []
        for _ in range(repeat):
            with open(stream, "rb") as source:
                b_cpu.append(timed(["libdeflate-gzip", "-8", "-c"], stdin=source)[0])
        found["bound"] = min(engine_cpu) / min(b_cpu)
        line += f"  cpu/ld8 {found['bound']:.3f}"
    fired = ", ".join(f"{row} {count}" for row, count in rows if count != "0")
    print(f"{line}  (engine {min(engine_cpu):.2f} s, z9 {min(z_cpu):.2f} s; runs {max(engine_cpu) / min(engine_cpu):.2f}x"
          f" apart)\n{'':24s}rows: {fired}", flush=True)
    return found


def compare_methods(name, stream, tool, methods):
    """Each method alone on the stream, against zlib 9 in the same blocks,
    per row of the rule; prints and returns {row: {"method", "blocks",
    "stats": {stat: [min, max]}, "methods": {method: [bytes, cpu]}}}."""
    result = subprocess.run([str(tool), stream, str(MiB), "z:9", *methods], check=True, capture_output=True,
                            text=True)
    per_row = {}
    for block in map(json.loads, result.stdout.splitlines()):
        row = per_row.setdefault(block["row"], {"method": block["method"], "blocks": 0, "stats": {},
                                                "methods": {}})
        row["blocks"] += 1
        for stat in STATS:
            low, high = row["stats"].get(stat, (block[stat], block[stat]))
            row["stats"][stat] = [min(low, block[stat]), max(high, block[stat])]
        for method, (size, cpu) in block["methods"].items():
            got = row["methods"].setdefault(method, [0, 0.0])
            got[0] += size
            got[1] += cpu
    for row, found in per_row.items():
        z_size, z_cpu = found["methods"]["z:9"]
        cells = "  ".join(f"{m} {s / z_size:.3f}/{c / max(z_cpu, 1e-9):.2f}"
                          for m, (s, c) in found["methods"].items() if m != "z:9")
        print(f"{'':24s}{row:9s} z:9 {z_cpu:.2f} s; size/CPU of z:9: {cells}")
    return per_row


def _range(low, high, digits):
    return f"{low:.{digits}f}" if round(low, digits) == round(high, digits) else f"{low:.{digits}f}-{high:.{digits}f}"


def write_effort_md(path, command, corpora_found, per_corpus, methods, skipped):
    """bench/EFFORT.md: the corpora's totals, then per row of the rule (in
    the table's order) the statistics and each method's figures per corpus."""
    rows = [row for row, _ in corpora_found[0]["rows"]] if corpora_found else []
    lines = [
        "# The effort rule's figures",
        "",
        f"Written by `{command}` on {time.strftime('%Y-%m-%d')} ({platform.machine()}, {os.cpu_count()} CPUs,",
        f"Python's zlib {zlib.ZLIB_RUNTIME_VERSION}); run it again rather than editing this file. The rule's",
        "table is in src/vexlo/server/misc/cache_packer/archive/block_effort.cpp; each section below is one of",
        "its rows, in its order, named as there, with the block method it chooses.",
        "",
        "Every corpus is a PAX tar stream coded in 1 MiB blocks on one thread. Sizes and CPU times are",
        "against zlib 9 on the same input: the whole stream for the engine (`size/z9`, `cpu/z9`, and CPU",
        "against `libdeflate-gzip -8`, `cpu/ld8`), the same blocks primed with the 32 KiB before them",
        "(block_methods' `z:9`) per row. A method's cell is `size/CPU` of that. Statistics are",
        "SampleStats' (block_effort.hpp); high_bits -1 where no row asked for it, order1_ratio 1 and",
        "words8_ratio 0 where not counted.",
        "",
        "## Corpora",
        "",
        "| corpus | group | MiB | size/z9 | cpu/z9 | cpu/ld8 | rows that fired (blocks) |",
        "|---|---|---:|---:|---:|---:|---|",
    ]
    for found in corpora_found:
        fired = ", ".join(f"{row} {count}" for row, count in found["rows"] if count)
        bound = f"{found['bound']:.3f}" if "bound" in found else ""
        lines.append(f"| {found['name']} | {found['group']} | {found['mib']:.1f} | {found['size']:.4f} | "
                     f"{found['cpu']:.3f} | {bound} | {fired} |")
    if skipped:
        lines += ["", "Skipped (a generator's package missing): " + ", ".join(skipped) + "."]
    for row in rows:
        taken = [(name, per_row[row]) for name, per_row in per_corpus.items() if row in per_row]
        method = taken[0][1]["method"] if taken else None
        lines += ["", f"## {row}" + (f": {method}" if method else ""), ""]
        if not taken:
            lines.append("No block of these corpora took this row.")
            continue
        lines += ["Sample statistics of the blocks it took, least to most:", "",
                  "| corpus | blocks | " + " | ".join(STATS) + " |",
                  "|---|---:|" + "---:|" * len(STATS)]
        for name, found in taken:
            cells = " | ".join(_range(*found["stats"][stat], 2) for stat in STATS)
            lines.append(f"| {name} | {found['blocks']} | {cells} |")
        lines += ["", "Each method alone on those blocks, size/CPU of z:9:", "",
                  "| corpus | z:9 CPU s | " + " | ".join(methods) + " |",
                  "|---|---:|" + "---:|" * len(methods)]
        for name, found in taken:
            z_size, z_cpu = found["methods"]["z:9"]
            cells = " | ".join(f"{found['methods'][m][0] / z_size:.3f}/{found['methods'][m][1] / max(z_cpu, 1e-9):.2f}"
                               for m in methods)
            lines.append(f"| {name} | {z_cpu:.2f} | {cells} |")
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--workdir", default=os.path.join(tempfile.gettempdir(), "vexlo-effort"))
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--only", nargs="+", help="these corpora only (names as printed)")
    parser.add_argument("--methods", nargs="+",
                        help="also compare these methods (a block method's name, ld:N, z:N, zt:G,L,N,C, w)")
    parser.add_argument("--write", action="store_true",
                        help=f"compare every block method and write the figures to {os.path.relpath(EFFORT_MD)}")
    parser.add_argument("--no-bound", action="store_true", help="skip the libdeflate-gzip -8 bound")
    parser.add_argument("--zlib9-child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.zlib9_child:
        zlib9_child(args.zlib9_child)
        return
    os.makedirs(args.workdir, exist_ok=True)
    engine, tool = build_tools(args.workdir)
    methods = args.methods or []
    if args.write:
        every = block_methods(engine)
        methods = every + [m for m in methods if m not in every]
    print("size and CPU against zlib 9 on the same tar stream; the engine on one thread in 1 MiB blocks")
    corpora_found, per_corpus, skipped = [], {}, []
    for name, (group, maker) in corpora().items():
        if args.only and name not in args.only:
            continue
        root = os.path.join(args.workdir, name)
        try:
            bench_writer.ensure(root, maker)
        except ImportError as e:
            print(f"{name:14s} skipped: {e.name} is not installed (pip install '.[bench]')")
            skipped.append(name)
            continue
        stream = os.path.join(args.workdir, name + ".tar")
        tar_stream(root, name, stream)
        try:
            corpora_found.append(measure(name, group, stream, engine, args.repeat, not args.no_bound))
            if methods:
                per_corpus[name] = compare_methods(name, stream, tool, methods)
        finally:
            os.unlink(stream)
    if args.write:
        command = " ".join(["python bench/bench_effort.py", *sys.argv[1:]])
        write_effort_md(EFFORT_MD, command, corpora_found, per_corpus, methods, skipped)
        print(f"wrote {os.path.relpath(EFFORT_MD)}")


if __name__ == "__main__":
    main()
