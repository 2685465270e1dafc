# Sourced by scripts/wheels: Debian packages of any architecture and suite,
# unpacked into a folder rather than installed. apt runs with a private
# state of its own per architecture and suite, so the machine's dpkg never
# learns a foreign architecture and its own apt lists stay as they are.

# Where the private apt states and the downloaded packages live between runs.
vexlo_debs_cache="${VEXLO_CACHE:-/var/cache/vexlo}/debs"

# Unpacks the named packages of one architecture and suite into a folder, as
# they would lie under / (usr/include/..., usr/lib/<triplet>/...).
# Usage: vexlo_debs_extract <arch> <suite> <dest> <package...>
vexlo_debs_extract() {
    local arch="$1" suite="$2" dest="$3" state deb
    shift 3
    state="$vexlo_debs_cache/$suite-$arch"
    mkdir -p "$state/lists/partial" "$state/archives/partial" "$state/parts" "$state/prefs" "$dest"
    [ -e "$state/status" ] || : >"$state/status"
    echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian $suite main" \
        >"$state/sources.list"
    # sid's Release file may be older than its Valid-Until: the packages are
    # still the signed ones.
    local apt=(-o Dir::State::Lists="$state/lists" -o Dir::State::status="$state/status"
        -o Dir::Cache="$state" -o Dir::Cache::archives="$state/archives"
        -o Dir::Etc::SourceList="$state/sources.list" -o Dir::Etc::SourceParts="$state/parts"
        -o Dir::Etc::PreferencesParts="$state/prefs" -o APT::Architecture="$arch"
        -o APT::Architectures::="$arch" -o Acquire::Check-Valid-Until=false -o APT::Sandbox::User=root)
    # A day-old list is good enough; a fresh machine fetches it once.
    if [ -z "$(find "$state/lists" -maxdepth 1 -name '*Packages*' -mmin -1440 2>/dev/null)" ]; then
        apt-get -qq "${apt[@]}" update
    fi
    (cd "$state/archives" && apt-get -qq "${apt[@]}" download "$@")
    for package in "$@"; do
        deb="$(ls -t "$state/archives/${package}_"*"_$arch.deb" | head -n 1)"
        dpkg-deb -x "$deb" "$dest"
    done
}
