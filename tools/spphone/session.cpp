#include "tools/spphone/session.h"

#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "morelapi.h"
#include "tools/common/parse.h"

namespace spphone {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

// The device request of the library gives up after 3000 ms; a failure that
// took about that long was a time-out.
constexpr auto kTimedOutAfter = 2900ms;
// How long to wait for another request of the library before our own.
constexpr auto kBusyWait = 3500ms;

struct LinkWatch {
    std::mutex m;
    std::condition_variable cv;
    bool up = false;
};

LinkWatch &Link() {
    static LinkWatch w;
    return w;
}

// Every event of the device slot wakes the waiters: a link report, and the
// display event that ends the library's own re-read of the display.
void MORELAPI_CALL OnDeviceEvent(uint32_t code, uint32_t, void *data) {
    LinkWatch &w = Link();
    {
        std::lock_guard<std::mutex> g(w.m);
        if (code == MORELAPI_EVENT_LINK && data != nullptr)
            w.up = *static_cast<const uint8_t *>(data) == 1;
    }
    w.cv.notify_all();
}

std::string Seconds(std::chrono::milliseconds d) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1fs", static_cast<double>(d.count()) / 1000.0);
    return buf;
}

} // namespace

int Fail(Ctx &ctx, int code, const std::string &message) {
    ctx.error = message;
    return code;
}

int Usage(Ctx &ctx, const std::string &message) { return Fail(ctx, kUsage, message); }

int Connect(Ctx &ctx) {
    if (ctx.connected)
        return kOk;
    if (!InitializeUsbApiLib())
        return Fail(ctx, kNoDevice, "no device: the library did not start");
    RegisterEvent(MORELAPI_SLOT_DEVICE, OnDeviceEvent, 0, nullptr);

    LinkWatch &w = Link();
    const auto start = Clock::now();
    const auto deadline = start + ctx.wait;
    const bool tty = isatty(STDERR_FILENO) != 0;
    bool shown = false;
    std::unique_lock<std::mutex> lock(w.m);
    auto ready = [&] { return w.up || IsSPphoneAvailable(); };
    // Quiet for a moment: a device that is there links up at once.
    w.cv.wait_until(lock, std::min(deadline, start + 300ms), ready);
    while (!ready() && Clock::now() < deadline) {
        auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        if (tty) {
            std::fprintf(stderr, "\rspphone: waiting for the device link (%s of %s)  ", Seconds(waited).c_str(),
                         Seconds(ctx.wait).c_str());
            shown = true;
        } else if (!shown) {
            std::fprintf(stderr, "spphone: waiting for the device link (up to %s)\n", Seconds(ctx.wait).c_str());
            shown = true;
        }
        std::fflush(stderr);
        w.cv.wait_until(lock, std::min(deadline, Clock::now() + 1000ms), ready);
    }
    if (shown && tty)
        std::fprintf(stderr, "\r%60s\r", "");
    ctx.connected = true; // from here on Disconnect stops the library
    if (!ready())
        return Fail(ctx, kNoDevice, "no device: the link did not come up within " + Seconds(ctx.wait));
    return kOk;
}

void Disconnect(Ctx &ctx) {
    if (!ctx.connected)
        return;
    UnregisterEvent(MORELAPI_SLOT_DEVICE);
    TerminateUsbApiLib();
    ctx.connected = false;
}

int DeviceCall(Ctx &ctx, const char *what, const std::function<int64_t()> &call, int64_t *result) {
    if (int rc = Connect(ctx))
        return rc;
    // A request of the library's own (the event thread re-reading the
    // display) makes ours fail at once; let it finish first. It ends with a
    // display event, or it timed out on the device.
    if (IsCommandActive()) {
        LinkWatch &w = Link();
        std::unique_lock<std::mutex> lock(w.m);
        w.cv.wait_for(lock, kBusyWait, [] { return IsCommandActive() == 0; });
    }

    const auto start = Clock::now();
    int64_t r = call();
    const auto took = Clock::now() - start;
    if (result)
        *result = r;
    if (r != 0)
        return kOk;
    std::string name(what);
    if (!IsSPphoneAvailable())
        return Fail(ctx, kNoDevice, name + ": no device (the link is down)");
    if (took >= kTimedOutAfter)
        return Fail(ctx, kTimedOut, name + ": timed out (no answer from the device within 3 s)");
    return Fail(ctx, kRefused, name + ": refused (the device rejected or failed the request)");
}

bool TakeFlag(Ctx &ctx, const char *name) {
    for (auto it = ctx.args.begin(); it != ctx.args.end(); ++it) {
        if (*it == name) {
            ctx.args.erase(it);
            return true;
        }
    }
    return false;
}

bool TakeOption(Ctx &ctx, const char *name, std::string *value, bool *present) {
    *present = false;
    const std::string prefix = std::string(name) + "=";
    for (auto it = ctx.args.begin(); it != ctx.args.end(); ++it) {
        if (it->rfind(prefix, 0) == 0) {
            *value = it->substr(prefix.size());
            *present = true;
            ctx.args.erase(it);
            return true;
        }
        if (*it == name) {
            if (it + 1 == ctx.args.end()) {
                Usage(ctx, std::string(name) + " needs a value");
                return false;
            }
            *value = *(it + 1);
            *present = true;
            ctx.args.erase(it, it + 2);
            return true;
        }
    }
    return true;
}

bool NoUnknownOptions(Ctx &ctx) {
    for (const std::string &a : ctx.args) {
        if (a.size() > 2 && a.rfind("--", 0) == 0) {
            Usage(ctx, "unknown option " + a);
            return false;
        }
    }
    return true;
}

bool ArgCount(Ctx &ctx, size_t min, size_t max, const char *usage) {
    if (!NoUnknownOptions(ctx))
        return false;
    if (ctx.args.size() < min || ctx.args.size() > max) {
        Usage(ctx, std::string("usage: spphone ") + usage);
        return false;
    }
    return true;
}

bool ArgNumber(Ctx &ctx, size_t index, uint64_t max, const char *what, uint64_t *out) {
    std::string why;
    auto v = tools::ParseUnsigned(ctx.args.at(index), max, &why);
    if (!v) {
        Usage(ctx, std::string(what) + ": " + why);
        return false;
    }
    *out = *v;
    return true;
}

} // namespace spphone
