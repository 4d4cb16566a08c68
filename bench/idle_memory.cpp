// What the library costs when nothing happens, and what it keeps in memory
// as requests go by.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <thread>

#include "bench/bench_util.h"

namespace morel_bench {

namespace {

// CPU time and wake-ups of the library's threads while the link is up and
// idle: only the keep-alive should run, once every 2000 ms.
void BM_Idle(benchmark::State &state) {
    const auto window = std::chrono::seconds(Count(10, 4));
    SimLibrary lib; // the device's own thread exists from here on
    const std::vector<int> before = ThreadIds();
    if (!lib.Start()) {
        state.SkipWithError("the link did not come up");
        return;
    }
    std::vector<int> library;
    for (int tid : ThreadIds())
        if (!std::binary_search(before.begin(), before.end(), tid))
            library.push_back(tid);
    // Steady state: the window opens once the first keep-alive has gone out.
    sim::WaitUntil(
        lib.dev, [](const sim::Log &log) { return log.counters.keepAlives > 0; }, std::chrono::seconds(6));

    uint64_t cpuNs = 0, wakeups = 0, keepAlives = 0;
    double seconds = 0;
    for (auto _ : state) {
        std::vector<ThreadUsage> start;
        for (int tid : library)
            start.push_back(UsageOf(tid));
        const uint64_t kaStart = sim::GetCounters(lib.dev).keepAlives;
        const Clock::time_point t0 = Clock::now();
        std::this_thread::sleep_for(window); // the measurement window, not a synchronisation
        const Clock::time_point t1 = Clock::now();
        for (size_t i = 0; i < library.size(); ++i) {
            ThreadUsage end = UsageOf(library[i]);
            cpuNs += end.cpuNs - start[i].cpuNs;
            wakeups += end.wakeups - start[i].wakeups;
        }
        keepAlives += sim::GetCounters(lib.dev).keepAlives - kaStart;
        const double s = std::chrono::duration<double>(t1 - t0).count();
        seconds += s;
        state.SetIterationTime(s);
    }
    const double share = seconds > 0 ? static_cast<double>(cpuNs) / (seconds * 1e9) * 100 : 0;
    state.counters["library_threads"] = static_cast<double>(library.size());
    state.counters["cpu_us"] = static_cast<double>(cpuNs) / 1000;
    state.counters["core_share_pct"] = share;
    state.counters["wakeups_per_s"] = static_cast<double>(wakeups) / seconds;
    state.counters["keep_alives"] = static_cast<double>(keepAlives);
    Report("idle: CPU of the library's threads, of one core", share, "%");
    Report("idle: wake-ups of the library's threads", static_cast<double>(wakeups) / seconds, "per s");
    Report("idle: keep-alives sent in " + std::to_string(window.count()) + " s", static_cast<double>(keepAlives), "");
}

// Resident size and heap in use after 1,000 requests and after many more.
void BM_Memory(benchmark::State &state) {
    const uint64_t total = Count(1000000, 10000);
    SimLibrary lib;
    if (!lib.Start()) {
        state.SkipWithError("the link did not come up");
        return;
    }
    uint64_t failures = 0;
    auto requests = [&](uint64_t n) {
        for (uint64_t i = 0; i < n; ++i) {
            uint8_t status = 0;
            if (GetSPphoneStatus(&status) != 1)
                ++failures;
        }
    };
    uint64_t rss1 = 0, rss2 = 0, heap1 = 0, heap2 = 0;
    for (auto _ : state) {
        const Clock::time_point t0 = Clock::now();
        requests(1000);
        rss1 = ResidentBytes();
        heap1 = HeapInUseBytes();
        requests(total - 1000);
        rss2 = ResidentBytes();
        heap2 = HeapInUseBytes();
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
    }
    const double rssGrowthKiB = (static_cast<double>(rss2) - static_cast<double>(rss1)) / 1024;
    const double heapGrowth = static_cast<double>(heap2) - static_cast<double>(heap1);
    state.counters["requests"] = static_cast<double>(total);
    state.counters["rss_1k_KiB"] = static_cast<double>(rss1) / 1024;
    state.counters["rss_end_KiB"] = static_cast<double>(rss2) / 1024;
    state.counters["rss_growth_KiB"] = rssGrowthKiB;
    state.counters["heap_growth_B"] = heapGrowth;
    state.counters["failures"] = static_cast<double>(failures);
    const std::string after = "memory: resident size after " + std::to_string(total) + " requests";
    Report({after, static_cast<double>(rss2) / 1024, "KiB", "after 1000", static_cast<double>(rss1) / 1024});
    Report("memory: heap growth from request 1000 to " + std::to_string(total), heapGrowth, "B");
    if (failures != 0)
        Report("memory: failed requests", static_cast<double>(failures), "");
}

} // namespace

void RegisterIdleMemoryBenchmarks() {
    // Long by nature: one run each, whatever --benchmark_repetitions says.
    benchmark::RegisterBenchmark("idle/link_up", BM_Idle)
        ->Iterations(1)
        ->Repetitions(1)
        ->UseManualTime()
        ->Unit(benchmark::kSecond);
    benchmark::RegisterBenchmark("memory/GetSPphoneStatus", BM_Memory)
        ->Iterations(1)
        ->Repetitions(1)
        ->UseManualTime()
        ->Unit(benchmark::kSecond);
}

} // namespace morel_bench
