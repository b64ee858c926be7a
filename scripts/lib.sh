# shellcheck shell=bash disable=SC2034
# Sourced by the scripts: where the sources are, the Debian/Ubuntu packages the tool needs,
# installing the missing ones, the build, and the waits and the X server of the scripts that
# draw. Defines functions and its own constants (STRAVIK_ROOT is still read by scripts/windows).

STRAVIK_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# What building, testing and running the tool needs. "a|b" takes whichever of the names the
# package archive has: Debian 12 and Ubuntu 24.04 call the serial port headers
# qt6-serialport-dev, older archives libqt6serialport6-dev. qt6-base-dev brings the OpenGL and
# Vulkan headers that Qt's CMake files look for, and the offscreen and X11 platform plugins.
# The build cuts the window's own face out of fonts-noto-cjk's Noto Serif CJK SC with
# python3-fonttools; the installed faces also draw typed text beyond the window's characters.
STRAVIK_PACKAGES=(
    g++
    cmake
    ninja-build
    qt6-base-dev
    "qt6-serialport-dev|libqt6serialport6-dev"
    fonts-noto-cjk
    python3-fonttools
    qt6-translations-l10n
)

say() { printf '%s: %s\n' "${0##*/}" "$*" >&2; }
die() { say "$*"; exit 1; }
# The calling script's header comment, up to its first line of code.
usage() { sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; }
# Arguments end without an option's value: dies naming the option.
need_value() { (($1 >= 2)) || die "$2 needs a value"; }

# to_root: into the source tree, where relative build directories are taken from.
to_root() { cd "$STRAVIK_ROOT"; }

# ensure_tool_packages EXTRA...: what building the tool needs, and the EXTRA packages.
ensure_tool_packages() { ensure_packages "${STRAVIK_PACKAGES[@]}" "$@"; }

# wait_for WHAT COMMAND...: runs COMMAND until it succeeds, for at most a minute.
wait_for() {
    local what=$1 deadline=$((SECONDS + 60))
    shift
    until "$@"; do
        ((SECONDS < deadline)) || die "gave up waiting for $what"
        sleep 0.1
    done
}

# stop_jobs: ends this shell's background jobs and waits for them (for a trap on EXIT).
stop_jobs() {
    local pids
    pids=$(jobs -p)
    [[ -z $pids ]] || kill $pids 2>/dev/null || true
    wait 2>/dev/null || true
}

# start_xvfb DIR GEOMETRY [XVFB-OPTION...]: a private X server for the programs started after
# it (DISPLAY, a runtime folder in DIR, no Wayland), as a background job of this shell.
start_xvfb() {
    local dir=$1 geometry=$2
    shift 2
    Xvfb -displayfd 3 -screen 0 "$geometry" -dpi 96 -nolisten tcp "$@" 3>"$dir/display" \
        2>"$dir/xvfb.log" &
    wait_for "Xvfb (see $dir/xvfb.log)" test -s "$dir/display"
    export DISPLAY=":$(head -n 1 "$dir/display")" XDG_RUNTIME_DIR="$dir/xdg"
    mkdir -m 700 "$XDG_RUNTIME_DIR"
    unset WAYLAND_DISPLAY QT_QPA_PLATFORM
}

# settled WINDOW FILE: captures WINDOW into FILE; succeeds when the capture is the picture the
# call before took (FILE.sig keeps its signature), so the window is fully drawn.
settled() {
    local sig
    import -window "$1" "$2"
    sig=$(identify -format '%#' "$2")
    [[ $sig == "$(cat "$2.sig" 2>/dev/null)" ]] && return 0
    printf '%s' "$sig" >"$2.sig"
    return 1
}

package_installed() {
    [[ "$(dpkg-query -W -f='${db:Status-Abbrev}' "$1" 2>/dev/null)" == ii* ]]
}

# Reads all of apt-cache's output (no grep -q): a reader that stops early would end apt-cache
# with SIGPIPE, which pipefail turns into "unknown".
package_known() {
    apt-cache policy "$1" 2>/dev/null | grep '^ *Candidate: *[^( ]' >/dev/null
}

# Runs a command as root: directly when we are root, through sudo otherwise.
as_root() {
    if [[ $(id -u) -eq 0 ]]; then
        "$@"
    elif command -v sudo >/dev/null; then
        sudo "$@"
    else
        die "need root to run: $* (run as root or install sudo)"
    fi
}

# ensure_packages CHOICE...: installs the packages that are not installed yet. A CHOICE is a name
# or alternatives "a|b"; an alternative counts as present when any of its names is installed.
# Nothing touches the network when everything is present.
ensure_packages() {
    if ! command -v dpkg-query >/dev/null || ! command -v apt-get >/dev/null; then
        say "no dpkg/apt here: not installing anything, assuming $* are present"
        return 0
    fi
    local choice name missing=()
    local -a names
    for choice in "$@"; do
        local present=
        IFS='|' read -r -a names <<<"$choice"
        for name in "${names[@]}"; do
            if package_installed "$name"; then
                present=1
                break
            fi
        done
        [[ -n $present ]] || missing+=("$choice")
    done
    ((${#missing[@]})) || return 0

    say "installing missing packages: ${missing[*]}"
    apt_get update
    local chosen=() pick
    for choice in "${missing[@]}"; do
        IFS='|' read -r -a names <<<"$choice"
        pick=
        for name in "${names[@]}"; do
            if package_known "$name"; then
                pick=$name
                break
            fi
        done
        [[ -n $pick ]] || die "the package archive has none of: ${choice//|/, }"
        chosen+=("$pick")
    done
    apt_get install -y --no-install-recommends "${chosen[@]}"
}

# apt_get ARG...: apt-get as root, waiting up to five minutes, with a word every half minute, while
# another program holds the package manager's lock (a fresh machine's first-boot upgrades,
# another install): apt-get itself gives up at once.
apt_get() {
    local deadline=$((SECONDS + 300)) said=0 status log
    log=$(mktemp)
    while :; do
        status=0
        as_root env DEBIAN_FRONTEND=noninteractive apt-get "$@" 2>"$log" || status=$?
        if ((status == 0)) || ! grep -E 'Could not get lock|Unable to (acquire|lock)' "$log" >/dev/null; then
            cat "$log" >&2
            rm -f "$log"
            return "$status"
        fi
        if ((SECONDS >= deadline)); then
            cat "$log" >&2
            rm -f "$log"
            die "another program held the package manager's lock for five minutes: try again later"
        fi
        if ((SECONDS >= said)); then
            say "another program holds the package manager's lock; waiting (up to five minutes)"
            said=$((SECONDS + 30))
        fi
        sleep 2
    done
}

# configure_tree DIR [CMAKE-ARG...]: configures DIR to build the tool (RelWithDebInfo, with
# Ninja where it is installed).
configure_tree() {
    local dir=$1 generator=()
    shift
    command -v ninja >/dev/null && generator=(-G Ninja)
    cmake -S "$STRAVIK_ROOT" -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
}

# build_tool BUILD_DIR [TARGET...]: configures BUILD_DIR (once) and builds the given targets,
# or everything when none is given.
build_tool() {
    local dir=$1 targets=() t
    shift
    [[ -f $dir/CMakeCache.txt ]] || configure_tree "$dir"
    for t in "$@"; do targets+=(--target "$t"); done
    cmake --build "$dir" "${targets[@]}"
}
