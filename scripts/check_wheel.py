"""Checks a built wheel before it is tagged: what its extension modules ask of
the system and what they offer it. Fails, naming the offender, when a module

- is built for another machine than the wheel's (x86_64 or aarch64),
- needs a shared library outside the manylinux set (or the wheel's own .libs),
- references a glibc symbol newer than the target,
- exports anything but its PyInit_ function,

or when the wheel carries anything besides its extension modules and its
metadata (sources, build files, Python files: the packages' own files belong
to the product, or to the stand-ins' distribution).

Usage: python check_wheel.py --glibc 2.28 [--arch aarch64] WHEEL...   (needs pyelftools)"""
import argparse
import io
import re
import sys
import zipfile

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection

# The libraries every manylinux platform provides (PEP 600 and its
# predecessors), of which a module of ours may need any.
SYSTEM_LIBRARIES = {
    "libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1",
    "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1", "libgcc_s.so.1",
}
# A wheel's machine as pyelftools names the ELF header's e_machine.
MACHINES = {"x86_64": "EM_X86_64", "aarch64": "EM_AARCH64"}


def version_tuple(text):
    return tuple(int(part) for part in text.split("."))


def module_faults(name, data, glibc, arch="x86_64"):
    elf = ELFFile(io.BytesIO(data))
    faults = []
    if elf["e_machine"] != MACHINES[arch]:
        faults.append(f"{name}: built for {elf['e_machine']}, not {arch} ({MACHINES[arch]})")
    needed = [tag.needed for section in elf.iter_sections() if isinstance(section, DynamicSection)
              for tag in section.iter_tags() if tag.entry.d_tag == "DT_NEEDED"]
    for library in needed:
        if library not in SYSTEM_LIBRARIES:
            faults.append(f"{name}: needs {library}, which is not in the manylinux set")

    # Which symbol asks for which version: the version-needed entries give the
    # version names, the version table ties each dynamic symbol to one.
    versions = {}
    for section in elf.iter_sections():
        if isinstance(section, GNUVerNeedSection):
            for _, auxiliaries in section.iter_versions():
                for aux in auxiliaries:
                    versions[aux.entry.vna_other] = aux.name
    dynsym = elf.get_section_by_name(".dynsym")
    versym = elf.get_section_by_name(".gnu.version")
    exported = []
    for index, symbol in enumerate(dynsym.iter_symbols()):
        if not symbol.name:
            continue
        if symbol.entry.st_shndx != "SHN_UNDEF":
            if symbol.entry.st_info.bind != "STB_LOCAL":
                exported.append(symbol.name)
            continue
        if versym is None:
            continue
        ndx = versym.get_symbol(index).entry.ndx  # a name for the unversioned ones
        version = versions.get(ndx & 0x7FFF, "") if isinstance(ndx, int) else ""
        match = re.fullmatch(r"GLIBC_([0-9.]+)", version)
        if match and version_tuple(match.group(1)) > version_tuple(glibc):
            faults.append(f"{name}: symbol {symbol.name}@{version} is newer than glibc {glibc}")
    stem = name.rsplit("/", 1)[-1].split(".", 1)[0]
    extra = [symbol for symbol in exported if symbol != f"PyInit_{stem}"]
    if extra:
        faults.append(f"{name}: exports {', '.join(sorted(extra)[:10])} besides PyInit_{stem}")
    return faults


def wheel_faults(path, glibc, arch="x86_64"):
    faults = []
    with zipfile.ZipFile(path) as wheel:
        modules = [name for name in wheel.namelist() if name.endswith(".so")]
        if not modules:
            faults.append(f"{path}: holds no extension module")
        for name in modules:
            faults.extend(module_faults(name, wheel.read(name), glibc, arch))
        faults.extend(f"{path}: carries {name}" for name in wheel.namelist()
                      if not name.endswith(".so") and ".dist-info/" not in name)
    return faults


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--glibc", required=True, help="oldest glibc the wheel must load on, e.g. 2.28")
    parser.add_argument("--arch", choices=sorted(MACHINES), default="x86_64", help="the machine the wheel is for")
    parser.add_argument("wheels", nargs="+")
    args = parser.parse_args()
    faults = [fault for wheel in args.wheels for fault in wheel_faults(wheel, args.glibc, args.arch)]
    for fault in faults:
        print(fault, file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
