// spphone: the speakerphone from the command line, through the library's
// public interface only.
#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

#include "morelapi.h"
#include "tools/common/output.h"
#include "tools/common/parse.h"
#include "tools/spphone/commands.h"
#include "tools/spphone/trace.h"

namespace spphone {

int RunVerb(Ctx &ctx, const char *family, const Verb *verbs, size_t count, const char *defaultVerb) {
    std::string name;
    if (!ctx.args.empty() && ctx.args[0].rfind("--", 0) != 0) {
        name = ctx.args[0];
        ctx.args.erase(ctx.args.begin());
    } else if (defaultVerb) {
        name = defaultVerb;
    }
    for (size_t k = 0; k < count; ++k)
        if (name == verbs[k].name)
            return verbs[k].run(ctx);
    std::string known;
    for (size_t k = 0; k < count; ++k)
        known += std::string(k ? ", " : "") + verbs[k].name;
    if (name.empty())
        return Usage(ctx, std::string(family) + ": give one of " + known);
    return Usage(ctx, std::string(family) + ": unknown operation '" + name + "' (known: " + known + ")");
}

int Done(Ctx &ctx) {
    tools::Add(ctx.result, "ok", tools::MakeBool(true));
    return kOk;
}

std::string ResultText(const Ctx &ctx) {
    if (ctx.printed)
        return "";
    if (ctx.json)
        return tools::ToJson(ctx.result) + "\n";
    if (!ctx.text.empty())
        return ctx.text;
    const tools::Value *ok = tools::Find(ctx.result, "ok");
    if (ok && ctx.result.items.size() == 1)
        return "ok\n";
    return tools::ToText(ctx.result);
}

namespace {

// The version of the library that is loaded, from the name of its file
// (libmorelapi.so.1.0.0): the header says only what spphone was built with.
void LibraryFile(std::string *path, std::string *version) {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&InitializeUsbApiLib), &info) == 0 || info.dli_fname == nullptr)
        return;
    char resolved[PATH_MAX];
    *path = realpath(info.dli_fname, resolved) ? resolved : info.dli_fname;
    const std::string name = path->substr(path->rfind('/') + 1);
    const size_t so = name.find(".so.");
    if (so != std::string::npos)
        *version = name.substr(so + 4);
}

int Version(Ctx &ctx) {
    if (!ArgCount(ctx, 0, 0, "version"))
        return kUsage;
    char built[32];
    std::snprintf(built, sizeof built, "%d.%d.%d", MORELAPI_VERSION_MAJOR, MORELAPI_VERSION_MINOR,
                  MORELAPI_VERSION_PATCH);
    std::string path, loaded;
    LibraryFile(&path, &loaded);
    tools::Add(ctx.result, "spphone", tools::MakeStr(built));
    tools::Add(ctx.result, "library", tools::MakeStr(loaded.empty() ? "unknown" : loaded));
    tools::Add(ctx.result, "libraryFile", tools::MakeStr(path.empty() ? "unknown" : path));
    tools::Add(ctx.result, "builtWith", tools::MakeStr(built));
    return kOk;
}

int Watch(Ctx &ctx) { return RunWatch(ctx); }
int Shell(Ctx &ctx) { return RunShell(ctx); }

constexpr Command kOwnCommands[] = {
    {"watch", "watch [--count N] [--for DURATION]",
     "print every event as it arrives (time, slot, code, name, value) until interrupted; the first line is "
     "the link coming up",
     Watch},
    {"shell", "shell [FILE] [--stop-on-error]",
     "one library for many commands, read from FILE or stdin, while events print as they arrive", Shell},
    {"version", "version", "version of spphone and of the library it runs with", Version},
    {"trace", kTraceUsage,
     "print a protocol trace (MORELAPI_TRACE) one event a line, each answer with its round trip, then a summary; "
     "filters repeat; --json passes the selected lines through; needs no device. Keeps at most 4096 unanswered "
     "requests and 4096 answers ahead of their request's line (the oldest forgotten first), and 100000 round "
     "trips for the medians, 1000 per command (a uniform sample beyond)",
     RunTrace},
};

struct Family {
    const Command *commands;
    size_t count;
};

std::vector<Family> AllCommands() {
    std::vector<Family> all;
    size_t n = 0;
    const Command *c = DeviceCommands(&n);
    all.push_back({c, n});
    c = DataCommands(&n);
    all.push_back({c, n});
    all.push_back({kOwnCommands, std::size(kOwnCommands)});
    return all;
}

void Help(FILE *out) {
    std::fprintf(out,
                 "usage: spphone [--json] [--wait DURATION] COMMAND [ARGS]\n"
                 "\n"
                 "Drives the speakerphone through the morelapi library. The transport library\n"
                 "(libtalvo) picks the device from TALVO_DEVICE: sim or unset (in-process simulated\n"
                 "device), unix:PATH or tcp:127.0.0.1:PORT (a running spphone-sim).\n"
                 "\n"
                 "options:\n"
                 "  --json            print results as JSON (watch: one object per line)\n"
                 "  --wait DURATION   how long to wait for the device link (default 10s)\n"
                 "\n"
                 "commands:\n");
    for (const Family &f : AllCommands())
        for (size_t k = 0; k < f.count; ++k)
            std::fprintf(out, "  %s\n      %s\n", f.commands[k].usage, f.commands[k].summary);
    std::fprintf(out,
                 "\n"
                 "Byte arguments (numbers, texts) take hex:0a0b... for raw bytes.\n"
                 "Exit status: 0 done, 1 refused by the device (or the output could not be\n"
                 "written), 2 bad usage (or a malformed TALVO_DEVICE), 3 no device, 4 timed out,\n"
                 "5 nothing reported yet (a cached value no event has brought).\n");
}

// kOk once stdout has taken everything printed: output that never reached
// its reader (a full disk, a closed pipe) is no success.
int Written() {
    if (std::fflush(stdout) == 0 && !std::ferror(stdout))
        return kOk;
    std::fprintf(stderr, "spphone: cannot write the output: %s\n", std::strerror(errno));
    return kRefused;
}

} // namespace

const Command *FindCommand(const std::string &name) {
    for (const Family &f : AllCommands())
        for (size_t k = 0; k < f.count; ++k)
            if (name == f.commands[k].name)
                return &f.commands[k];
    return nullptr;
}

int Main(int argc, char **argv) {
    Ctx ctx;
    std::string command;
    bool help = false;
    for (int k = 1; k < argc; ++k) {
        std::string a = argv[k];
        if (a == "--json") {
            ctx.json = true;
        } else if (a == "--wait" || a.rfind("--wait=", 0) == 0) {
            std::string value;
            if (a == "--wait") {
                if (k + 1 >= argc) {
                    std::fprintf(stderr, "spphone: --wait needs a value\n");
                    return kUsage;
                }
                value = argv[++k];
            } else {
                value = a.substr(7);
            }
            std::string why;
            auto d = tools::ParseDuration(value, &why);
            if (!d) {
                std::fprintf(stderr, "spphone: --wait: %s\n", why.c_str());
                return kUsage;
            }
            ctx.wait = *d;
        } else if ((a == "--help" || a == "-h") && command.empty()) {
            help = true;
        } else if (command.empty() && a.rfind("-", 0) != 0) {
            command = a;
        } else {
            ctx.args.push_back(a);
        }
    }
    if (help || command == "help") {
        Help(stdout);
        return Written();
    }
    if (command.empty()) {
        Help(stderr);
        return kUsage;
    }
    const Command *cmd = FindCommand(command);
    if (cmd == nullptr) {
        std::fprintf(stderr, "spphone: unknown command '%s' (spphone --help lists them)\n", command.c_str());
        return kUsage;
    }
    int rc = cmd->run(ctx);
    StopLibrary();
    if (rc != kOk) {
        std::fprintf(stderr, "spphone: %s\n", ctx.error.empty() ? "failed" : ctx.error.c_str());
        return rc;
    }
    std::fputs(ResultText(ctx).c_str(), stdout);
    return Written();
}

} // namespace spphone

int main(int argc, char **argv) { return spphone::Main(argc, argv); }
