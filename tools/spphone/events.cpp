#include "tools/spphone/events.h"

#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <deque>
#include <mutex>

#include "morelapi.h"
#include "tools/spphone/items.h"

namespace spphone {

using tools::Add;
using tools::MakeStr;
using tools::MakeUint;

namespace {

// Events waiting for the printer. A device can send faster than a terminal
// shows; beyond this many the newest are counted and dropped (an event holds
// at most a display line, so the queue stays under a few megabytes).
constexpr size_t kMaxKept = 4096;

struct Shared {
    std::mutex m;
    std::condition_variable cv;
    bool linkUp = false;       // as the library last reported it
    bool showing = false;      // events are kept for TakeEvent
    bool shownUp = false;      // the link as the kept events show it
    bool stop = false;
    bool seenKey = false, seenRaw = false, seenItem = false;
    std::deque<Event> kept;
    uint64_t dropped = 0;
    uint64_t keptTotal = 0;    // events ever kept
    uint64_t printedTotal = 0; // of those, printed (EventPrinted)
};

Shared &S() {
    static Shared s;
    return s;
}

uint8_t Byte(const void *data) { return data ? *static_cast<const uint8_t *>(data) : 0; }

const char *SignalName(uint32_t slot) {
    switch (slot) {
    case MORELAPI_SLOT_CONTACTS: return "contacts";
    case MORELAPI_SLOT_RECORDS: return "records";
    case MORELAPI_SLOT_RECORDER: return "recorder";
    case MORELAPI_SLOT_RTCP: return "rtcp";
    default: return "signal";
    }
}

// What the event says, read from the library's caches while it is current.
void Describe(Event &e, const void *data) {
    switch (e.code) {
    case MORELAPI_EVENT_LINK:
        e.name = "link";
        Add(e.details, "state", MakeStr(Byte(data) == 1 ? "up" : "down"));
        return;
    case MORELAPI_EVENT_KEY: {
        e.name = "key";
        uint8_t key = 0, action = 0;
        if (GetKey(&key, &action))
            e.details = KeyValue(key, action);
        return;
    }
    case MORELAPI_EVENT_DISPLAY: {
        e.name = "display";
        uint8_t image[MORELAPI_DISPLAY_BYTES];
        if (GetLCDdata(image))
            Add(e.details, "text", MakeStr(DisplayLine(image, sizeof image)));
        return;
    }
    case MORELAPI_EVENT_RINGER_VOLUME:
    case MORELAPI_EVENT_RECEIVE_VOLUME:
    case MORELAPI_EVENT_PLAYBACK_VOLUME:
        e.name = e.code == MORELAPI_EVENT_RINGER_VOLUME    ? "ringer-volume"
                 : e.code == MORELAPI_EVENT_RECEIVE_VOLUME ? "receive-volume"
                                                           : "playback-volume";
        Add(e.details, "value", MakeUint(Byte(data)));
        return;
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
        return;
    }
    case MORELAPI_EVENT_RAW_DATA: {
        e.name = "raw-data";
        uint8_t block[MORELAPI_RAW_DATA_BYTES];
        if (ReceiveFixed128RawData(block))
            Add(e.details, "head", MakeStr(tools::Hex(block, 16)));
        return;
    }
    default:
        if (e.slot == MORELAPI_SLOT_CALL) {
            e.name = "call";
            Add(e.details, "id", MakeUint(Byte(data)));
            if (int state = CallStateOfEvent(e.code); state >= 0) {
                Add(e.details, "state", MakeUint(static_cast<uint64_t>(state)));
                Add(e.details, "stateName", MakeStr(CallStateName(static_cast<uint8_t>(state))));
            }
        } else {
            e.name = SignalName(e.slot);
        }
    }
}

// Kept under s.m. Link events only when they change the shown link.
void KeepLocked(Shared &s, Event &&e) {
    if (e.code == MORELAPI_EVENT_LINK) {
        const tools::Value *state = tools::Find(e.details, "state");
        const bool up = state && state->s == "up";
        if (up == s.shownUp)
            return;
        s.shownUp = up;
    }
    if (s.kept.size() >= kMaxKept) {
        ++s.dropped;
        return;
    }
    s.kept.push_back(std::move(e));
    ++s.keptTotal;
}

// A "link up" kept now when the library has the link up but its report has
// not been kept (it came before the registration, or is still on its way:
// the library marks the device available before it reports it; the report
// is then dropped as no change).
void KeepLinkUpLocked(Shared &s) {
    if (!s.showing || s.shownUp || IsSPphoneAvailable() != 1)
        return;
    Event e;
    e.time = std::chrono::system_clock::now();
    e.slot = MORELAPI_SLOT_DEVICE;
    e.code = MORELAPI_EVENT_LINK;
    e.name = "link";
    Add(e.details, "state", MakeStr("up"));
    KeepLocked(s, std::move(e));
    s.cv.notify_all();
}

// Runs on the library's event thread, or its link thread for 0x0105: only
// cache getters here, never a request to the device.
void MORELAPI_CALL OnEvent(uint32_t code, uint32_t slot, void *data) {
    Shared &s = S();
    bool showing;
    {
        std::lock_guard<std::mutex> g(s.m);
        showing = s.showing;
    }
    Event e;
    if (showing) {
        e.time = std::chrono::system_clock::now();
        e.slot = slot;
        e.code = code;
        Describe(e, data);
    }
    std::lock_guard<std::mutex> g(s.m);
    if (code == MORELAPI_EVENT_LINK && data != nullptr)
        s.linkUp = Byte(data) == 1;
    s.seenKey = s.seenKey || code == MORELAPI_EVENT_KEY;
    s.seenRaw = s.seenRaw || code == MORELAPI_EVENT_RAW_DATA;
    s.seenItem = s.seenItem || code == MORELAPI_EVENT_SYSTEM_DATA;
    if (showing)
        KeepLocked(s, std::move(e));
    s.cv.notify_all();
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

} // namespace

std::mutex &OutputLock() {
    static std::mutex m;
    return m;
}

void RegisterEvents() {
    for (uint16_t slot = 0; slot < MORELAPI_SLOT_COUNT; ++slot)
        RegisterEvent(slot, OnEvent, slot, nullptr);
}

void UnregisterEvents() {
    for (uint16_t slot = 0; slot < MORELAPI_SLOT_COUNT; ++slot)
        UnregisterEvent(slot);
}

void StartShowingEvents() {
    Shared &s = S();
    std::lock_guard<std::mutex> g(s.m);
    s.showing = true;
    KeepLinkUpLocked(s);
}

void EventPrinted() {
    Shared &s = S();
    std::lock_guard<std::mutex> g(s.m);
    ++s.printedTotal;
    s.cv.notify_all();
}

void WaitEventsPrinted(Clock::time_point deadline) {
    Shared &s = S();
    std::unique_lock<std::mutex> lock(s.m);
    const uint64_t upTo = s.keptTotal;
    s.cv.wait_until(lock, deadline, [&] { return s.printedTotal >= upTo; });
}

bool TakeEvent(Event *e, uint64_t *dropped, Clock::time_point deadline) {
    Shared &s = S();
    std::unique_lock<std::mutex> lock(s.m);
    s.cv.wait_until(lock, deadline, [&] { return s.stop || !s.kept.empty(); });
    if (s.kept.empty())
        return false;
    *e = std::move(s.kept.front());
    s.kept.pop_front();
    *dropped = s.dropped;
    s.dropped = 0;
    return true;
}

void Stop() {
    Shared &s = S();
    std::lock_guard<std::mutex> g(s.m);
    s.stop = true;
    s.cv.notify_all();
}

bool Stopped() {
    Shared &s = S();
    std::lock_guard<std::mutex> g(s.m);
    return s.stop;
}

bool WaitLinkUp(Clock::time_point deadline) {
    Shared &s = S();
    std::unique_lock<std::mutex> lock(s.m);
    // While events are shown, the link is up for a command once its "link
    // up" is kept, so that it prints before what the command prints.
    return s.cv.wait_until(lock, deadline,
                           [&] {
                               KeepLinkUpLocked(s);
                               return s.stop || (s.showing ? s.shownUp : s.linkUp || IsSPphoneAvailable() == 1);
                           }) &&
           !s.stop;
}

void WaitCommandIdle(Clock::time_point deadline) {
    Shared &s = S();
    std::unique_lock<std::mutex> lock(s.m);
    s.cv.wait_until(lock, deadline, [&] { return s.stop || IsCommandActive() == 0; });
}

bool SeenEvent(uint32_t code) {
    Shared &s = S();
    std::lock_guard<std::mutex> g(s.m);
    switch (code) {
    case MORELAPI_EVENT_KEY: return s.seenKey;
    case MORELAPI_EVENT_RAW_DATA: return s.seenRaw;
    case MORELAPI_EVENT_SYSTEM_DATA: return s.seenItem;
    default: return false;
    }
}

void PrintEvent(bool json, const Event &e) {
    char code[8];
    std::snprintf(code, sizeof code, "0x%04x", e.code);
    std::string line;
    if (json) {
        tools::Value v = tools::MakeObject();
        Add(v, "time", MakeStr(TimeOfDay(e.time)));
        Add(v, "slot", MakeUint(e.slot));
        Add(v, "code", MakeStr(code));
        Add(v, "name", MakeStr(e.name));
        for (size_t k = 0; k < e.details.keys.size(); ++k)
            Add(v, e.details.keys[k], e.details.items[k]);
        line = tools::ToJson(v);
    } else {
        std::string value;
        for (size_t k = 0; k < e.details.keys.size(); ++k) {
            const tools::Value &item = e.details.items[k];
            std::string shown = item.kind == tools::Value::Str ? item.s : tools::ToJson(item);
            for (char &c : shown) // one line per event, whatever the device's text holds
                if (c == '\n')
                    c = '|';
            if (e.name == "link" || e.name == "display")
                value += shown; // "link up"; the display line as display shows it
            else
                value += (value.empty() ? "" : " ") + e.details.keys[k] + "=" + shown;
        }
        char head[64];
        std::snprintf(head, sizeof head, "%s  slot %u  %s  %-15s ", TimeOfDay(e.time).c_str(), e.slot, code,
                      e.name.c_str());
        line = head + value;
    }
    std::lock_guard<std::mutex> g(OutputLock());
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

std::string DisplayLine(const uint8_t *image, size_t n) {
    std::string text = tools::TextOf(image, n);
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += " | ";
        else
            out += c;
    }
    return out;
}

} // namespace spphone
