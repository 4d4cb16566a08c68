#!/usr/bin/env bash
# CI: builds the benchmarks in their own build directory and runs every one
# of them once in its short form, so that they keep building and running.
# The figures are printed, never judged: a shared CI machine is too noisy.
# shellcheck source=SCRIPTDIR/lib.sh
source "$(dirname "$0")/lib.sh"
install_packages cmake ninja-build g++ libbenchmark-dev

cmake -S . -B build-ci-bench -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORELAPI_BENCH=ON -DMORELAPI_TESTS=OFF
cmake --build build-ci-bench -j "$jobs" --target morelapi_bench
timeout 240 build-ci-bench/bench/morelapi_bench --short
