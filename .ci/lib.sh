# shellcheck shell=bash disable=SC2034
# Sourced by the gate scripts: strict mode, the repository's root as the
# working directory, the build parallelism, and the helpers they share.
#
#   CI_JOBS   build and run parallelism (default 2)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
jobs=${CI_JOBS:-2}
gate=$(basename "$0" .sh)

section() { printf '\n==== %s ====\n' "$*"; }

fail() {
    echo "$gate: $*" >&2
    exit 1
}

# Installs those of the named Debian packages that are missing; leading
# options (--no-install-recommends) go to apt-get install. As a normal user
# it asks sudo.
install_packages() {
    local options=() missing=() sudo=() p
    while [ $# -gt 0 ] && [[ $1 == --* ]]; do
        options+=("$1")
        shift
    done
    for p in "$@"; do
        dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    echo "installing ${missing[*]}"
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${options[@]}" "${missing[@]}"
}

# The project's version, as the top-level CMakeLists.txt declares it.
project_version() {
    sed -n 's/^project(morelapi VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt"
}

# The library's exported names, one a line, sorted, as the configure step of
# build directory $1 generated them from cmake/morelapi.def.
export_names() {
    [ -s "$1/morelapi.exports" ] || fail "$1/morelapi.exports missing: not a configured build directory"
    sort "$1/morelapi.exports"
}
