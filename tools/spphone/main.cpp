// spphone: the speakerphone from the command line, through the library's
// public interface only.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "morelapi.h"
#include "tools/common/output.h"
#include "tools/common/parse.h"
#include "tools/spphone/commands.h"

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

namespace {

int Version(Ctx &ctx) {
    char lib[32];
    std::snprintf(lib, sizeof lib, "%d.%d.%d", MORELAPI_VERSION_MAJOR, MORELAPI_VERSION_MINOR,
                  MORELAPI_VERSION_PATCH);
    tools::Add(ctx.result, "spphone", tools::MakeStr(lib));
    return kOk;
}

int Watch(Ctx &ctx) { return RunWatch(ctx); }

constexpr Command kOwnCommands[] = {
    {"watch", "watch [--count N] [--for DURATION]",
     "print every event as it arrives (time, slot, code, name, value) until interrupted", Watch},
    {"version", "version", "version of spphone and of the library it was built with", Version},
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

const Command *FindCommand(const std::string &name) {
    for (const Family &f : AllCommands())
        for (size_t k = 0; k < f.count; ++k)
            if (name == f.commands[k].name)
                return &f.commands[k];
    return nullptr;
}

void Help(FILE *out) {
    std::fprintf(out,
                 "usage: spphone [--json] [--wait DURATION] COMMAND [ARGS]\n"
                 "\n"
                 "Drives the speakerphone through the morelapi library. The transport library\n"
                 "(libtalvo) picks the device from TALVO_DEVICE: sim (in-process simulated device),\n"
                 "unix:PATH or tcp:127.0.0.1:PORT (a running spphone-sim).\n"
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
                 "written), 2 bad usage, 3 no device, 4 timed out.\n");
}

void PrintResult(const Ctx &ctx) {
    if (ctx.printed)
        return;
    if (ctx.json) {
        std::printf("%s\n", tools::ToJson(ctx.result).c_str());
        return;
    }
    const tools::Value *ok = tools::Find(ctx.result, "ok");
    if (ok && ctx.result.items.size() == 1) {
        std::printf("ok\n");
        return;
    }
    std::fputs(tools::ToText(ctx.result).c_str(), stdout);
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
    Disconnect(ctx);
    if (rc != kOk) {
        std::fprintf(stderr, "spphone: %s\n", ctx.error.empty() ? "failed" : ctx.error.c_str());
        return rc;
    }
    PrintResult(ctx);
    return Written();
}

} // namespace spphone

int main(int argc, char **argv) { return spphone::Main(argc, argv); }
