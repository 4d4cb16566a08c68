#!/usr/bin/env bash
# Packaging gate: builds morelapi, installs it into a temporary prefix, checks
# what was installed, and builds a small outside C project against the
# installed copy twice, with find_package(morelapi) and with pkg-config; both
# programs then run against the in-process simulated device.
#
# Environment: CI_JOBS (default 2); MORELAPI_PACKAGE_BUILD to reuse a build
# directory between runs (default: a fresh temporary one).
# shellcheck source=SCRIPTDIR/lib.sh
source "$(dirname "$0")/lib.sh"
install_packages cmake ninja-build g++ gcc pkg-config binutils

work=$(mktemp -d "${TMPDIR:-/tmp}/morelapi-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
build=${MORELAPI_PACKAGE_BUILD:-$work/build}
prefix=$work/prefix

echo "== build and install into $prefix"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMORELAPI_TESTS=OFF >/dev/null
cmake --build "$build" -j "$jobs"
cmake --install "$build" --prefix "$prefix" >/dev/null

echo "== installed files"
libdir=$prefix/lib
for f in include/morelapi.h include/talvo.h lib/libmorelapi.so lib/libmorelapi.so.1 lib/libtalvo.so \
         lib/cmake/morelapi/morelapiConfig.cmake lib/cmake/morelapi/morelapiConfigVersion.cmake \
         lib/cmake/morelapi/morelapiTargets.cmake lib/pkgconfig/morelapi.pc bin/spphone bin/spphone-sim; do
    [ -e "$prefix/$f" ] || fail "missing $f"
done
soname=$(readelf -d "$libdir/libmorelapi.so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = libmorelapi.so.1 ] || fail "SONAME is '$soname', expected libmorelapi.so.1"
exports=$(nm -D --defined-only "$libdir/libmorelapi.so" | awk '{print $3}' | sort)
expected=$(export_names "$build")
count=$(echo "$expected" | wc -l)
[ "$exports" = "$expected" ] || fail "the installed library exports other names than the $count: $(comm -3 <(echo "$exports") <(echo "$expected") | tr '\n' ' ')"
talvo=$(nm -D --defined-only "$libdir/libtalvo.so" | awk '{print $3}' | sort | tr '\n' ' ')
[ "$talvo" = "TransportClose TransportOpen TransportWrite " ] || fail "libtalvo exports: $talvo"
echo "SONAME $soname, $count exports, libtalvo with its 3 operations"

export TALVO_DEVICE=sim

echo "== consumer with find_package(morelapi)"
cmake -S "$root/tests/tools/consumer" -B "$work/consumer-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer-cmake" >/dev/null
# The CMake build carries the library's directory in its RUNPATH; the library
# finds libtalvo next to itself.
env -u LD_LIBRARY_PATH "$work/consumer-cmake/consumer"

echo "== consumer with pkg-config"
export PKG_CONFIG_PATH=$libdir/pkgconfig
[ "$(pkg-config --modversion morelapi)" = "$(project_version)" ] \
    || fail "pkg-config reports version $(pkg-config --modversion morelapi)"
cc -std=c99 -Wall -Wextra -Werror -o "$work/consumer-pc" "$root/tests/tools/consumer/main.c" \
    $(pkg-config --cflags --libs morelapi)
LD_LIBRARY_PATH=$(pkg-config --variable=libdir morelapi) "$work/consumer-pc"

echo "== installed tools"
env -u LD_LIBRARY_PATH "$prefix/bin/spphone" --wait 10s status >/dev/null || fail "installed spphone failed"
"$prefix/bin/spphone-sim" --help >/dev/null || fail "installed spphone-sim failed"

echo "package: ok"
