# Sourced by the scripts: Debian roots unpacked by debootstrap, the systems
# whose own Python the wheels are built for and tested on. Each recipe (suite,
# architecture, packages, and this file's build steps) is unpacked once into a
# cache outside the repository, so a fresh clone reuses it; a run works in a
# private copy, so nothing a test does reaches the cache.
#
# vexlo_root SUITE ARCH DIR [package...]
#     makes DIR a fresh copy (with the host's resolv.conf and trusted
#     certificates) of a minbase SUITE root for ARCH (amd64, arm64:
#     another architecture than the host's is set up under qemu-user, which
#     binfmt_misc must run) holding the packages. "name/other" takes the
#     package from the suite "other" (e.g. libdeflate-dev/bookworm in a sid root).
# vexlo_root_run DIR [--bind PATH]... command [argument...]
#     runs the command inside DIR (chroot, a clean environment, /proc, /dev
#     and /sys mounted, and each host PATH, a folder or a file, at the same
#     path inside) and unmounts them however it ends.
# vexlo_root_remove DIR
#     removes a copy, refusing while anything is mounted inside it.
#
# VEXLO_ROOTS_CACHE (default /var/cache/vexlo-roots) holds the cache;
# VEXLO_DEBIAN_MIRROR (default http://deb.debian.org/debian) is the mirror.
# Needs root and debootstrap (installed if missing); source scripts/_setup.sh
# first (vexlo_apt_install).

vexlo_roots_cache="${VEXLO_ROOTS_CACHE:-/var/cache/vexlo-roots}"
vexlo_debian_mirror="${VEXLO_DEBIAN_MIRROR:-http://deb.debian.org/debian}"

vexlo_root() {
    local suite="$1" arch="$2" dir="$3" key cached
    shift 3
    key="$(_vexlo_root_key "$suite" "$arch" "$@")"
    cached="$vexlo_roots_cache/$suite-$arch-$key"
    if [ ! -d "$cached" ]; then
        _vexlo_root_build "$suite" "$arch" "$cached" "$@" || return 1
    fi
    touch "$cached"
    _vexlo_roots_prune
    vexlo_root_remove "$dir" || return 1
    mkdir -p "$(dirname "$dir")" && cp -a --reflink=auto "$cached" "$dir" || return 1
    # A system's / is open to every user (the build's mktemp folder was 0700).
    chmod 755 "$dir" || return 1
    # The host's network settings: its name servers and the certificates it
    # trusts (a TLS-inspecting proxy's among them).
    cp /etc/resolv.conf "$dir/etc/resolv.conf" || return 1
    if [ -s /etc/ssl/certs/ca-certificates.crt ]; then
        mkdir -p "$dir/etc/ssl/certs" &&
            cp /etc/ssl/certs/ca-certificates.crt "$dir/etc/ssl/certs/ca-certificates.crt" || return 1
    fi
}

vexlo_root_run() {
    local dir="$1" binds=()
    shift
    while [ "${1:-}" = --bind ]; do
        binds+=("$(realpath "$2")")
        shift 2
    done
    (
        trap '_vexlo_root_unmount "$dir" "${binds[@]}"' EXIT
        trap 'exit 130' INT TERM HUP
        _vexlo_root_mount "$dir" || exit 1
        for path in "${binds[@]}"; do
            if [ -d "$path" ]; then
                mkdir -p "$dir$path" || exit 1
            else
                mkdir -p "$(dirname "$dir$path")" && touch "$dir$path" || exit 1
            fi
            mount --bind "$path" "$dir$path" || exit 1
        done
        chroot "$dir" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
            PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
    )
}

vexlo_root_remove() {
    local dir="$1"
    [ -e "$dir" ] || return 0
    dir="$(realpath "$dir")"
    if awk -v d="$dir" '$2 == d || index($2, d "/") == 1 { found = 1 } END { exit !found }' /proc/self/mounts; then
        echo "not removing $dir: something is mounted inside it" >&2
        return 1
    fi
    rm -rf --one-file-system "$dir"
}

# Removes what the cache no longer needs: roots of recipes unused for 30
# days (a changed recipe leaves its old root behind) and partial builds a
# killed run left more than a day ago.
_vexlo_roots_prune() {
    local stale
    find "$vexlo_roots_cache" -mindepth 1 -maxdepth 1 -type d \
        \( -name '*.partial.*' -mmin +1440 -o -name '*-*-????????????????' -mtime +30 \) -print |
        while read -r stale; do
            vexlo_root_remove "$stale" || true
            rm -f "$stale.log"
        done
}

# The cache key: everything that decides the root's content. The steps of
# _vexlo_root_build are part of it, so changing them rebuilds.
_vexlo_root_key() {
    local suite="$1" arch="$2"
    shift 2
    {
        echo "$suite $arch $vexlo_debian_mirror minbase"
        printf '%s\n' "$@" | sort -u
        declare -f _vexlo_root_build _vexlo_root_mount
    } | sha256sum | cut -c1-16
}

# Unpacks the root into a temporary folder beside the cache entry and renames
# it into place only once complete, so an interrupted build is never reused.
_vexlo_root_build() {
    local suite="$1" arch="$2" cached="$3" work host_arch qemu package other suites=() status=0
    shift 3
    if [ "$(id -u)" != 0 ]; then
        echo "a Debian root needs root (debootstrap, chroot)" >&2
        return 1
    fi
    command -v debootstrap >/dev/null || vexlo_apt_install debootstrap
    mkdir -p "$vexlo_roots_cache"
    work="$(mktemp -d "$cached.partial.XXXXXX")"
    host_arch="$(dpkg --print-architecture)"
    echo "== Debian root $suite/$arch: unpacking (cached in $cached)" >&2
    (
        trap '_vexlo_root_unmount "$work"' EXIT
        trap 'exit 130' INT TERM HUP
        if [ "$arch" = "$host_arch" ]; then
            debootstrap --variant=minbase --arch="$arch" "$suite" "$work" "$vexlo_debian_mirror" \
                >"$work.log" 2>&1 || exit 1
        else
            # Another architecture: unpack here, configure inside under qemu-user.
            qemu="qemu-$(_vexlo_qemu_arch "$arch")-static"
            command -v "$qemu" >/dev/null || vexlo_apt_install qemu-user-static binfmt-support
            debootstrap --variant=minbase --arch="$arch" --foreign "$suite" "$work" "$vexlo_debian_mirror" \
                >"$work.log" 2>&1 || exit 1
            cp "$(command -v "$qemu")" "$work/usr/bin/" || exit 1
            _vexlo_root_mount "$work" || exit 1
            chroot "$work" /debootstrap/debootstrap --second-stage >>"$work.log" 2>&1 || exit 1
            _vexlo_root_unmount "$work"
        fi
        # The mirror's Release of a rolling suite may be older than its
        # Valid-Until; recommends would bring what the recipe does not name.
        printf 'Acquire::Check-Valid-Until "false";\nAPT::Install-Recommends "false";\n' \
            >"$work/etc/apt/apt.conf.d/90vexlo" || exit 1
        for package in "$@"; do
            case "$package" in */*) other="${package#*/}" ;; *) continue ;; esac
            [[ " ${suites[*]} " == *" $other "* ]] || suites+=("$other")
        done
        for other in "${suites[@]}"; do
            echo "deb $vexlo_debian_mirror $other main" >"$work/etc/apt/sources.list.d/vexlo-$other.list" || exit 1
        done
        cp /etc/resolv.conf "$work/etc/resolv.conf" || exit 1
        _vexlo_root_mount "$work" || exit 1
        chroot "$work" /usr/bin/env -i DEBIAN_FRONTEND=noninteractive PATH=/usr/sbin:/usr/bin:/sbin:/bin \
            sh -c 'apt-get -qq update && { [ $# -eq 0 ] || apt-get install -y -qq "$@"; } && apt-get clean' \
            sh "$@" >>"$work.log" 2>&1 || exit 1
        _vexlo_root_unmount "$work"
        rm -rf "$work"/var/lib/apt/lists/*
    ) || status=$?
    if [ $status -ne 0 ]; then
        echo "== Debian root $suite/$arch failed; the log:" >&2
        tail -n 30 "$work.log" >&2
        vexlo_root_remove "$work"
        rm -f "$work.log"
        return 1
    fi
    rm -f "$work.log"
    # Another run may have finished the same recipe meanwhile: keep theirs.
    mv -T "$work" "$cached" 2>/dev/null || vexlo_root_remove "$work"
}

_vexlo_qemu_arch() {
    case "$1" in
        arm64) echo aarch64 ;;
        armhf) echo arm ;;
        ppc64el) echo ppc64le ;;
        *) echo "$1" ;;
    esac
}

_vexlo_root_mount() {
    local dir="$1"
    mount -t proc proc "$dir/proc" &&
        mount --rbind /dev "$dir/dev" && mount --make-rslave "$dir/dev" &&
        mount --rbind /sys "$dir/sys" && mount --make-rslave "$dir/sys"
}

# Usage: _vexlo_root_unmount DIR [bound path...]
_vexlo_root_unmount() {
    local dir="$1" point
    shift
    for point in "$@" /sys /dev /proc; do
        if mountpoint -q "$dir$point"; then
            umount -R "$dir$point" 2>/dev/null || umount -R -l "$dir$point"
        fi
    done
}
