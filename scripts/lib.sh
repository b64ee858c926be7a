# shellcheck shell=bash disable=SC2034
# Shared by scripts/run, scripts/test and scripts/screenshot: where the sources are, the
# Debian/Ubuntu packages the tool needs, installing the missing ones, and the build.
# Source it; it defines functions and variables only.

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
)

# What the tests need beyond the build: a virtual X server and a driver of clicks and keys for
# the operator's end-to-end tests, clang with libFuzzer for the fuzz runs, and the checker of
# desktop entries and the package tools for the package test, and ser2net as the serial device
# server in front of a pseudo-terminal for the network line suite.
STRAVIK_TEST_PACKAGES=(
    xvfb
    xauth
    xdotool
    clang
    "libclang-rt-14-dev|libclang-rt-dev"
    desktop-file-utils
    dpkg-dev
    clang-format
    ser2net
)

say() { printf '%s: %s\n' "${0##*/}" "$*" >&2; }
die() { say "$*"; exit 1; }

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

# build_tool BUILD_DIR [TARGET...]: configures BUILD_DIR (once) and builds the given targets,
# or everything when none is given.
build_tool() {
    local dir=$1
    shift
    if [[ ! -f "$dir/CMakeCache.txt" ]]; then
        local generator=()
        command -v ninja >/dev/null && generator=(-G Ninja)
        cmake -S "$STRAVIK_ROOT" -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo
    fi
    local targets=() t
    for t in "$@"; do targets+=(--target "$t"); done
    cmake --build "$dir" "${targets[@]}"
}
