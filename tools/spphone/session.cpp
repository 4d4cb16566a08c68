#include "tools/spphone/session.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "morelapi.h"
#include "tools/common/parse.h"
#include "tools/spphone/device.h"
#include "tools/spphone/events.h"

namespace spphone {

using namespace std::chrono_literals;

namespace {

// The device request of the library gives up after 3000 ms; a failure that
// took about that long was a time-out.
constexpr auto kTimedOutAfter = 2900ms;
// How long to wait for another request of the library before our own.
constexpr auto kBusyWait = 3500ms;
// A device that is there links up within this; after it spphone looks for
// the reason and says it is waiting.
constexpr auto kQuiet = 300ms;
// A device found serving another host is looked at once more after this
// (the host it serves may be leaving) before spphone gives up.
constexpr auto kBusyRecheck = 1000ms;

struct Library {
    bool started = false;
    DeviceAddress address;
};

Library &Lib() {
    static Library l;
    return l;
}

std::string Seconds(std::chrono::milliseconds d) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1fs", static_cast<double>(d.count()) / 1000.0);
    return buf;
}

std::string Reason(bool *busy) {
    *busy = false;
    return ProbeEndpoint(Lib().address, busy);
}

} // namespace

int Fail(Ctx &ctx, int code, const std::string &message) {
    ctx.error = message;
    return code;
}

int Usage(Ctx &ctx, const std::string &message) { return Fail(ctx, kUsage, message); }

int StartLibrary(Ctx &ctx) {
    Library &lib = Lib();
    if (lib.started)
        return kOk;
    std::string why;
    auto address = ParseDeviceAddress(std::getenv("TALVO_DEVICE"), &why);
    if (!address)
        return Usage(ctx, "TALVO_DEVICE: " + why);
    if (!InitializeUsbApiLib())
        return Fail(ctx, kNoDevice, "no device: the library did not start");
    lib.started = true;
    lib.address = *address;
    RegisterEvents();
    std::string problem = TransportProblem();
    if (!problem.empty())
        return Fail(ctx, kNoDevice, "no device: " + problem);
    return kOk;
}

void StopLibrary() {
    Library &lib = Lib();
    if (!lib.started)
        return;
    UnregisterEvents();
    TerminateUsbApiLib();
    lib.started = false;
}

std::string NoDeviceReason() {
    bool busy = false;
    return Reason(&busy);
}

int Connect(Ctx &ctx) {
    if (int rc = StartLibrary(ctx))
        return rc;
    const auto start = Clock::now();
    const auto deadline = start + ctx.wait;
    if (WaitLinkUp(std::min(deadline, start + kQuiet)))
        return kOk;
    const bool tty = isatty(STDERR_FILENO) != 0;
    bool busy = false;
    std::string reason = Clock::now() < deadline ? Reason(&busy) : "";
    const std::string because = reason.empty() ? "" : ": " + reason;
    bool shown = false;
    auto busySince = busy ? Clock::now() : Clock::time_point::max();
    while (Clock::now() < deadline && !Stopped()) {
        if (busy && Clock::now() - busySince >= kBusyRecheck) {
            // Still turned away a second later: another host holds the device.
            bool again = false;
            std::string now = Reason(&again);
            // A request in flight means this library is talking to a device:
            // its own slow start-up, not another host, holds the device.
            if (again && IsCommandActive() == 0) {
                if (shown && tty)
                    std::fprintf(stderr, "\n");
                return Fail(ctx, kNoDevice, "no device: " + now);
            }
            busy = false;
        }
        auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        if (tty) {
            std::fprintf(stderr, "\rspphone: waiting for the device link, %s of %s%s  ", Seconds(waited).c_str(),
                         Seconds(ctx.wait).c_str(), because.c_str());
            shown = true;
        } else if (!shown) {
            std::fprintf(stderr, "spphone: waiting for the device link up to %s%s\n", Seconds(ctx.wait).c_str(),
                         because.c_str());
            shown = true;
        }
        std::fflush(stderr);
        if (WaitLinkUp(std::min(deadline, Clock::now() + 1000ms))) {
            if (tty) // the waiting line goes: what follows is the command's
                std::fprintf(stderr, "\r%*s\r", static_cast<int>(80 + because.size()), "");
            return kOk;
        }
    }
    if (shown && tty)
        std::fprintf(stderr, "\n");
    if (WaitLinkUp(Clock::now()))
        return kOk;
    reason = Reason(&busy);
    if (reason.empty() && Lib().address.kind == DeviceAddress::InProcess)
        reason = "the in-process simulated device (TALVO_DEVICE unset or sim) did not link";
    return Fail(ctx, kNoDevice,
                "no device: the link did not come up within " + Seconds(ctx.wait) + (reason.empty() ? "" : ": " + reason));
}

int DeviceCall(Ctx &ctx, const char *what, const std::function<int64_t()> &call, int64_t *result,
               const std::function<std::string()> &refusal) {
    if (int rc = Connect(ctx))
        return rc;
    // A request of the library's own (the event thread re-reading the
    // display) makes ours fail at once; let it finish first. It ends with a
    // display event, or it timed out on the device.
    if (IsCommandActive())
        WaitCommandIdle(Clock::now() + kBusyWait);

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
    std::string meaning = refusal ? refusal() : "";
    if (!meaning.empty())
        return Fail(ctx, kRefused, name + ": " + meaning + ", refused by the device");
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
