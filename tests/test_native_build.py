"""The build's choice of block compressor, configured only (nothing built)."""
import os

import pytest

from native_build import BuildError, configure_drivers


def test_without_libdeflate_only_an_explicit_zlib_configures(tmp_path):
    # pkg-config searching only an empty folder finds no libdeflate, installed or not.
    empty = tmp_path / "pkgconfig"
    empty.mkdir()
    env = dict(os.environ, PKG_CONFIG_PATH=str(empty), PKG_CONFIG_LIBDIR=str(empty))
    build = tmp_path / "build"  # one folder: its cache keeps the compiler checks between configures
    for deflate in ("auto", "libdeflate"):
        with pytest.raises(BuildError) as refused:
            configure_drivers(build, deflate, env=env)
        message = " ".join(str(refused.value).split())
        # The native_driver fixture skips on "finds no libdeflate"; the rest says what to do.
        for words in ("finds no libdeflate", "libdeflate-dev pkg-config", "-DVEXLO_DEFLATE=zlib"):
            assert words in message, deflate
    with pytest.raises(BuildError, match="expected auto, libdeflate or zlib"):
        configure_drivers(build, "libdeflat", env=env)
    assert "block compressor: zlib" in configure_drivers(build, "zlib", env=env)
