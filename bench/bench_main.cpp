// morelapi_bench: every benchmark of the library, each beside a baseline
// measured in the same run. Google Benchmark prints its own report as the
// benchmarks run; the program then ends with one line per figure: what it
// is, its value and unit, and its baseline.
//
//   morelapi_bench            full form (about a minute and a half)
//   morelapi_bench --short    every benchmark once with small counts (CI)
//
// The usual Google Benchmark flags apply (--benchmark_filter=round_trip ...);
// with --benchmark_repetitions=N the summary shows the median of the N runs
// of each figure (idle and memory run once).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "bench/bench_util.h"

namespace morel_bench {
void RegisterLatencyBenchmarks();
void RegisterReceiveBenchmarks();
void RegisterIdleMemoryBenchmarks();
} // namespace morel_bench

int main(int argc, char **argv) {
    std::vector<char *> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--short") == 0)
            morel_bench::g_options.shortForm = true;
        else
            args.push_back(argv[i]);
    }
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data()))
        return 1;
    morel_bench::RegisterLatencyBenchmarks();
    morel_bench::RegisterReceiveBenchmarks();
    morel_bench::RegisterIdleMemoryBenchmarks();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    morel_bench::PrintSummary();
    return 0;
}
