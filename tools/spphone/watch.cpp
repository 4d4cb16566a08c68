// spphone watch: every event of the eight slots as it arrives, until
// interrupted. The library's callbacks only note the event (with the cached
// value it refers to, read at once while it is current) and wake the main
// thread, which prints; so a slow terminal never holds up the event thread.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <thread>

#include "morelapi.h"
#include "tools/common/parse.h"
#include "tools/spphone/commands.h"
#include "tools/spphone/events.h"

namespace spphone {

using namespace std::chrono_literals;

namespace {

// Turns SIGINT and SIGTERM into a request to stop, on a thread of its own
// (the signals are blocked everywhere else, the library's threads included).
void WaitForSignal(sigset_t set) {
    int sig = 0;
    if (sigwait(&set, &sig) == 0)
        Stop();
}

} // namespace

int RunWatch(Ctx &ctx) {
    std::string count, duration;
    bool hasCount = false, hasFor = false;
    if (!TakeOption(ctx, "--count", &count, &hasCount) || !TakeOption(ctx, "--for", &duration, &hasFor))
        return kUsage;
    if (!ArgCount(ctx, 0, 0, "watch [--count N] [--for DURATION]"))
        return kUsage;
    if (ctx.shell)
        return Usage(ctx, "watch: the shell prints events as they arrive already");
    std::string why;
    uint64_t limit = 0;
    if (hasCount) {
        auto v = tools::ParseUnsigned(count, UINT32_MAX, &why);
        if (!v)
            return Usage(ctx, "--count: " + why);
        limit = *v;
    }
    Clock::time_point until = Clock::time_point::max();
    if (hasFor) {
        auto d = tools::ParseDuration(duration, &why);
        if (!d)
            return Usage(ctx, "--for: " + why);
        until = Clock::now() + *d;
    }

    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread(WaitForSignal, set).detach();

    if (int rc = StartLibrary(ctx))
        return rc;
    StartShowingEvents();

    uint64_t printed = 0;
    bool linkUp = IsSPphoneAvailable() == 1;
    bool waitingShown = false;
    const auto start = Clock::now();
    while (!Stopped() && (limit == 0 || printed < limit) && Clock::now() < until) {
        // The status line: once, a moment after start or after the link went
        // down, until it is up again.
        if (!linkUp && !waitingShown && Clock::now() - start >= 300ms) {
            std::string reason = NoDeviceReason();
            std::fprintf(stderr, "spphone: waiting for the device link%s\n",
                         reason.empty() ? "" : (": " + reason).c_str());
            std::fflush(stderr);
            waitingShown = true;
        }
        Event e;
        uint64_t dropped = 0;
        auto wake = std::min(until, Clock::now() + (waitingShown || linkUp ? 1000ms : 300ms));
        if (!TakeEvent(&e, &dropped, wake))
            continue;
        if (dropped)
            std::fprintf(stderr, "spphone: %llu events dropped (the output was too slow)\n",
                         static_cast<unsigned long long>(dropped));
        if (e.code == MORELAPI_EVENT_LINK) {
            const tools::Value *state = tools::Find(e.details, "state");
            linkUp = state && state->s == "up";
            if (!linkUp)
                waitingShown = false;
        }
        PrintEvent(ctx.json, e);
        ++printed;
    }
    ctx.printed = true;
    return kOk;
}

} // namespace spphone
