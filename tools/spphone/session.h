// The spphone session: the library started, the wait for the device link,
// and the wrapper that runs one device call and names what went wrong. One
// library per process: a one-shot command starts it and stops it, the shell
// keeps it for all its commands.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/common/output.h"

namespace spphone {

// Exit status of the program (and of each command of the shell).
enum Exit : int {
    kOk = 0,
    kRefused = 1,    // the device or the library said no
    kUsage = 2,      // bad command line, or a malformed TALVO_DEVICE
    kNoDevice = 3,   // no link within --wait, or the link went down
    kTimedOut = 4,   // the device did not answer in time
    kNothingYet = 5, // a cached value no event has reported yet
};

struct Ctx {
    bool json = false;
    std::chrono::milliseconds wait{10000};
    std::vector<std::string> args; // the command's own arguments
    tools::Value result = tools::MakeObject();
    std::string text;              // output the command formatted itself, shown instead of result
    std::string error;             // one line, without the program name
    bool printed = false;          // the command wrote its own output (watch)
    bool shell = false;            // the library outlives the command (spphone shell)
};

// Starts the library once per process: refuses a malformed TALVO_DEVICE and
// a transport library that cannot be loaded at once (kUsage, kNoDevice), and
// registers spphone's callback on every slot.
int StartLibrary(Ctx &ctx);
// Starts the library and waits up to ctx.wait for the link, showing a status
// line on stderr while it waits; kOk at once while the link is up. On
// kNoDevice, ctx.error names the cause as far as spphone can tell it: the
// device's address, nobody listening there, the device serving another host.
// Commands check their arguments first, so a usage error never waits.
int Connect(Ctx &ctx);
// Why the link is not up, as a phrase; "" when spphone cannot tell.
std::string NoDeviceReason();
// Stops the library (joins its threads) when StartLibrary started it.
void StopLibrary();

// Runs one device call (connecting first). Returns kOk when call() returned
// nonzero (its result in *result); otherwise sets ctx.error to "<what>:
// <reason>" with the reason told apart by what the library shows afterwards:
// the link gone (kNoDevice), 3 s without an answer (kTimedOut), or a refusal
// (kRefused; refusal, when given, says what the device refused, such as "no
// such contact 9"). Waits first while another request of the library (a
// display re-read on its event thread) is in flight, so that the call is not
// refused for that.
int DeviceCall(Ctx &ctx, const char *what, const std::function<int64_t()> &call, int64_t *result = nullptr,
               const std::function<std::string()> &refusal = nullptr);

// Sets ctx.error and returns code.
int Fail(Ctx &ctx, int code, const std::string &message);
int Usage(Ctx &ctx, const std::string &message);

// Argument helpers for commands: take "--name" flags and "--name value"
// options out of ctx.args. A missing value is a usage error (false).
bool TakeFlag(Ctx &ctx, const char *name);
bool TakeOption(Ctx &ctx, const char *name, std::string *value, bool *present);
// After taking options: any word left that starts with "--" is unknown.
bool NoUnknownOptions(Ctx &ctx);
// Number of positional arguments must lie in [min, max].
bool ArgCount(Ctx &ctx, size_t min, size_t max, const char *usage);
// ctx.args[index] as a number up to max (usage error naming what otherwise).
bool ArgNumber(Ctx &ctx, size_t index, uint64_t max, const char *what, uint64_t *out);

} // namespace spphone
