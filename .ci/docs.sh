#!/usr/bin/env bash
# Docs gate: the HTML reference of include/morelapi.h builds with Doxygen
# without a warning (every export, type and macro documented). Uses its own
# build directory (MORELAPI_DOCS_BUILD, default ./build-docs).
# shellcheck source=SCRIPTDIR/lib.sh
source "$(dirname "$0")/lib.sh"
build=${MORELAPI_DOCS_BUILD:-$root/build-docs}
install_packages doxygen cmake ninja-build g++

cmake -S "$root" -B "$build" -G Ninja -DMORELAPI_TESTS=OFF >/dev/null
cmake --build "$build" --target docs

# The README's usage example compiles as it stands, as C99, against the header.
snippet=$(mktemp --suffix=.c)
trap 'rm -f "$snippet"' EXIT
awk '/^## Using the library/ {s = 1} s && /^```c$/ {c = 1; next} c && /^```$/ {exit} c' README.md > "$snippet"
[ -s "$snippet" ] || fail "no C example under 'Using the library' in README.md"
cc -std=c99 -pedantic -Wall -Wextra -Werror -fsyntax-only -I "$root/include" "$snippet"
echo "README example compiles"
