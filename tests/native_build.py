"""Builds the native drivers: CMake targets of the project's VEXLO_DRIVERS
build that run the archive engine library with no Python in between. The
tests' session fixture and the benchmarks build them here.

CMake and Ninja come from this Python's environment (the test extra installs
them) or else from PATH."""
import os
import shutil
import subprocess
import sysconfig
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


class BuildError(RuntimeError):
    """A configure or build that failed; the message holds CMake's output."""


def _tool(name):
    path = os.pathsep.join([sysconfig.get_path("scripts"), os.environ.get("PATH", os.defpath)])
    return shutil.which(name, path=path)


def _cmake():
    cmake = _tool("cmake")
    if cmake is None:
        raise BuildError("needs cmake (pip install cmake, or Debian's cmake)")
    return cmake


def _run(step, env=None):
    done = subprocess.run(step, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True, env=env)
    if done.returncode != 0:
        raise BuildError(f"{' '.join(step)} failed:\n{done.stdout}")
    return done.stdout


def configure_drivers(build_dir, deflate="auto", cxx_flags="", env=None):
    """Configures `build_dir` with the block compressor `deflate` ("auto",
    "libdeflate" or "zlib"), in environment `env` (default: this process's);
    returns CMake's output."""
    ninja = _tool("ninja")
    generator = ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"] if ninja else []
    return _run([_cmake(), "-S", str(ROOT), "-B", str(build_dir), *generator, "-DCMAKE_BUILD_TYPE=Release",
                 "-DVEXLO_MODULES=OFF", "-DVEXLO_DRIVERS=ON", f"-DVEXLO_DEFLATE={deflate}",
                 f"-DCMAKE_CXX_FLAGS={cxx_flags}"], env)


def build_drivers(build_dir, targets, deflate="auto", cxx_flags=""):
    """Configures `build_dir` as configure_drivers() does and builds
    `targets`; returns {target: path of its executable}."""
    configure_drivers(build_dir, deflate, cxx_flags)
    _run([_cmake(), "--build", str(build_dir), "--target", *targets])
    return {target: Path(build_dir) / target for target in targets}
