#!/usr/bin/env bash
# CI gate: the integration tests (the whole library on the simulated device)
# under valgrind memcheck: no invalid access, no use of uninitialised memory,
# no leak. Each test runs in its own process, as under ctest, two at a time.
#
#   VALGRIND_LABEL    ctest label of the tests to run (default: library)
#   CI_JOBS           build and run parallelism (default 2)
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${CI_JOBS:-2}
# The README's build (g++) serves when it is there; valgrind reads the debug
# information of g++ well and that of clang 14 badly.
build=${VALGRIND_BUILD:-build}
# The tests labelled "library" in tests/CMakeLists.txt: every library test
# but the ones bounded by wall time or by short reply time-outs that
# valgrind's slowdown would turn into failures (labelled "slow"; they run
# under ASan and TSan) and the death tests of process exit.
label=${VALGRIND_LABEL:-library}

need=()
command -v valgrind >/dev/null || need+=(valgrind)
command -v g++ >/dev/null || need+=(g++)
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
if [ ${#need[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${need[@]}"
fi

if [ -f "$build/CMakeCache.txt" ] &&
    ! grep -qs 'CMAKE_CXX_COMPILER_ID "GNU"' "$build"/CMakeFiles/*/CMakeCXXCompiler.cmake; then
    build=build-valgrind # not a g++ build: make one
fi
if [ ! -f "$build/CMakeCache.txt" ]; then
    CC=gcc CXX=g++ cmake -S . -B "$build" -G Ninja >/dev/null
fi
if [ -z "${VALGRIND_NO_BUILD:-}" ]; then
    cmake --build "$build" -j "$jobs" --target morelapi_tests
fi

bin=$build/tests/morelapi_tests
logs=$build/valgrind-logs
rm -rf "$logs"
mkdir -p "$logs"
ctest --test-dir "$build" -N -L "^${label}\$" | sed -n 's/^ *Test *#[0-9]*: //p' >"$logs/tests"
[ -s "$logs/tests" ] || { echo "no test labelled $label"; exit 1; }
echo "== $(wc -l <"$logs/tests") tests under memcheck"

# googletest prints every test parameter byte by byte when it registers the
# parameterized tests, padding bytes included; that is its affair, not ours.
cat >"$logs/gtest.supp" <<'SUPP'
{
   googletest-prints-padding-of-test-parameters
   Memcheck:Cond
   ...
   fun:_ZN7testing8internal20PrintBytesInObjectToEPKhmPSo
}
{
   googletest-prints-padding-of-test-parameters-value
   Memcheck:Value8
   ...
   fun:_ZN7testing8internal20PrintBytesInObjectToEPKhmPSo
}
SUPP

run_one() {
    local test=$1 log
    log="$2/$(echo "$1" | tr '/' '_').log"
    if timeout 300 valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect \
        --show-leak-kinds=definite,indirect --fair-sched=yes --num-callers=30 --suppressions="$2/gtest.supp" \
        "$3" --gtest_filter="$test" >"$log" 2>&1; then
        rm -f "$log"
    else
        echo "FAIL $test (exit $?)"
    fi
}
export -f run_one
start=$(date +%s)
xargs -a "$logs/tests" -P "$jobs" -I{} bash -c 'run_one "$@"' _ {} "$logs" "$bin" | tee "$logs/failures"
echo "== memcheck took $(( $(date +%s) - start ))s"
if [ -s "$logs/failures" ]; then
    for f in "$logs"/*.log; do
        echo "---- $f"
        grep -E '==[0-9]+==|Failure|FAILED' "$f" | head -40
    done
    exit 1
fi
echo "== no memcheck error"
