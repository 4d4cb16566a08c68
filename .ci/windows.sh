#!/usr/bin/env bash
# Windows gate: cross-builds MORELAPI.dll and TALVO.dll for 32-bit and 64-bit
# Windows with mingw-w64 (posix threads), checks their export tables, imports,
# calling convention and version resource, and runs the integration program
# (tests/tools/win_integration.cpp) as a 64-bit Windows program under wine64
# on the simulated device of TALVO.dll, with the protocol trace on: the
# program checks the trace file it asked for.
#
# Build directories: build-win32 and build-win64 (incremental; MORELAPI_WIN_BUILD
# replaces the "build-win" part). CI_JOBS (default 2) sets the parallelism.
# shellcheck source=SCRIPTDIR/lib.sh
source "$(dirname "$0")/lib.sh"
builds=${MORELAPI_WIN_BUILD:-$root/build-win}
install_packages --no-install-recommends cmake ninja-build mingw-w64 wine64 binutils

# The export names of a DLL, one a line: "ordinal name".
exports_of() {
    local objdump=$1 dll=$2
    "$objdump" -p "$dll" | awk '
        /^Export Address Table -- Ordinal Base/ { base = $NF }
        /^\[Ordinal\/Name Pointer\] Table/ { inside = 1; next }
        inside && NF == 0 { inside = 0 }
        inside { line = $0; gsub(/[\[\]]/, " ", line); split(line, f, " "); print f[1] + base, f[2] }'
}

check_dlls() {
    local arch=$1 build=$2 format=$3
    local objdump=$arch-w64-mingw32-objdump
    local lib=$build/MORELAPI.dll talvo
    talvo=$(find "$build" -name TALVO.dll -print -quit)
    [ -f "$lib" ] && [ -n "$talvo" ] || fail "$arch: MORELAPI.dll or TALVO.dll not built"

    for dll in "$lib" "$talvo"; do
        "$objdump" -f "$dll" | grep -q "file format $format" || fail "$arch: $(basename "$dll") is not $format"
        # Nothing but system DLLs: the C++ runtime is linked in.
        local imports
        imports=$("$objdump" -p "$dll" | awk '/DLL Name:/ { print toupper($3) }' | sort -u)
        for imp in $imports; do
            case $imp in
                KERNEL32.DLL | MSVCRT.DLL | WS2_32.DLL | ADVAPI32.DLL | USER32.DLL) ;;
                *) fail "$arch: $(basename "$dll") needs $imp" ;;
            esac
        done
        # The version resource (UTF-16 strings).
        strings -el "$dll" | grep -qx "$(basename "$dll")" || fail "$arch: $(basename "$dll") has no version resource"
        strings -el "$dll" | grep -qx "$(project_version)" \
            || fail "$arch: $(basename "$dll"): version resource without the project's version"
    done

    local names
    names=$(exports_of "$objdump" "$lib" | awk '{ print $2 }' | sort)
    [ "$names" = "$expected" ] || fail "$arch: MORELAPI.dll exports differ from the $count names: $(comm -3 <(echo "$names") <(echo "$expected") | tr -s ' \n\t' ' ')"
    local talvo_exports
    talvo_exports=$(exports_of "$objdump" "$talvo" | sort -n | tr '\n' ' ')
    [ "$talvo_exports" = "1 TransportOpen 2 TransportWrite 3 TransportClose " ] \
        || fail "$arch: TALVO.dll exports '$talvo_exports'"
    echo "$arch: MORELAPI.dll exports the $count names, TALVO.dll ordinals 1-3; system imports only; version resources"
}

# 32-bit: every export is __stdcall (the compiler decorates it _Name@bytes;
# the DLL exports it undecorated).
check_stdcall() {
    local build=$1
    local decorated
    decorated=$(find "$build" -path '*morelapi_obj.dir*' -name '*.obj' -print0 |
        xargs -0 i686-w64-mingw32-nm -g --defined-only | awk '$2 == "T" { print $3 }' |
        sed -n 's/^_\([A-Za-z0-9]*\)@[0-9]*$/\1/p' | sort)
    local missing
    missing=$(comm -13 <(echo "$decorated") <(echo "$expected"))
    [ -z "$missing" ] || fail "i686: not __stdcall: $(echo "$missing" | tr '\n' ' ')"
    echo "i686: all $count exports are __stdcall"
}

build_arch() {
    local arch=$1 build=$2
    if [ ! -f "$build/CMakeCache.txt" ]; then
        cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMORELAPI_TESTS=OFF \
            -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-$arch.cmake" >/dev/null
    fi
    cmake --build "$build" -j "$jobs" --target morelapi talvo morelapi_win_integration
}

build_arch i686 "${builds}32"
# The names the configure step took from cmake/morelapi.def.
expected=$(export_names "${builds}32")
count=$(echo "$expected" | wc -l)
check_dlls i686 "${builds}32" pei-i386
check_stdcall "${builds}32"

build_arch x86_64 "${builds}64"
check_dlls x86_64 "${builds}64" pei-x86-64

wine=$(command -v wine64 || true)
[ -n "$wine" ] || wine=/usr/lib/wine/wine64
[ -x "$wine" ] || fail "wine64 not found"
run=${builds}64/wine-run
rm -rf "$run/bin"
mkdir -p "$run/bin"
cp "${builds}64/MORELAPI.dll" "$(find "${builds}64" -name TALVO.dll -print -quit)" \
    "${builds}64/tests/morelapi_win_integration.exe" "$run/bin/"
echo "x86_64: running the integration program under wine64"
(
    cd "$run/bin"
    export WINEPREFIX=$run/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" TALVO_DEVICE=sim
    timeout 300 "$wine" morelapi_win_integration.exe 2> >(grep -v -e '^wine: ' -e 'rundll32' >&2)
)
echo "windows: ok"
