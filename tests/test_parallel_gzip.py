"""The parallel gzip engine on its own, with each block compressor: the engine
library linked into a small driver, then checked with zlib, the gzip module
and gzip(1)."""
import gzip
import io
import os
import random
import shutil
import struct
import subprocess
import tarfile
import zlib

import pytest
from hypothesis import given, settings, strategies as st

from conftest import (category_codes, dna_sequence, fastq_reads, float_column, masks, numeric_csv, one_hot,
                      poisson_counts, random_bytes, rare_flags, rounded_doubles, word_text)

BLOCK = 32 * 1024  # the smallest block: many blocks from little data
MIB = 1024 * 1024  # the writer's block

# A fixed level per compressor, for tests that need every block to go
# through the matcher (and, with libdeflate, through the joint).
FIXED_LEVEL = {"zlib": "9", "libdeflate": "8"}
# The block methods, as the driver names them (block_method.hpp).
METHODS = ["literals", "low", "high", "near_optimal", "zlib", "words"]


@pytest.fixture(scope="module", params=["libdeflate", "zlib"])
def engine(request, native_driver):
    """(block compressor, driver) for each block compressor."""
    return request.param, native_driver("gzip_engine_driver", deflate=request.param)


@pytest.fixture(scope="module")
def libdeflate(native_driver):
    """The libdeflate compressor's driver: only it chooses an effort per
    block and has a literal coder."""
    return "libdeflate", native_driver("gzip_engine_driver", deflate="libdeflate")


def run(engine, tmp_path, data, threads, block=BLOCK, options=()):
    """(gzip file's bytes, driver's stdout) for `data`."""
    src, dst = tmp_path / "in.bin", tmp_path / "out.gz"
    src.write_bytes(data)
    result = subprocess.run([str(engine[1]), *options, str(src), str(dst), str(threads), str(block)],
                            check=True, capture_output=True, text=True)
    return dst.read_bytes(), result.stdout


def counts(report):
    """{name: blocks} from the driver's "name count" lines (--methods, --rows)."""
    return {name: int(count) for name, count in (line.split() for line in report.splitlines())}


def sample(size, seed):
    rng = random.Random(seed)
    words = [bytes(rng.choice(b"abcdefgh") for _ in range(rng.randint(1, 8))) for _ in range(200)]
    text = b" ".join(rng.choice(words) for _ in range(size // 3 + 1))[: size // 2]
    return text + random_bytes(rng, size - len(text))


def check_one_member(out, data, path):
    """`out` is one gzip member of `data`, read whole by a single-member reader."""
    d = zlib.decompressobj(wbits=31)
    assert d.decompress(out) == data and d.eof and d.unused_data == b""
    # One member, so the trailer is the whole input's CRC-32 and length.
    crc, length = struct.unpack("<II", out[-8:])
    assert crc == zlib.crc32(data) and length == len(data) % 2**32
    if shutil.which("gzip"):
        subprocess.run(["gzip", "-t", str(path)], check=True)


@pytest.mark.parametrize("size", [0, 1, BLOCK - 1, BLOCK, BLOCK + 1, 5 * BLOCK, 37 * BLOCK + 12345])
@pytest.mark.parametrize("threads", [1, 3])
def test_stream_decompresses_to_its_input(engine, tmp_path, size, threads):
    data = sample(size, seed=size + threads)
    out, _ = run(engine, tmp_path, data, threads)
    assert out[:4] == b"\x1f\x8b\x08\x00" and out[8] == 2  # deflate, best-compression flag
    assert gzip.decompress(out) == data
    check_one_member(out, data, tmp_path / "out.gz")


@pytest.mark.parametrize("size", [BLOCK, 4 * BLOCK + 3, 1024 * 1024 + 1])
def test_incompressible_input_is_stored(engine, tmp_path, size):
    # Random bytes come out as stored blocks, whose ends are byte-aligned.
    data = random_bytes(random.Random(size), size)
    out, report = run(engine, tmp_path, data, threads=2, options=["--methods"])
    check_one_member(out, data, tmp_path / "out.gz")
    if engine[0] == "libdeflate":
        # Stored without a matcher: 5 bytes per stored block of at most
        # 65535 bytes, one more per literal sub-block (128 KiB) and per
        # stream block, beside the gzip header and trailer.
        assert counts(report)["literals"] >= size // BLOCK, "every full block coded as literals"
        pieces = -(-size // 65535) + -(-size // (128 * 1024)) + -(-size // BLOCK)
        assert len(out) <= 18 + size + 5 * pieces
    else:
        assert len(out) < size + size // 1000 + 64


def test_dictionary_carries_matches_across_blocks(engine, tmp_path):
    # Only zlib takes a preset dictionary; libdeflate starts every block with
    # no history, which is why its blocks are large.
    if engine[0] != "zlib":
        pytest.skip("the libdeflate compressor keeps no history across blocks")
    # 16 KiB of random bytes repeated, in 32 KiB blocks: with the previous
    # block's tail as dictionary only the first copy costs its size; without
    # it every block would start with 16 KiB of literals (over 300 KiB here).
    chunk = random_bytes(random.Random(7), BLOCK // 2)
    data = chunk * 40
    out, _ = run(engine, tmp_path, data, threads=2)
    assert gzip.decompress(out) == data
    assert len(out) < BLOCK


# Inputs made of pieces of different kinds, so blocks end anywhere in a byte.
PIECES = st.lists(st.tuples(st.sampled_from(["text", "random", "zeros", "digits"]),
                            st.integers(BLOCK // 4, 2 * BLOCK), st.integers(0, 2**32 - 1)), min_size=2, max_size=8)


def build_input(pieces):
    parts = []
    for kind, size, seed in pieces:
        rng = random.Random(seed)
        if kind == "text":
            parts.append(sample(2 * size, seed)[:size])
        elif kind == "random":
            parts.append(random_bytes(rng, size))
        elif kind == "zeros":
            parts.append(bytes(size))
        else:
            parts.append(b"".join(b"%d," % rng.randint(0, 10**rng.randint(1, 9)) for _ in range(size // 4))[:size])
    return b"".join(parts)


def test_joint_at_every_bit_position(engine, tmp_path):
    seen = set()

    @settings(max_examples=60, deadline=None, database=None)
    @given(PIECES)
    def check(pieces):
        data = build_input(pieces)
        out, report = run(engine, tmp_path, data, 2, BLOCK, ["--level", FIXED_LEVEL[engine[0]], "--joints"])
        joints = [int(bits) for bits in report.split()]
        # One joint after each block but the last (an input that ends on a
        # block boundary may be followed by an empty last block).
        assert (len(data) - 1) // BLOCK <= len(joints) <= len(data) // BLOCK
        check_one_member(out, data, tmp_path / "out.gz")
        seen.update(joints)

    check()
    assert seen == set(range(1, 9)), f"joints ended with {sorted(seen)} used bits only"


def test_write_failure_is_reported(engine, tmp_path):
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    src = tmp_path / "in.bin"
    src.write_bytes(sample(10 * BLOCK, seed=1))
    result = subprocess.run([str(engine[1]), str(src), "/dev/full", "2", str(BLOCK)],
                            capture_output=True, text=True)
    assert result.returncode == 1
    assert "No space left on device" in result.stderr and "/dev/full" in result.stderr


def test_feeding_after_finish_is_refused(engine, tmp_path):
    src, dst = tmp_path / "in.bin", tmp_path / "out.gz"
    data = sample(3 * BLOCK, seed=2)
    src.write_bytes(data)
    result = subprocess.run([str(engine[1]), "--after-finish", str(src), str(dst), "2", str(BLOCK)],
                            capture_output=True, text=True)
    assert result.returncode == 3
    assert "after finish" in result.stderr and str(dst) in result.stderr
    # The finished stream stays whole.
    assert gzip.decompress(dst.read_bytes()) == data


def tar_of(files):
    """An uncompressed PAX tar stream of `files` ({name: bytes})."""
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w", format=tarfile.PAX_FORMAT) as tar:
        for name, data in files.items():
            info = tarfile.TarInfo(name)
            info.size = len(data)
            tar.addfile(info, io.BytesIO(data))
    return buffer.getvalue()


def test_adaptive_stream_mixes_every_method(libdeflate, tmp_path):
    """Stored, literal, low- and high-effort, near-optimal, zlib and word
    coder blocks in one tar stream, cut at and around the block size, decode as one deflate
    stream that gzip, GNU tar and tarfile read, the same bytes at any
    thread count."""
    rng = random.Random(11)
    files = {
        "random.bin": random_bytes(rng, MIB),                 # stored
        "floats.f64": float_column(rng, MIB - 1),             # literals
        "words.txt": word_text(rng, MIB + 1, 2000, b"abcdefghijklmnop"),  # the low level
        "table.csv": numeric_csv(rng, 3 * MIB),               # the high level
        "prices.f64": rounded_doubles(rng, 2 * MIB),          # near-optimal
        "labels.f32": one_hot(rng, 2 * MIB),                  # zlib
        "counts.i64": poisson_counts(rng, 2 * MIB + 8),       # the word coder
        "zeros": bytes(BLOCK + 7),
        "short.f64": float_column(rng, 100),
    }
    data = tar_of(files)
    outs = {}
    for threads in (1, 3):
        outs[threads], report = run(libdeflate, tmp_path, data, threads, block=MIB, options=["--methods"])
        assert list(counts(report)) == METHODS and all(counts(report).values()), report
    assert outs[1] == outs[3]
    path = tmp_path / "out.gz"
    check_one_member(outs[1], data, path)
    with tarfile.open(path, "r:gz") as tar:
        assert {m.name: tar.extractfile(m).read() for m in tar.getmembers()} == files
    if shutil.which("tar"):
        listed = subprocess.run(["tar", "-tzf", str(path)], check=True, capture_output=True, text=True).stdout
        assert listed.split() == list(files)
        unpacked = tmp_path / "unpacked"
        unpacked.mkdir()
        subprocess.run(["tar", "-xzf", str(path), "-C", str(unpacked)], check=True)
        assert all((unpacked / name).read_bytes() == data for name, data in files.items())


MATCHER_LEVEL = {"low": "6", "high": "8", "near_optimal": "10"}  # EffortRule's levels


@pytest.mark.parametrize("method", METHODS)
def test_forced_method_codes_every_block(libdeflate, tmp_path, method):
    """A method forced by name codes every block, is counted under its name,
    and the matcher methods code as libdeflate's fixed level they name."""
    rng = random.Random(3)
    data = sample(3 * BLOCK, 3) + poisson_counts(rng, 2 * BLOCK) + bytes(BLOCK + 7)
    out, report = run(libdeflate, tmp_path, data, threads=2, options=["--method", method, "--methods"])
    check_one_member(out, data, tmp_path / "out.gz")
    blocks = -(-len(data) // BLOCK)
    assert counts(report) == {m: blocks if m == method else 0 for m in METHODS}, report
    if method in MATCHER_LEVEL:
        fixed, _ = run(libdeflate, tmp_path, data, threads=2, options=["--level", MATCHER_LEVEL[method]])
        assert out[10:] == fixed[10:]  # past the header, whose XFL byte follows the level


def test_method_names_are_checked(engine, tmp_path):
    src = tmp_path / "in.bin"
    src.write_bytes(sample(BLOCK, 4))
    command = [str(engine[1]), "--method", "{}", str(src), str(tmp_path / "out.gz"), "2", str(BLOCK)]
    unknown = subprocess.run([c.replace("{}", "nearoptimal") for c in command], capture_output=True, text=True)
    assert unknown.returncode == 2 and "nearoptimal" in unknown.stderr
    assert all(name in unknown.stderr for name in METHODS), unknown.stderr
    words = subprocess.run([c.replace("{}", "words") for c in command], capture_output=True, text=True)
    if engine[0] == "zlib":
        assert words.returncode == 2 and "zlib builds" in words.stderr, words.stderr
    else:
        assert words.returncode == 0, words.stderr


def ten_letter_words(rng, n):
    words = [bytes(rng.choice(b"abcdefghij") for _ in range(rng.randint(2, 9))) for _ in range(4000)]
    return b" ".join(rng.choice(words) for _ in range(n // 5))[:n]


def methods_and_size(libdeflate, tmp_path, data):
    """The driver's block counts by method for `data` in 1 MiB blocks, once
    the stream checks out, and its size against zlib 9's."""
    out, report = run(libdeflate, tmp_path, data, threads=2, block=MIB, options=["--methods"])
    check_one_member(out, data, tmp_path / "out.gz")
    level9 = zlib.compressobj(9, zlib.DEFLATED, 31)
    return counts(report), len(out) / len(level9.compress(data) + level9.flush())


@pytest.mark.parametrize("make", [dna_sequence, fastq_reads, rounded_doubles])
def test_near_optimal_level_where_repeats_are_short(libdeflate, tmp_path, make):
    """Soft-masked genomes, sequencing reads and rounded doubles: level 8
    (and, for genomes, a literal code) can come out larger than zlib 9 there;
    the near-optimal level does not."""
    methods, size = methods_and_size(libdeflate, tmp_path, make(random.Random(4), 3 * MIB))
    assert methods["near_optimal"] == 3, methods
    assert size <= 1


def int64_words(values):
    return struct.pack("<%dq" % len(values), *values)


def random_walk(rng, n):
    """int64 positions of a walk of unit steps: values in one or two bytes,
    short repeats only."""
    position, values = 0, []
    for _ in range(n // 8):
        position = abs(position + rng.choice((-1, 0, 1)))
        values.append(position)
    return int64_words(values)


@pytest.mark.parametrize("make, method", [
    (lambda rng, n: category_codes(rng, n, width=4), "near_optimal"),
    (lambda rng, n: poisson_counts(rng, n), "words"),
    (lambda rng, n: category_codes(rng, n, width=8), "words"),
    (lambda rng, n: category_codes(rng, n, classes=200, width=8), "words"),
    (lambda rng, n: poisson_counts(rng, n, lam=30.0), "words"),
    (lambda rng, n: random_walk(rng, n), "words"),
    (lambda rng, n: poisson_counts(rng, n, lam=0.7), "words"),
    (one_hot, "zlib"),
    (rare_flags, "zlib"),
    (masks, "zlib"),
], ids=["codes32", "counts", "codes64", "codes64 of 200", "wide counts", "walk", "rare counts", "one-hot", "flags", "masks"])
def test_single_arrays_against_zlib_9(libdeflate, tmp_path, make, method):
    """Arrays of one kind, where libdeflate's level 8 came out 4-14% larger
    than zlib 9: small integers in 4-byte words go to the near-optimal level,
    in 8-byte words to the word coder, long runs of zeros (labels, flags,
    masks) to zlib."""
    data = make(random.Random(8), 3 * MIB)
    methods, size = methods_and_size(libdeflate, tmp_path, data)
    assert methods[method] == 3, methods
    if method == "zlib":
        # zlib in blocks pays a sync flush and a fresh code per block: up to
        # a few dozen bytes each, which masks (a few KiB in all) notice.
        level9 = zlib.compressobj(9, zlib.DEFLATED, 31)
        size -= 3 * 40 / len(level9.compress(data) + level9.flush())
    assert size <= 1


@pytest.mark.parametrize("make", [ten_letter_words, numeric_csv])
def test_near_optimal_level_not_for_text(libdeflate, tmp_path, make):
    """Words over ten letters have as few byte values as genomes, and CSV
    digits as many short repeats as doubles, but level 10 would cost several
    times level 8 there and level 8 already beats zlib 9."""
    _, report = run(libdeflate, tmp_path, make(random.Random(2), 2 * MIB), threads=2, block=MIB,
                    options=["--methods"])
    assert counts(report)["near_optimal"] == 0, report


def test_memory_budget_counts_at_least_what_each_level_allocates(native_driver):
    # The budget decides how many workers start; a compressor larger than it
    # counts (a newer libdeflate) would let a stream pass its budget.
    driver = native_driver("coder_memory_driver", deflate="libdeflate")
    done = subprocess.run([str(driver)], check=True, capture_output=True, text=True)
    rows = [tuple(map(int, line.split())) for line in done.stdout.splitlines()]
    assert [level for level, _, _ in rows] == list(range(13)) and all(allocated > 0 for _, allocated, _ in rows)
    assert [level for level, allocated, counted in rows if allocated > counted] == [], rows


def test_same_input_same_bytes_whatever_the_threads(engine, tmp_path):
    rng = random.Random(5)
    data = b"".join([numeric_csv(rng, 300_000), random_bytes(rng, 200_000), float_column(rng, 300_000),
                     sample(400_000, 9), dna_sequence(rng, 300_000),
                     fastq_reads(rng, 200_000), rounded_doubles(rng, 200_000), one_hot(rng, 200_000),
                     poisson_counts(rng, 200_000)])
    outs = {run(engine, tmp_path, data, threads)[0] for threads in (1, 2, 5)}
    assert len(outs) == 1
    check_one_member(outs.pop(), data, tmp_path / "out.gz")


def skewed(rng, n):
    """Bytes whose frequencies follow the Fibonacci numbers: their optimal
    Huffman code is deeper than deflate's 15 bits."""
    fib = [1, 1]
    while len(fib) < 26:
        fib.append(fib[-1] + fib[-2])
    return bytes(rng.choices(range(26), weights=fib, k=n))


@pytest.mark.parametrize("kind", ["one byte", "two bytes", "skewed", "random", "text"])
@pytest.mark.parametrize("size", [1, 128 * 1024 - 1, 128 * 1024 + 1, 5 * BLOCK])
def test_literal_coder(libdeflate, tmp_path, kind, size):
    """The literal coder alone, on the shapes of code it must build."""
    rng = random.Random(size)
    data = {"one byte": lambda: b"a" * size,
            "two bytes": lambda: bytes(rng.choice(b"ab") for _ in range(size)),
            "skewed": lambda: skewed(rng, size),
            "random": lambda: random_bytes(rng, size),
            "text": lambda: sample(2 * size, size)[:size]}[kind]()
    out, _ = run(libdeflate, tmp_path, data, threads=2, options=["--method", "literals"])
    check_one_member(out, data, tmp_path / "out.gz")
    if kind == "two bytes" and size > BLOCK:
        # With the end code beside them, the two bytes take 1 and 2 bits.
        assert len(out) < size * 1.5 / 8 + 200



WORD_SHAPES = {
    "zeros": lambda rng, n: bytes(n),
    "runs of one value": lambda rng, n: int64_words([v for v in range(n // 800 + 1) for _ in range(100)])[:n],
    "counts": lambda rng, n: poisson_counts(rng, n),
    "codes of 200": lambda rng, n: category_codes(rng, n, classes=200, width=8),
    "2-byte values": lambda rng, n: int64_words([rng.randrange(65536) for _ in range(n // 8)]),
    "random": random_bytes,
    "text": lambda rng, n: sample(2 * n, n)[:n],
}


@pytest.mark.parametrize("kind", list(WORD_SHAPES))
@pytest.mark.parametrize("size", [1, 15, BLOCK + 9, 5 * BLOCK])
def test_word_coder(libdeflate, tmp_path, kind, size):
    """The word coder alone, in small blocks whose matches reach back into the
    block before, on what it is for and what it must survive: runs longer
    than a match, no repeats at all (stored), inputs shorter than its keys."""
    data = WORD_SHAPES[kind](random.Random(size), size)
    outs = {threads: run(libdeflate, tmp_path, data, threads, options=["--method", "words"])[0]
            for threads in (1, 3)}
    assert outs[1] == outs[3]
    check_one_member(outs[1], data, tmp_path / "out.gz")
    if kind == "random":
        assert len(outs[1]) < size + 5 * (size // BLOCK + 1) + 64


def test_word_coder_on_mixed_words(libdeflate, tmp_path):
    """Words from small alphabets, runs and noise mixed at random: every
    choice between a literal, a short and a long match decodes."""
    @settings(max_examples=40, deadline=None, database=None)
    @given(st.lists(st.tuples(st.sampled_from(["values", "run", "noise"]), st.integers(1, 300),
                              st.integers(1, 300)), min_size=1, max_size=40))
    def check(pieces):
        rng = random.Random(len(pieces))
        parts = []
        for kind, count, spread in pieces:
            if kind == "values":
                parts.append(int64_words([rng.randrange(spread) for _ in range(count * 8)]))
            elif kind == "run":
                parts.append(int64_words([spread] * count))
            else:
                parts.append(random_bytes(rng, count))
        data = b"".join(parts)
        out, _ = run(libdeflate, tmp_path, data, 2, options=["--method", "words"])
        check_one_member(out, data, tmp_path / "out.gz")

    check()
