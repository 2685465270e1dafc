# Sourced by the scripts: the set-up steps they share.

# Make (or reuse) a virtual environment for one interpreter and install into
# it, as a user would, this interpreter's vexlo-server wheel from dist/
# (scripts/wheels) with the test extras, and the stand-ins' wheel beside it:
# the package from its wheel only, with no compiler usable.
# Usage: vexlo_venv <python> <venv dir>
vexlo_venv() {
    local python="$1" venv="$2" tag wheel standins
    # The wheel of this Python's version and machine (x86_64 or aarch64).
    tag="$("$python" -c 'import platform, sys; print("cp%d%d-cp%d%d-manylinux_*_%s" % (sys.version_info[:2] * 2 + (platform.machine(),)))')"
    wheel="$(ls dist/vexlo_server-*-$tag.whl 2>/dev/null | head -n 1)"
    standins="$(ls dist/vexlo_standins-*-py3-none-any.whl 2>/dev/null | head -n 1)"
    if [ -z "$wheel" ] || [ -z "$standins" ]; then
        echo "no wheel for $tag or no stand-ins' wheel in dist/: run scripts/wheels first" >&2
        return 1
    fi
    if [ ! -x "$venv/bin/python" ]; then
        "$python" -m venv "$venv"
    fi
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
    "$venv/bin/python" -m pip uninstall -q -y vexlo-server vexlo-standins >/dev/null 2>&1 || true
    CC=false CXX=false "$venv/bin/python" -m pip install -q --disable-pip-version-check \
        --only-binary vexlo-server "$wheel[test]" "$standins"
}

# The Debian programs the tests and benchmarks use as real peers:
# rclone and FUSE for the dataset mount, pigz and libdeflate-gzip for the
# writer benchmark; and the libraries the build links (found by pkg-config).
vexlo_debian_packages() {
    local missing=()
    command -v rclone >/dev/null || missing+=(rclone)
    command -v fusermount3 >/dev/null || missing+=(fuse3)
    command -v pigz >/dev/null || missing+=(pigz)
    command -v g++ >/dev/null || missing+=(g++)
    command -v libdeflate-gzip >/dev/null || missing+=(libdeflate-tools)
    command -v pkg-config >/dev/null || missing+=(pkg-config)
    [ -e /usr/include/zlib.h ] || missing+=(zlib1g-dev)
    [ -e /usr/include/libdeflate.h ] || missing+=(libdeflate-dev)
    vexlo_apt_install "${missing[@]}"
}

# The browsers of the suite's browser tests, headless: Firefox ESR (driven over
# its built-in Marionette) and Chromium with its chromedriver.
vexlo_browsers() {
    local missing=()
    command -v firefox-esr >/dev/null || missing+=(firefox-esr)
    command -v chromium >/dev/null || missing+=(chromium)
    command -v chromedriver >/dev/null || missing+=(chromium-driver)
    vexlo_apt_install "${missing[@]}"
}

# Install Debian packages by name; without root the tests that need them skip.
# Usage: vexlo_apt_install [package...]
vexlo_apt_install() {
    [ $# -eq 0 ] && return 0
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        if [ -z "${_vexlo_apt_updated:-}" ]; then
            apt-get update -qq && _vexlo_apt_updated=1
        fi
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
    else
        echo "not installed (needs root and apt-get): $*" >&2
    fi
}

# The interpreter of CPython 3.<minor>: python3.<minor> on PATH, else pyenv's.
# Usage: vexlo_python <minor>
vexlo_python() {
    local minor="$1" candidate
    for candidate in "python3.$minor" "$(pyenv root 2>/dev/null)"/versions/3."$minor".*/bin/python3."$minor"; do
        if command -v "$candidate" >/dev/null 2>&1 && "$candidate" -c "import sys; assert sys.version_info[:2] == (3, $minor)" 2>/dev/null; then
            command -v "$candidate"
            return 0
        fi
    done
    return 1
}
