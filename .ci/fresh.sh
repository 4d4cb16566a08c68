#!/usr/bin/env bash
# Fresh-machine gate: the README's demo command needs only a toolchain, CMake
# and Ninja. GoogleTest and Google Benchmark are hidden from the configure
# step, which must say what it left out, and the demo must still build and
# run. Uses its own build directory (MORELAPI_FRESH_BUILD, default
# ./build-fresh).
# shellcheck source=SCRIPTDIR/lib.sh
source "$(dirname "$0")/lib.sh"
build=${MORELAPI_FRESH_BUILD:-$root/build-fresh}
install_packages cmake ninja-build g++

log=$(mktemp)
trap 'rm -f "$log"' EXIT
cmake -S . -B "$build" -G Ninja -DMORELAPI_BENCH=ON \
    -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON | tee "$log"
for what in "GoogleTest not found, tests left out" "Google Benchmark not found, benchmarks left out"; do
    grep -qF "$what" "$log" || fail "the configure step did not say: $what"
done
cmake --build "$build" --target run-demo
