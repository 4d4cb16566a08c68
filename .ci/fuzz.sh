#!/usr/bin/env bash
# CI gate: builds the libFuzzer harnesses (clang, ASan+UBSan), replays every
# seed and regression input, then fuzzes each harness for a bounded time.
# Any crash, sanitizer report, leak or hang fails the gate; the input that
# caused it is left in build-fuzz/fuzz-artifacts/ (add it to
# fuzz/corpus/<harness>/ as regress-<name> so that it is replayed from then on).
#
#   FUZZ_SECONDS   seconds per harness (default 60)
#   CI_JOBS        build parallelism (default 2)
# shellcheck source=SCRIPTDIR/lib.sh
source "$(dirname "$0")/lib.sh"
seconds=${FUZZ_SECONDS:-60}
build=build-fuzz
# Every fuzz/fuzz_<harness>.cpp is a harness.
harnesses=()
for f in fuzz/fuzz_*.cpp; do
    f=${f#fuzz/fuzz_}
    harnesses+=("${f%.cpp}")
done
install_packages clang libclang-rt-14-dev cmake ninja-build

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DMORELAPI_FUZZ=ON -DMORELAPI_TESTS=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target "${harnesses[@]/#/fuzz_}"

artifacts=$build/fuzz-artifacts
rm -rf "$artifacts" "$build/fuzz-work"
mkdir -p "$artifacts"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

status=0
for h in "${harnesses[@]}"; do
    bin=$build/fuzz/fuzz_$h
    corpus=fuzz/corpus/$h
    work=$build/fuzz-work/$h
    mkdir -p "$work"
    echo "== $h: replaying $(ls "$corpus" | wc -l) inputs"
    if ! "$bin" -runs=0 -timeout=60 -artifact_prefix="$artifacts/$h-" "$corpus" >"$work.replay.log" 2>&1; then
        tail -40 "$work.replay.log"
        echo "FAIL: $h fails on an input of its corpus"
        status=1
        continue
    fi
    echo "== $h: fuzzing for ${seconds}s"
    # New inputs go to the work directory; the stored corpus stays as it is.
    if ! "$bin" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=4096 -max_len=16384 -print_final_stats=1 \
        -artifact_prefix="$artifacts/$h-" "$work" "$corpus" >"$work.log" 2>&1; then
        tail -60 "$work.log"
        echo "FAIL: $h found a crashing input: $(ls "$artifacts" | grep "^$h-" | head -1)"
        status=1
        continue
    fi
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)' "$work.log" | sed "s/^/   $h /"
done
exit $status
