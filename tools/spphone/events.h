// The library's events as spphone sees them. One callback serves all eight
// slots: it keeps the link state that commands wait on, notes which kinds of
// value the device has reported, and, while events are being shown (watch,
// shell), records each event for the printing thread. The callback only
// reads the library's caches, so it never holds up the event thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "tools/common/output.h"

namespace spphone {

struct Event {
    std::chrono::system_clock::time_point time;
    uint32_t slot = 0;
    uint32_t code = 0;
    std::string name;
    tools::Value details = tools::MakeObject();
};

using Clock = std::chrono::steady_clock;

// Registers the callback on every slot; UnregisterEvents undoes it.
void RegisterEvents();
void UnregisterEvents();

// From now on events are kept for TakeEvent. Link events are kept only when
// they change the link as shown, which starts as down and unshown: the first
// event kept is always "link up" (made here when the link is up already), so
// the initial link-down report of the library's start never shows.
void StartShowingEvents();
// Waits until an event is kept (true, *e filled, *dropped the number of
// events lost to a full queue before it), Stop() was called or the deadline
// passed (false).
bool TakeEvent(Event *e, uint64_t *dropped, Clock::time_point deadline);
// The printer has printed an event it took; WaitEventsPrinted waits until
// every event kept so far has been printed, at most until the deadline.
void EventPrinted();
void WaitEventsPrinted(Clock::time_point deadline);
// Wakes every waiter of this module for good (SIGINT, end of the shell).
void Stop();
bool Stopped();

// Waits until the link is up, Stop() or the deadline; true when up.
bool WaitLinkUp(Clock::time_point deadline);
// Waits while the library has a request of its own in flight, at most until
// the deadline (every event wakes the wait).
void WaitCommandIdle(Clock::time_point deadline);
// Whether this process has seen an event of code since the library started.
bool SeenEvent(uint32_t code);

// Held while a whole event or result is written to stdout, so that the
// shell's printing thread and its commands never mix their lines.
std::mutex &OutputLock();

// Prints one event on stdout: a line for people, or one JSON object.
void PrintEvent(bool json, const Event &e);
// The display image as one line: its lines joined by " | ", trailing empty
// lines left out. watch and display show it the same way.
std::string DisplayLine(const uint8_t *image, size_t n);

} // namespace spphone
