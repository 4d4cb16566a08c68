#!/usr/bin/env bash
# Python gate: the module installed with pip into a fresh virtual environment
# (offline: Debian's setuptools and wheel through --system-site-packages, no
# package index), then its tests against the in-process simulated device,
# importing the installed module. Builds (or reuses) the library and libtalvo
# in the build directory (MORELAPI_BUILD, default ./build).
# shellcheck source=SCRIPTDIR/lib.sh
source "$(dirname "$0")/lib.sh"
build=${MORELAPI_BUILD:-$root/build}
python=/usr/bin/python3
install_packages python3 python3-venv python3-setuptools python3-wheel cmake ninja-build g++

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -G Ninja >/dev/null
fi
cmake --build "$build" -j "$jobs" --target morelapi talvo

library=$(find "$build" -maxdepth 1 -name 'libmorelapi.so' -print -quit)
talvo=$(find "$build" -name 'libtalvo.so' -print -quit)
[ -n "$library" ] && [ -n "$talvo" ] || fail "libmorelapi.so or libtalvo.so not built in $build"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$python" -m venv --system-site-packages "$work/venv"
# Built from a copy, so that the source tree gets no build directory.
cp -r "$root/bindings/python" "$work/src"
"$work/venv/bin/python" -m pip install --quiet --no-build-isolation --no-index "$work/src"
installed=$("$work/venv/bin/python" -c 'import morelapi; print(morelapi.__file__)')
case "$installed" in
    "$work/venv/"*) echo "installed: $installed" ;;
    *) fail "morelapi imported from $installed, not from the virtual environment" ;;
esac

mkdir "$work/run"
cp "$root/bindings/python/test_morelapi.py" "$work/run/"
cd "$work/run"
PYTHONDONTWRITEBYTECODE=1 TALVO_DEVICE=sim MORELAPI_LIBRARY="$library" LD_LIBRARY_PATH="$(dirname "$talvo")${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
    "$work/venv/bin/python" -m unittest -v test_morelapi

# The example of docs/python.md runs as it stands with the installed module.
awk '/^```python$/ {c = 1; next} c && /^```$/ {exit} c' "$root/docs/python.md" > "$work/run/example.py"
[ -s "$work/run/example.py" ] || fail "no example in docs/python.md"
TALVO_DEVICE=sim MORELAPI_LIBRARY="$library" LD_LIBRARY_PATH="$(dirname "$talvo")${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
    timeout 60 "$work/venv/bin/python" "$work/run/example.py"
