#!/usr/bin/env bash
# CI gate: the unit and integration tests (the library's internals, the
# simulated device, libtalvo, and the whole library on the simulated device)
# under valgrind memcheck: no invalid access, no use of uninitialised memory,
# no leak. Each test runs in its own process, as under ctest, two at a time.
# The tests labelled slow are left out: valgrind's slowdown would turn their
# wall-time bounds and short reply time-outs into failures (they run under
# ASan and TSan).
#
#   VALGRIND_LABELS   ctest label regex of the tests to run (default: unit and integration)
#   VALGRIND_BUILD    build directory (default: the README's, ./build)
#   CI_JOBS           build and run parallelism (default 2)
# shellcheck source=SCRIPTDIR/lib.sh
source "$(dirname "$0")/lib.sh"
labels=${VALGRIND_LABELS:-'^(unit|integration)$'}
# The README's build (g++) serves when it is there; valgrind reads the debug
# information of g++ well and that of clang 14 badly.
build=${VALGRIND_BUILD:-build}
install_packages valgrind g++ cmake ninja-build python3

if [ -f "$build/CMakeCache.txt" ] &&
    ! grep -qs 'CMAKE_CXX_COMPILER_ID "GNU"' "$build"/CMakeFiles/*/CMakeCXXCompiler.cmake; then
    build=build-valgrind # not a g++ build: make one
fi
if [ ! -f "$build/CMakeCache.txt" ]; then
    CC=gcc CXX=g++ cmake -S . -B "$build" -G Ninja >/dev/null
fi
if [ -z "${VALGRIND_NO_BUILD:-}" ]; then
    cmake --build "$build" -j "$jobs"
fi

logs=$build/valgrind-logs
rm -rf "$logs"
mkdir -p "$logs"
# One line per test: its name, a tab, its command (shell-quoted), as ctest
# would run it.
ctest --test-dir "$build" --show-only=json-v1 -L "$labels" | python3 -c '
import json, shlex, sys
for test in json.load(sys.stdin)["tests"]:
    print(test["name"] + "\t" + shlex.join(test["command"]))' >"$logs/tests"
[ -s "$logs/tests" ] || fail "no test labelled $labels"
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
    local name=${1%%$'\t'*} command log
    eval "command=(${1#*$'\t'})"
    log="$2/$(echo "$name" | tr '/' '_').log"
    if timeout 300 valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect \
        --show-leak-kinds=definite,indirect --fair-sched=yes --num-callers=30 --suppressions="$2/gtest.supp" \
        "${command[@]}" >"$log" 2>&1; then
        rm -f "$log"
    else
        echo "FAIL $name (exit $?)"
    fi
}
export -f run_one
start=$(date +%s)
xargs -a "$logs/tests" -d '\n' -P "$jobs" -I{} bash -c 'run_one "$@"' _ {} "$logs" | tee "$logs/failures"
echo "== memcheck took $(( $(date +%s) - start ))s"
if [ -s "$logs/failures" ]; then
    for f in "$logs"/*.log; do
        echo "---- $f"
        grep -E '==[0-9]+==|Failure|FAILED' "$f" | head -40
    done
    exit 1
fi
echo "== no memcheck error"
