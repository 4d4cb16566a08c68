#!/usr/bin/env bash
# Python gate: the ctypes module's tests against the in-process simulated
# device. Builds (or reuses) the library and libtalvo in the build directory
# (MORELAPI_BUILD, default ./build).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=${CI_JOBS:-2}
build=${MORELAPI_BUILD:-$root/build}

need=()
for p in python3 cmake ninja-build g++; do
    dpkg -s "$p" >/dev/null 2>&1 || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${need[@]}"
fi

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -G Ninja >/dev/null
fi
cmake --build "$build" -j "$jobs" --target morelapi talvo

library=$(find "$build" -maxdepth 1 -name 'libmorelapi.so' -print -quit)
talvo=$(find "$build" -name 'libtalvo.so' -print -quit)
[ -n "$library" ] && [ -n "$talvo" ] || { echo "python: libmorelapi.so or libtalvo.so not built in $build" >&2; exit 1; }

cd "$root/bindings/python"
PYTHONDONTWRITEBYTECODE=1 TALVO_DEVICE=sim MORELAPI_LIBRARY="$library" LD_LIBRARY_PATH="$(dirname "$talvo")${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
    python3 -m unittest -v test_morelapi
