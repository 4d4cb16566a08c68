#include "core/platform.h"

namespace morel {

Timing g_timing;

namespace {
std::atomic<bool> g_testTickEnabled{false};
std::atomic<uint32_t> g_testTick{0};
std::atomic<SleepHook> g_sleepHook{nullptr};
const auto g_epoch = std::chrono::steady_clock::now();
} // namespace

void EventSet(Event &e) {
    bool all;
    {
        std::lock_guard<std::mutex> g(e.m);
        e.signalled = true;
        all = e.manual;
    }
    if (all)
        e.cv.notify_all();
    else
        e.cv.notify_one();
}

void EventRelease(Event &e) {
    {
        std::lock_guard<std::mutex> g(e.m);
        e.signalled = true;
        e.manual = true;
        e.released = true;
    }
    e.cv.notify_all();
}

void EventReset(Event &e) {
    std::lock_guard<std::mutex> g(e.m);
    e.signalled = e.released;
}

WaitResult EventWait(Event &e, int64_t timeoutMs) {
    std::unique_lock<std::mutex> g(e.m);
    auto ready = [&] { return e.signalled; };
    if (timeoutMs < 0) {
        e.cv.wait(g, ready);
    } else if (!e.cv.wait_for(g, std::chrono::milliseconds(timeoutMs), ready)) {
        return WaitResult::Timeout;
    }
    if (!e.manual)
        e.signalled = false;
    return WaitResult::Signalled;
}

uint32_t TickNow() {
    if (g_testTickEnabled.load(std::memory_order_acquire))
        return g_testTick.load(std::memory_order_acquire);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - g_epoch).count();
    return static_cast<uint32_t>(ms);
}

void SetTestTick(bool enabled, uint32_t value) {
    g_testTick.store(value, std::memory_order_release);
    g_testTickEnabled.store(enabled, std::memory_order_release);
}

void AdvanceTestTick(uint32_t ms) { g_testTick.fetch_add(ms, std::memory_order_acq_rel); }

void SetSleepHook(SleepHook hook) { g_sleepHook.store(hook); }
SleepHook GetSleepHook() { return g_sleepHook.load(); }

} // namespace morel
