"""Builds a small native driver against the archive engine's sources, so the
engine is tested on its own, with no Python in between."""
import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
ENGINE = ROOT / "src" / "vexlo" / "server" / "misc" / "cache_packer"
DRIVERS = Path(__file__).resolve().parent / "native"
COMPILER = shutil.which(os.environ.get("CXX", "c++")) or shutil.which("g++")


def build_driver(tmp_path_factory, driver, sources, libraries=(), defines=()):
    if COMPILER is None or not all((ENGINE / source).exists() for source in sources):
        pytest.skip("needs a C++ compiler and the engine sources")
    exe = tmp_path_factory.mktemp(Path(driver).stem) / "driver"
    subprocess.run([COMPILER, "-std=c++17", "-O2", "-Wall", "-Wextra", "-Werror", "-I", str(ENGINE), *defines,
                    str(DRIVERS / driver), *(str(ENGINE / source) for source in sources),
                    "-o", str(exe), *libraries], check=True)
    return exe
