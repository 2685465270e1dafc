"""The wheel check (scripts/check_wheel.py) that stands between a build and
its manylinux tag: it must name what would make a wheel fail on an older
system or leak symbols, and pass a module that is clean. The modules are built
here with the system's compiler, against this machine's newer glibc."""
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "scripts"))
check_wheel = pytest.importorskip("check_wheel", reason="needs pyelftools (the test extra)")


def shared_object(folder, name, source):
    c_file = folder / f"{name}.c"
    c_file.write_text(source)
    so = folder / f"{name}.so"
    subprocess.run(["cc", "-shared", "-fPIC", "-O1", "-o", str(so), str(c_file)], check=True)
    return so


def wheel(folder, members):
    path = folder / "pkg-1.0-cp38-cp38-linux_x86_64.whl"
    with zipfile.ZipFile(path, "w") as archive:
        for name, data in members.items():
            archive.writestr(name, data)
    return str(path)


def test_newer_symbols_extra_exports_and_sources_are_named(tmp_path):
    # stat is a versioned symbol of its own from glibc 2.33 on (Debian 12's
    # headers bind to it), so this module cannot load on 2.28.
    module = shared_object(tmp_path, "mod", """
        #include <sys/stat.h>
        int helper(const char* p) { struct stat st; return stat(p, &st); }
        void* PyInit_mod(void) { return (void*)0; }
    """)
    faults = check_wheel.wheel_faults(wheel(tmp_path, {
        "pkg/mod.cpython-38-x86_64-linux-gnu.so": module.read_bytes(),
        "pkg/engine.cpp": b"int x;",
    }), "2.28")
    text = "\n".join(faults)
    assert "symbol stat@GLIBC_2.33 is newer than glibc 2.28" in text
    assert "exports helper besides PyInit_mod" in text
    assert "carries pkg/engine.cpp" in text
    # The same module is fine for a target as new as its symbols.
    assert not [f for f in check_wheel.wheel_faults(wheel(tmp_path, {
        "pkg/mod.cpython-38-x86_64-linux-gnu.so": module.read_bytes()}), "2.36") if "newer" in f]


def test_a_clean_module_passes_and_an_empty_wheel_does_not(tmp_path):
    module = shared_object(tmp_path, "clean", """
        __attribute__((visibility("hidden"))) int twice(int x) { return 2 * x; }
        void* PyInit_clean(void) { return (void*)(long)twice(0); }
    """)
    assert check_wheel.wheel_faults(wheel(tmp_path, {
        "pkg/clean.cpython-38-x86_64-linux-gnu.so": module.read_bytes()}), "2.17") == []
    assert check_wheel.wheel_faults(wheel(tmp_path, {"pkg/__init__.py": b""}), "2.28") != []


def test_a_module_for_another_machine_is_named(tmp_path):
    # This machine's compiler builds for x86_64: as an aarch64 wheel's module
    # it must fail, and pass as an x86_64 one.
    module = shared_object(tmp_path, "host", "void* PyInit_host(void) { return (void*)0; }")
    members = {"pkg/host.cpython-313-aarch64-linux-gnu.so": module.read_bytes()}
    assert check_wheel.wheel_faults(wheel(tmp_path, members), "2.28", "aarch64") == [
        "pkg/host.cpython-313-aarch64-linux-gnu.so: built for EM_X86_64, not aarch64 (EM_AARCH64)"]
    assert check_wheel.wheel_faults(wheel(tmp_path, members), "2.28", "x86_64") == []


def test_the_installed_modules_pass_the_check():
    """What this environment installed: when it came from a wheel of
    scripts/wheels, its modules are the wheel's."""
    import vexlo.server.misc.cache_packer as packer

    package = Path(packer.__file__).resolve().parents[3]
    modules = sorted(package.glob("vexlo/**/*.so"))
    assert len(modules) == 5, modules
    if "site-packages" not in str(package):
        pytest.skip(f"modules built in place with the system's compiler: {package}")
    assert [f for so in modules
            for f in check_wheel.module_faults(so.relative_to(package).as_posix(), so.read_bytes(), "2.28")] == []
