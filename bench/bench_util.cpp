#include "bench/bench_util.h"

#include <dirent.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "link/transport.h"
#include "transport/sim_transport.h"

namespace morel_bench {

Options g_options;

namespace {

std::mutex g_figuresMutex;
struct Samples {
    Figure figure; // the first report: name, unit, baseline name
    std::vector<double> values, baselines;
};
std::vector<Samples> g_figures; // in order of first report

std::string FormatValue(double v, const std::string &unit) {
    char buf[64];
    if (unit.empty())
        std::snprintf(buf, sizeof buf, "%.3g", v);
    else if (std::fabs(v) >= 100)
        std::snprintf(buf, sizeof buf, "%.0f %s", v, unit.c_str());
    else
        std::snprintf(buf, sizeof buf, "%.3g %s", v, unit.c_str());
    return buf;
}

void MORELAPI_CALL DeviceSlotCallback(uint32_t code, uint32_t, void *data) {
    const Clock::time_point now = Clock::now();
    Observed &o = Seen();
    {
        std::lock_guard<std::mutex> g(o.m);
        if (code == MORELAPI_EVENT_LINK) {
            o.link = data != nullptr ? *static_cast<const uint8_t *>(data) : -1;
            if (o.link == 1) {
                ++o.linkUps;
                o.linkUpTime = now;
            }
        } else if (code == MORELAPI_EVENT_RINGER_VOLUME) {
            ++o.notes;
            o.noteTime = now;
        }
    }
    o.cv.notify_all();
}

} // namespace

void Report(const Figure &f) {
    std::lock_guard<std::mutex> g(g_figuresMutex);
    for (Samples &s : g_figures) {
        if (s.figure.name == f.name) {
            s.values.push_back(f.value);
            s.baselines.push_back(f.baseline);
            return;
        }
    }
    g_figures.push_back(Samples{f, {f.value}, {f.baseline}});
}

void PrintSummary() {
    std::lock_guard<std::mutex> g(g_figuresMutex);
    if (g_figures.empty())
        return;
    int width = 0;
    for (const Samples &s : g_figures)
        width = std::max(width, static_cast<int>(s.figure.name.size()));
    std::printf("\nFigures (%s form; a figure measured more than once shows the median and the count)\n",
                g_options.shortForm ? "short" : "full");
    for (const Samples &s : g_figures) {
        const Figure &f = s.figure;
        const double value = Median(s.values);
        std::string line = FormatValue(value, f.unit);
        if (!f.baselineName.empty()) {
            const double baseline = Median(s.baselines);
            line.resize(std::max<size_t>(line.size(), 14), ' ');
            line += "beside " + f.baselineName + " " + FormatValue(baseline, f.unit);
            if (baseline > 0) {
                char ratio[32];
                std::snprintf(ratio, sizeof ratio, " (%.3gx)", value / baseline);
                line += ratio;
            }
        }
        if (s.values.size() > 1)
            line += ", median of " + std::to_string(s.values.size());
        std::printf("  %-*s  %s\n", width, f.name.c_str(), line.c_str());
    }
    std::fflush(stdout);
}

double Percentile(std::vector<double> samples, double p) {
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    double rank = p / 100.0 * static_cast<double>(samples.size() - 1);
    size_t lo = static_cast<size_t>(rank);
    size_t hi = std::min(lo + 1, samples.size() - 1);
    double frac = rank - static_cast<double>(lo);
    return samples[lo] + (samples[hi] - samples[lo]) * frac;
}

Observed &Seen() {
    static Observed o;
    return o;
}

int32_t TALVO_CALL TimedOpen(TalvoReceiveCallback callback, uint32_t *handle) {
    {
        Observed &o = Seen();
        std::lock_guard<std::mutex> g(o.m);
        o.openTime = Clock::now();
    }
    return SimTransportOpen(callback, handle);
}

sim::DeviceConfig SimLibrary::QuietConfig() {
    sim::DeviceConfig cfg;
    cfg.logLimit = 4;
    return cfg;
}

SimLibrary::SimLibrary(sim::DeviceConfig cfg) {
    dev = sim::CreateDevice(cfg);
    SimTransportBind(dev);
    morel::SetTransportForTesting(TimedOpen, SimTransportWrite, SimTransportClose);
}

SimLibrary::~SimLibrary() {
    Stop();
    SimTransportBind(nullptr);
    sim::DestroyDevice(dev);
    morel::SetTransportForTesting(nullptr, nullptr, nullptr);
}

bool SimLibrary::Start(std::chrono::milliseconds timeout) {
    Observed &o = Seen();
    {
        std::lock_guard<std::mutex> g(o.m);
        o.link = -1;
    }
    if (InitializeUsbApiLib() != 1)
        return false;
    RegisterEvent(MORELAPI_SLOT_DEVICE, DeviceSlotCallback, MORELAPI_SLOT_DEVICE, nullptr);
    std::unique_lock<std::mutex> g(o.m);
    up = o.cv.wait_for(g, timeout, [&] { return o.link == 1; });
    return up;
}

void SimLibrary::Stop() {
    TerminateUsbApiLib();
    up = false;
}

std::vector<int> ThreadIds() {
    std::vector<int> ids;
    if (DIR *d = opendir("/proc/self/task")) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                ids.push_back(std::atoi(e->d_name));
        closedir(d);
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

ThreadUsage UsageOf(int tid) {
    ThreadUsage u;
    std::string base = "/proc/self/task/" + std::to_string(tid);
    // schedstat: nanoseconds on the CPU, nanoseconds waiting, time slices.
    std::ifstream sched(base + "/schedstat");
    sched >> u.cpuNs;
    std::ifstream status(base + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
            u.wakeups = std::strtoull(line.c_str() + std::strlen("voluntary_ctxt_switches:"), nullptr, 10);
    return u;
}

uint64_t ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    uint64_t size = 0, resident = 0;
    statm >> size >> resident;
    return resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

uint64_t HeapInUseBytes() {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 33))
    struct mallinfo2 mi = mallinfo2();
    return mi.uordblks + mi.hblkhd;
#else
    return 0;
#endif
}

} // namespace morel_bench
