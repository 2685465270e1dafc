"""The parallel gzip engine on its own: compiled from the sources with a small
driver, then checked with zlib, the gzip module and gzip(1)."""
import gzip
import os
import random
import shutil
import struct
import subprocess
import zlib

import pytest

from native_driver import build_driver

BLOCK = 32 * 1024  # the smallest block: many blocks from little data


def random_bytes(rng, n):
    """rng.randbytes(n), which Python 3.8 lacks (same bytes on later versions)."""
    return rng.getrandbits(8 * n).to_bytes(n, "little") if n else b""


@pytest.fixture(scope="module")
def driver(tmp_path_factory):
    return build_driver(tmp_path_factory, "gzip_engine_driver.cpp", ["parallel_gzip.cpp", "archive_error.cpp"],
                        ["-lz", "-pthread"])


def compress(driver, tmp_path, data, threads, block=BLOCK):
    src, dst = tmp_path / "in.bin", tmp_path / "out.gz"
    src.write_bytes(data)
    subprocess.run([str(driver), str(src), str(dst), str(threads), str(block)], check=True)
    return dst.read_bytes()


def sample(size, seed):
    rng = random.Random(seed)
    words = [bytes(rng.choice(b"abcdefgh") for _ in range(rng.randint(1, 8))) for _ in range(200)]
    text = b" ".join(rng.choice(words) for _ in range(size // 3 + 1))[: size // 2]
    return text + random_bytes(rng, size - len(text))


@pytest.mark.parametrize("size", [0, 1, BLOCK - 1, BLOCK, BLOCK + 1, 5 * BLOCK, 37 * BLOCK + 12345])
@pytest.mark.parametrize("threads", [1, 3])
def test_stream_decompresses_to_its_input(driver, tmp_path, size, threads):
    data = sample(size, seed=size + threads)
    out = compress(driver, tmp_path, data, threads)
    assert out[:4] == b"\x1f\x8b\x08\x00" and out[8] == 2  # deflate, level-9 flag
    assert gzip.decompress(out) == data
    # One member, so the trailer is the whole input's CRC-32 and length.
    crc, length = struct.unpack("<II", out[-8:])
    assert crc == zlib.crc32(data) and length == len(data) % 2**32
    d = zlib.decompressobj(31)
    assert d.decompress(out) == data and d.eof and d.unused_data == b""
    if shutil.which("gzip"):
        subprocess.run(["gzip", "-t", str(tmp_path / "out.gz")], check=True)


def test_dictionary_carries_matches_across_blocks(driver, tmp_path):
    # 16 KiB of random bytes repeated, in 32 KiB blocks: with the previous
    # block's tail as dictionary only the first copy costs its size; without
    # it every block would start with 16 KiB of literals (over 300 KiB here).
    chunk = random_bytes(random.Random(7), BLOCK // 2)
    data = chunk * 40
    out = compress(driver, tmp_path, data, threads=2)
    assert gzip.decompress(out) == data
    assert len(out) < BLOCK


def test_write_failure_is_reported(driver, tmp_path):
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    src = tmp_path / "in.bin"
    src.write_bytes(sample(10 * BLOCK, seed=1))
    result = subprocess.run([str(driver), str(src), "/dev/full", "2", str(BLOCK)],
                            capture_output=True, text=True)
    assert result.returncode == 1
    assert "No space left on device" in result.stderr and "/dev/full" in result.stderr
