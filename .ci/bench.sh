#!/usr/bin/env bash
# CI: builds the benchmarks in their own build directory and runs every one
# of them once in its short form, so that they keep building and running.
# The figures are printed, never judged: a shared CI machine is too noisy.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${CI_JOBS:-2}

if ! dpkg -s libbenchmark-dev >/dev/null 2>&1; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq libbenchmark-dev
fi

cmake -S . -B build-ci-bench -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORELAPI_BENCH=ON -DMORELAPI_TESTS=OFF
cmake --build build-ci-bench -j "$jobs" --target morelapi_bench
timeout 240 build-ci-bench/bench/morelapi_bench --short
