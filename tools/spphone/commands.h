// The table of spphone's commands. Each family of the library's exports has
// one command; families with several operations take a verb as their first
// argument ("spphone call dial 555").
#pragma once

#include <cstddef>
#include <string>

#include "tools/spphone/session.h"

namespace spphone {

struct Command {
    const char *name;
    const char *usage;   // what follows "spphone " in the help
    const char *summary;
    int (*run)(Ctx &ctx);
};

struct Verb {
    const char *name;
    int (*run)(Ctx &ctx);
};

// Runs the verb named by ctx.args[0] (removed from the arguments), or
// defaultVerb when there are no arguments (nullptr: the verb is required).
int RunVerb(Ctx &ctx, const char *family, const Verb *verbs, size_t count, const char *defaultVerb);

// Sets the result of a command that only does something: {"ok": true}.
int Done(Ctx &ctx);

// The command of that name, or nullptr.
const Command *FindCommand(const std::string &name);
// What a command that succeeded prints: its JSON object, its own text, "ok"
// or its result for people; "" when it printed already.
std::string ResultText(const Ctx &ctx);

const Command *DeviceCommands(size_t *count); // status, keys, display, calls, audio
const Command *DataCommands(size_t *count);   // items, contacts, recorder, camera, RTCP, raw
int RunWatch(Ctx &ctx);
int RunShell(Ctx &ctx);

} // namespace spphone
