// spphone watch: every event of the eight slots as it arrives, until
// interrupted. The library's callbacks only note the event (with the cached
// value it refers to, read at once while it is current) and wake the main
// thread, which prints; so a slow terminal never holds up the event thread.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <deque>
#include <mutex>
#include <thread>

#include "morelapi.h"
#include "tools/common/output.h"
#include "tools/common/parse.h"
#include "tools/spphone/commands.h"
#include "tools/spphone/items.h"

namespace spphone {

using tools::Add;
using tools::MakeStr;
using tools::MakeUint;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

struct Event {
    std::chrono::system_clock::time_point time;
    uint32_t slot;
    uint32_t code;
    std::string name;
    tools::Value details = tools::MakeObject();
};

struct Watch {
    std::mutex m;
    std::condition_variable cv;
    std::deque<Event> events;
    bool stop = false;
};

Watch &Shared() {
    static Watch w;
    return w;
}

// The device state each call event reports (the library passes these
// numbers through; the tool only shows them).
struct CallCode {
    uint32_t code;
    uint8_t state;
};
constexpr CallCode kCallCodes[] = {
    {0x0201, 8},  {0x0202, 9},  {0x0203, 2},  {0x0204, 10}, {0x0205, 0},  {0x0206, 16}, {0x0207, 12},
    {0x0208, 11}, {0x0209, 13}, {0x020A, 15}, {0x020C, 4},  {0x020D, 5},  {0x020E, 6},  {0x020F, 7},
    {0x0210, 18}, {0x0211, 19}, {0x0212, 20}, {0x0213, 17}, {0x0214, 22}, {0x0215, 23}, {0x0216, 24},
    {0x0217, 25}, {0x0218, 26}, {0x0219, 21}, {0x021A, 27}, {0x021B, 28}, {0x021C, 29}, {0x021D, 30},
    {0x021E, 31}, {0x021F, 32},
};

bool IsEndState(uint8_t s) { return s == 0 || s == 4 || s == 5 || s == 6 || s == 7 || s == 24 || s == 25 || s == 26; }

const char *SignalName(uint32_t slot) {
    switch (slot) {
    case MORELAPI_SLOT_CONTACTS: return "contacts";
    case MORELAPI_SLOT_RECORDS: return "records";
    case MORELAPI_SLOT_RECORDER: return "recorder";
    case MORELAPI_SLOT_RTCP: return "rtcp";
    default: return "signal";
    }
}

uint8_t Byte(const void *data) { return data ? *static_cast<const uint8_t *>(data) : 0; }

// Runs on the library's event thread (or its link thread for 0x0105): only
// cache getters here, never a request to the device.
void MORELAPI_CALL OnEvent(uint32_t code, uint32_t slot, void *data) {
    Event e;
    e.time = std::chrono::system_clock::now();
    e.slot = slot;
    e.code = code;
    switch (code) {
    case MORELAPI_EVENT_LINK:
        e.name = "link";
        Add(e.details, "state", MakeStr(Byte(data) == 1 ? "up" : "down"));
        break;
    case MORELAPI_EVENT_KEY: {
        e.name = "key";
        uint8_t key = 0, action = 0;
        if (GetKey(&key, &action)) {
            Add(e.details, "code", MakeUint(key));
            if (key >= 0x20 && key < 0x7F)
                Add(e.details, "key", MakeStr(std::string(1, static_cast<char>(key))));
            Add(e.details, "action", MakeUint(action));
        }
        break;
    }
    case MORELAPI_EVENT_DISPLAY: {
        e.name = "display";
        uint8_t image[MORELAPI_DISPLAY_BYTES];
        if (GetLCDdata(image)) {
            std::string text = tools::TextOf(image, sizeof image);
            for (char &c : text)
                if (c == '\n')
                    c = '|';
            Add(e.details, "text", MakeStr(text));
        }
        break;
    }
    case MORELAPI_EVENT_RINGER_VOLUME:
    case MORELAPI_EVENT_RECEIVE_VOLUME:
    case MORELAPI_EVENT_PLAYBACK_VOLUME:
        e.name = code == MORELAPI_EVENT_RINGER_VOLUME    ? "ringer-volume"
                 : code == MORELAPI_EVENT_RECEIVE_VOLUME ? "receive-volume"
                                                         : "playback-volume";
        Add(e.details, "value", MakeUint(Byte(data)));
        break;
    case MORELAPI_EVENT_SYSTEM_DATA: {
        e.name = "item";
        const uint16_t id = data ? tools::Le16(static_cast<const uint8_t *>(data)) : 0;
        Add(e.details, "id", MakeUint(id));
        uint16_t changed = 0;
        uint8_t buf[129] = {};
        const ItemInfo *item = FindItemInfo(id);
        if (item && item->width > 0 && GetChangedSystemData(&changed, buf) && changed == id) {
            if (item->text)
                Add(e.details, "value", MakeStr(tools::TextOf(buf, item->width)));
            else
                Add(e.details, "hex", MakeStr(tools::Hex(buf, item->width)));
        }
        break;
    }
    case MORELAPI_EVENT_RAW_DATA: {
        e.name = "raw-data";
        uint8_t block[MORELAPI_RAW_DATA_BYTES];
        if (ReceiveFixed128RawData(block))
            Add(e.details, "head", MakeStr(tools::Hex(block, 16)));
        break;
    }
    default:
        if (slot == MORELAPI_SLOT_CALL) {
            e.name = "call";
            Add(e.details, "id", MakeUint(Byte(data)));
            for (const CallCode &c : kCallCodes) {
                if (c.code == code) {
                    Add(e.details, "state", MakeUint(c.state));
                    if (IsEndState(c.state))
                        Add(e.details, "ended", tools::MakeBool(true));
                }
            }
        } else {
            e.name = SignalName(slot);
        }
    }
    Watch &w = Shared();
    std::lock_guard<std::mutex> g(w.m);
    w.events.push_back(std::move(e));
    w.cv.notify_all();
}

std::string TimeOfDay(std::chrono::system_clock::time_point t) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count() % 1000;
    const std::time_t secs = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
    localtime_r(&secs, &tm);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
    return buf;
}

void Print(const Ctx &ctx, const Event &e) {
    char code[8];
    std::snprintf(code, sizeof code, "0x%04x", e.code);
    if (ctx.json) {
        tools::Value v = tools::MakeObject();
        Add(v, "time", MakeStr(TimeOfDay(e.time)));
        Add(v, "slot", MakeUint(e.slot));
        Add(v, "code", MakeStr(code));
        Add(v, "name", MakeStr(e.name));
        for (size_t k = 0; k < e.details.keys.size(); ++k)
            Add(v, e.details.keys[k], e.details.items[k]);
        std::printf("%s\n", tools::ToJson(v).c_str());
    } else {
        std::string value;
        for (size_t k = 0; k < e.details.keys.size(); ++k) {
            const tools::Value &item = e.details.items[k];
            std::string shown = item.kind == tools::Value::Str ? item.s : tools::ToJson(item);
            for (char &c : shown) // one line per event, whatever the device's text holds
                if (c == '\n')
                    c = '|';
            if (e.details.keys[k] == "state" && e.name == "link")
                value += shown; // "link up", "link down"
            else
                value += (value.empty() ? "" : " ") + e.details.keys[k] + "=" + shown;
        }
        std::printf("%s  slot %u  %s  %-15s %s\n", TimeOfDay(e.time).c_str(), e.slot, code, e.name.c_str(),
                    value.c_str());
    }
    std::fflush(stdout);
}

// Turns SIGINT and SIGTERM into a request to stop, on a thread of its own
// (the signals are blocked everywhere else, the library's threads included).
void WaitForSignal(sigset_t set) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0)
        return;
    Watch &w = Shared();
    std::lock_guard<std::mutex> g(w.m);
    w.stop = true;
    w.cv.notify_all();
}

} // namespace

int RunWatch(Ctx &ctx) {
    std::string count, duration;
    bool hasCount = false, hasFor = false;
    if (!TakeOption(ctx, "--count", &count, &hasCount) || !TakeOption(ctx, "--for", &duration, &hasFor))
        return kUsage;
    if (!ArgCount(ctx, 0, 0, "watch [--count N] [--for DURATION]"))
        return kUsage;
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

    if (!InitializeUsbApiLib())
        return Fail(ctx, kNoDevice, "no device: the library did not start");
    for (uint16_t slot = 0; slot < MORELAPI_SLOT_COUNT; ++slot)
        RegisterEvent(slot, OnEvent, slot, nullptr);

    Watch &w = Shared();
    uint64_t printed = 0;
    bool linkUp = IsSPphoneAvailable() == 1;
    bool waitingShown = false;
    const auto start = Clock::now();
    std::unique_lock<std::mutex> lock(w.m);
    while (!w.stop && (limit == 0 || printed < limit) && Clock::now() < until) {
        // The status line: once, a moment after start or after the link went
        // down, until it is up again.
        if (!linkUp && !waitingShown && Clock::now() - start >= 300ms) {
            std::fprintf(stderr, "spphone: waiting for the device link...\n");
            std::fflush(stderr);
            waitingShown = true;
        }
        auto wake = std::min(until, Clock::now() + (waitingShown || linkUp ? 1000ms : 300ms));
        w.cv.wait_until(lock, wake, [&] { return w.stop || !w.events.empty(); });
        while (!w.events.empty() && (limit == 0 || printed < limit)) {
            Event e = std::move(w.events.front());
            w.events.pop_front();
            if (e.code == MORELAPI_EVENT_LINK) {
                const tools::Value *state = tools::Find(e.details, "state");
                linkUp = state && state->s == "up";
                if (!linkUp)
                    waitingShown = false;
            }
            lock.unlock();
            Print(ctx, e);
            ++printed;
            lock.lock();
        }
    }
    lock.unlock();
    for (uint16_t slot = 0; slot < MORELAPI_SLOT_COUNT; ++slot)
        UnregisterEvent(slot);
    TerminateUsbApiLib();
    ctx.printed = true;
    return kOk;
}

} // namespace spphone
