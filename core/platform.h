// Platform primitives: lock, event, millisecond tick and interruptible sleep.
// Everything that reads the time goes through TickNow() and the Timing record,
// so tests can drive the clock and shorten waits while the shipped library
// keeps its constants.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace morel {

using Lock = std::mutex;
using LockGuard = std::lock_guard<std::mutex>;

// Windows-style event: auto-reset (one waiter released per signal) or
// manual-reset, chosen when it is made; it starts unsignalled.
enum class EventMode { Auto, Manual };

struct Event {
    explicit Event(EventMode mode = EventMode::Auto) : manual(mode == EventMode::Manual) {}
    Event(const Event &) = delete;
    Event &operator=(const Event &) = delete;

    std::mutex m;
    std::condition_variable cv;
    bool signalled = false;
    bool manual;
    bool released = false; // EventRelease: stays signalled for good
};

enum class WaitResult { Signalled, Timeout };

void EventSet(Event &e);
void EventReset(Event &e);
// Signals the event for good, as a manual-reset one: every wait on it, now
// or later, returns at once. The stop uses it so that no thread, however
// many wait on one auto-reset event, can miss its wake-up.
void EventRelease(Event &e);
// Waits until signalled or timeoutMs passed; timeoutMs < 0 waits without limit.
WaitResult EventWait(Event &e, int64_t timeoutMs);

// Constants of the protocol's timing. Tests may shorten them; the library
// itself never changes them.
struct Timing {
    std::atomic<uint32_t> replyTimeoutMs{3000};
    std::atomic<uint32_t> idleWaitMs{2000};      // event thread's wait for work
    std::atomic<uint32_t> keepAliveAfterMs{2000}; // silence before the keep-alive
    std::atomic<uint32_t> displayRetryMs{100};   // display handler's wait for a free request slot
};
extern Timing g_timing;

// 32-bit wrapping millisecond tick.
uint32_t TickNow();

// Test clock: when enabled, TickNow() returns the value set here and does not
// advance by itself.
void SetTestTick(bool enabled, uint32_t value = 0);
void AdvanceTestTick(uint32_t ms);

// Hook that replaces the link manager's back-off sleep in tests: it receives
// the requested duration and decides how long to really wait (return value).
using SleepHook = uint32_t (*)(uint32_t requestedMs);
void SetSleepHook(SleepHook hook);
SleepHook GetSleepHook();

} // namespace morel
