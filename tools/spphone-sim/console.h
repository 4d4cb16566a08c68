// The console of spphone-sim: one line, one thing a person does at the
// device (ring, press a key, turn a volume wheel, pull the cable) or one way
// for it to misbehave. The same lines come from stdin, --script and
// --command.
#pragma once

#include <chrono>
#include <string>

#include "sim/sim.h"

namespace simconsole {

struct Console {
    sim::Device *dev = nullptr;
    // The rules and failing opens given with "fault" since the last "fault
    // clear", as given; the device keeps what each has left ("fault list").
    sim::FaultPlan plan;
    // The device answers from a trace: what shows or changes how the model
    // answers (state, display, setting the version, answer faults) is refused.
    bool replay = false;
};

// What the program must do after a line, besides printing the reply.
enum class Control {
    None,
    Quit,
    WaitHost, // hold the following lines until a host has connected and read the
              // device's state (or duration passed)
    Sleep,    // hold the following lines for duration
};

struct Reply {
    bool ok = true;
    std::string text; // "ok ..." or "error: ..."; may span lines; empty for comments
    Control control = Control::None;
    std::chrono::milliseconds duration{0};
};

// Runs one console line against the device. Never throws; bad input gives an
// error reply and changes nothing.
Reply RunLine(Console &console, const std::string &line);

// The help text of the console.
std::string ConsoleHelp();

} // namespace simconsole
