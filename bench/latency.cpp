// Latency: a request's round trip, the start-up synchronisation and a
// notification's way to the application, each beside the hand-off floor
// measured in the same run (interleaved, so that both see the same load).
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <time.h>

#include <cstdio>
#include <string>

#include "bench/bench_util.h"
#include "bench/handoff.h"

namespace morel_bench {

namespace {

constexpr int kBlock = 20; // samples of one kind before switching to the other

double ProcessCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Times any thread of the process went to sleep (a hand-off costs one).
double ProcessSleeps() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_nvcsw);
}

// Round trips of GetSPphoneStatus; every sample counts, failures are counted too.
std::vector<double> RoundTrips(size_t n, uint64_t &failures) {
    std::vector<double> samples;
    samples.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        uint8_t status = 0;
        const Clock::time_point t0 = Clock::now();
        int ok = GetSPphoneStatus(&status);
        samples.push_back(Micros(Clock::now() - t0));
        if (ok != 1)
            ++failures;
    }
    return samples;
}

// The device answers a request with an acknowledgement and a response.
// Apart: two chunks, as the simulated device sends them by default; the
// receiver may be woken for each, one hand-off more than the floor has.
// Together: one chunk holding both, which has exactly the floor's hand-offs,
// so the difference to the floor is the library's own work.
void BM_RoundTrip(benchmark::State &state, bool together) {
    SimLibrary lib;
    if (!lib.Start()) {
        state.SkipWithError("the link did not come up");
        return;
    }
    if (together) {
        sim::FaultRule merge;
        merge.actions = sim::kMerge;
        merge.count = 0; // every request
        sim::AddFaultRule(lib.dev, merge);
    }
    HandoffRing ring;
    std::vector<double> lib_us, floor_us;
    uint64_t failures = 0;
    // CPU time and sleeps of the whole process over the blocks of each kind:
    // what a round trip costs in all threads together, the simulated device
    // included, and how many times a thread went to sleep for it.
    double libCpu = 0, floorCpu = 0, libSleeps = 0, floorSleeps = 0;
    double cpuMark = 0, sleepMark = 0;
    size_t i = 0;
    for (auto _ : state) {
        if (i++ % kBlock == 0) {
            const double cpu = ProcessCpuSeconds(), sleeps = ProcessSleeps();
            if (i > 1) {
                libCpu += cpu - cpuMark;
                libSleeps += sleeps - sleepMark;
            }
            for (int k = 0; k < kBlock; ++k)
                floor_us.push_back(ring.Run().roundTripUs);
            cpuMark = ProcessCpuSeconds();
            sleepMark = ProcessSleeps();
            floorCpu += cpuMark - cpu;
            floorSleeps += sleepMark - sleeps;
        }
        uint8_t status = 0;
        const Clock::time_point t0 = Clock::now();
        int ok = GetSPphoneStatus(&status);
        const double us = Micros(Clock::now() - t0);
        state.SetIterationTime(us / 1e6);
        lib_us.push_back(us);
        if (ok != 1)
            ++failures;
    }
    libCpu += ProcessCpuSeconds() - cpuMark;
    libSleeps += ProcessSleeps() - sleepMark;
    const double n = static_cast<double>(lib_us.size()), fn = static_cast<double>(floor_us.size());
    const double med = Median(lib_us), p99 = Percentile(lib_us, 99);
    const double fmed = Median(floor_us), fp99 = Percentile(floor_us, 99);
    state.counters["median_us"] = med;
    state.counters["p99_us"] = p99;
    state.counters["floor_median_us"] = fmed;
    state.counters["floor_p99_us"] = fp99;
    state.counters["ratio"] = fmed > 0 ? med / fmed : 0;
    state.counters["beyond_floor_us"] = med - fmed;
    state.counters["cpu_us"] = libCpu * 1e6 / n;
    state.counters["floor_cpu_us"] = floorCpu * 1e6 / fn;
    state.counters["sleeps"] = libSleeps / n;
    state.counters["floor_sleeps"] = floorSleeps / fn;
    state.counters["failures"] = static_cast<double>(failures);
    const std::string name = together ? "round trip (one answer chunk)" : "round trip (ack, response apart)";
    Report({name + ", median", med, "us", "floor", fmed});
    Report({name + ", beyond floor", med - fmed, "us", "", 0});
    Report({name + ", p99", p99, "us", "floor p99", fp99});
    Report({name + ", CPU", libCpu * 1e6 / n, "us", "floor", floorCpu * 1e6 / fn});
    Report({name + ", sleeps", libSleeps / n, "", "floor", floorSleeps / fn});
    if (failures != 0)
        Report({name + ", failed requests", static_cast<double>(failures), "", "", 0});
}

void BM_NotificationLatency(benchmark::State &state) {
    SimLibrary lib;
    if (!lib.Start()) {
        state.SkipWithError("the link did not come up");
        return;
    }
    HandoffRing ring;
    Observed &o = Seen();
    std::vector<double> lib_us, floor_us;
    uint64_t lost = 0;
    size_t i = 0;
    for (auto _ : state) {
        if (i++ % kBlock == 0)
            for (int k = 0; k < kBlock; ++k)
                floor_us.push_back(ring.Run().threeHopsUs);
        uint64_t before;
        {
            std::lock_guard<std::mutex> g(o.m);
            before = o.notes;
        }
        const uint8_t volume = static_cast<uint8_t>(i & 3);
        const Clock::time_point t0 = Clock::now();
        sim::SendNotification(lib.dev, MORELAPI_EVENT_RINGER_VOLUME, &volume, 1);
        std::unique_lock<std::mutex> g(o.m);
        if (!o.cv.wait_for(g, std::chrono::seconds(3), [&] { return o.notes > before; })) {
            ++lost;
            state.SetIterationTime(3);
            continue;
        }
        const double us = Micros(o.noteTime - t0);
        state.SetIterationTime(us / 1e6);
        lib_us.push_back(us);
    }
    const double med = Median(lib_us), p99 = Percentile(lib_us, 99);
    const double fmed = Median(floor_us), fp99 = Percentile(floor_us, 99);
    state.counters["median_us"] = med;
    state.counters["p99_us"] = p99;
    state.counters["floor_median_us"] = fmed;
    state.counters["floor_p99_us"] = fp99;
    state.counters["ratio"] = fmed > 0 ? med / fmed : 0;
    state.counters["lost"] = static_cast<double>(lost);
    Report({"notification latency, median", med, "us", "floor", fmed});
    Report({"notification latency, p99", p99, "us", "floor p99", fp99});
    if (lost != 0)
        Report({"notifications lost", static_cast<double>(lost), "", "", 0});
}

// Open to link report 1 with 100 contacts at version 0x30, against as many
// round trips as the synchronisation made requests, measured on the same
// link right after each synchronisation.
void BM_StartupSync(benchmark::State &state) {
    sim::DeviceConfig cfg = SimLibrary::QuietConfig();
    cfg.protocolVersion = 0x30;
    cfg.contactCount = 100;
    SimLibrary lib(cfg);
    Observed &o = Seen();
    std::vector<double> sync_us, rt_us;
    uint64_t failures = 0;
    for (auto _ : state) {
        const uint64_t framesBefore = sim::GetCounters(lib.dev).hostFrames;
        if (!lib.Start()) {
            state.SkipWithError("the link did not come up");
            return;
        }
        double us;
        {
            std::lock_guard<std::mutex> g(o.m);
            us = Micros(o.linkUpTime - o.openTime);
        }
        state.SetIterationTime(us / 1e6);
        sync_us.push_back(us);
        state.counters["requests"] = static_cast<double>(sim::GetCounters(lib.dev).hostFrames - framesBefore);
        std::vector<double> rt = RoundTrips(Count(200, 100), failures);
        rt_us.insert(rt_us.end(), rt.begin(), rt.end());
        lib.Stop();
    }
    const double requests = state.counters["requests"];
    const double rt = Median(rt_us);
    const double med = Median(sync_us);
    state.counters["median_ms"] = med / 1000;
    state.counters["per_request_us"] = med / requests;
    state.counters["round_trip_us"] = rt;
    state.counters["ratio"] = rt > 0 ? med / (requests * rt) : 0;
    const std::string n = std::to_string(static_cast<int>(requests));
    Report({"start-up sync, " + n + " requests, median", med / 1000, "ms", n + " round trips", requests * rt / 1000});
    if (failures != 0)
        Report({"start-up run, failed requests", static_cast<double>(failures), "", "", 0});
}

} // namespace

void RegisterLatencyBenchmarks() {
    for (bool together : {true, false}) {
        benchmark::RegisterBenchmark(together ? "round_trip/GetSPphoneStatus/answer_together"
                                              : "round_trip/GetSPphoneStatus/answer_apart",
                                     [together](benchmark::State &s) { BM_RoundTrip(s, together); })
            ->Iterations(static_cast<benchmark::IterationCount>(Count(20000, 2000)))
            ->UseManualTime()
            ->Unit(benchmark::kMicrosecond);
    }
    benchmark::RegisterBenchmark("notification_latency/ringer_volume", BM_NotificationLatency)
        ->Iterations(static_cast<benchmark::IterationCount>(Count(10000, 1000)))
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("startup_sync/100_contacts_v30", BM_StartupSync)
        ->Iterations(static_cast<benchmark::IterationCount>(Count(30, 3)))
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
}

} // namespace morel_bench
