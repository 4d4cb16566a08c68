// Shared pieces of the benchmarks: run options, the figures gathered for the
// closing summary, statistics, the library started on an in-process simulated
// device, and per-thread CPU and memory readings from /proc.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "morelapi.h"
#include "sim/sim.h"
#include "talvo.h"

namespace morel_bench {

using Clock = std::chrono::steady_clock;

struct Options {
    bool shortForm = false; // CI: every benchmark once, with small counts
};
extern Options g_options;

// Picks the full or the short count.
inline uint64_t Count(uint64_t full, uint64_t shortForm) { return g_options.shortForm ? shortForm : full; }

// One line of the closing summary: what was measured, its value and unit,
// and the baseline measured beside it in the same run.
struct Figure {
    std::string name; // what the figure is, in words
    double value = 0;
    std::string unit;
    std::string baselineName; // empty: no baseline
    double baseline = 0;
};
// Collects a figure; a name reported again (--benchmark_repetitions) adds a
// sample, and the summary shows the median of the samples.
void Report(const Figure &f);
// A figure without a baseline.
inline void Report(const std::string &name, double value, const std::string &unit) {
    Report(Figure{name, value, unit, "", 0});
}
// Prints every collected figure, one line each, in the order first reported.
void PrintSummary();

double Percentile(std::vector<double> samples, double p); // p in [0, 100]
inline double Median(const std::vector<double> &samples) { return Percentile(samples, 50); }
inline double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// What the application callbacks of the benchmarks saw. Slot 1 carries both
// the link report and the volume notifications used for the latency figure.
struct Observed {
    std::mutex m;
    std::condition_variable cv;
    int link = -1; // last link report: 0 down, 1 up
    uint64_t linkUps = 0;
    Clock::time_point linkUpTime{};
    uint64_t notes = 0;
    Clock::time_point noteTime{};
    Clock::time_point openTime{}; // last transport open (TimedOpen)
};
Observed &Seen();

// The simulated device's open, stamped with the time of the call.
int32_t TALVO_CALL TimedOpen(TalvoReceiveCallback callback, uint32_t *handle);

// The library running on an in-process simulated device, link up.
struct SimLibrary {
    sim::Device *dev = nullptr;
    bool up = false;

    explicit SimLibrary(sim::DeviceConfig cfg = QuietConfig());
    ~SimLibrary();
    SimLibrary(const SimLibrary &) = delete;
    SimLibrary &operator=(const SimLibrary &) = delete;

    // Starts the library and waits for link report 1; false on a time-out.
    bool Start(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    void Stop();

    // A device that keeps no log worth speaking of: the benchmarks measure
    // the library's memory, not the simulator's.
    static sim::DeviceConfig QuietConfig();
};

// Threads of this process (task ids).
std::vector<int> ThreadIds();
// Nanoseconds on a CPU and voluntary context switches (wake-ups) of a thread.
struct ThreadUsage {
    uint64_t cpuNs = 0;
    uint64_t wakeups = 0;
};
ThreadUsage UsageOf(int tid);

// Resident set and heap in use, in bytes.
uint64_t ResidentBytes();
uint64_t HeapInUseBytes();

} // namespace morel_bench
