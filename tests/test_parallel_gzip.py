"""The parallel gzip engine on its own, with each block compressor: the engine
library linked into a small driver, then checked with zlib, the gzip module
and gzip(1)."""
import gzip
import os
import random
import shutil
import struct
import subprocess
import zlib

import pytest
from hypothesis import given, settings, strategies as st

from conftest import random_bytes

BLOCK = 32 * 1024  # the smallest block: many blocks from little data


@pytest.fixture(scope="module", params=["libdeflate", "zlib"])
def engine(request, native_driver):
    """(block compressor, driver) for each block compressor."""
    return request.param, native_driver("gzip_engine_driver", deflate=request.param)


def run(engine, tmp_path, data, threads, block=BLOCK, options=()):
    """(gzip file's bytes, driver's stdout) for `data`."""
    src, dst = tmp_path / "in.bin", tmp_path / "out.gz"
    src.write_bytes(data)
    result = subprocess.run([str(engine[1]), *options, str(src), str(dst), str(threads), str(block)],
                            check=True, capture_output=True, text=True)
    return dst.read_bytes(), result.stdout


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


@pytest.mark.parametrize("size", [BLOCK, 4 * BLOCK + 3])
def test_incompressible_input_is_stored(engine, tmp_path, size):
    # Random bytes come out as stored blocks, whose ends are byte-aligned.
    data = random_bytes(random.Random(size), size)
    out, _ = run(engine, tmp_path, data, threads=2)
    check_one_member(out, data, tmp_path / "out.gz")
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
        out, report = run(engine, tmp_path, data, 2, BLOCK, ["--joints"])
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
