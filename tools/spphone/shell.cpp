// spphone shell: one library for a whole session. Commands come from a file
// or stdin, one per line, in the words of the one-shot commands; a thread
// prints the device's events as they arrive, between the commands' results.
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "morelapi.h"
#include "tools/common/parse.h"
#include "tools/spphone/commands.h"
#include "tools/spphone/events.h"

namespace spphone {

using namespace std::chrono_literals;

namespace {

// Names of the events shown since the last "wait" took one, for "wait". The
// oldest go first beyond this many.
constexpr size_t kMaxRecent = 4096;
// How long a result waits for the events before it to be printed (only a
// stalled stdout takes longer).
constexpr auto kFlushWait = 5s;
// A line longer than this is refused rather than kept growing.
constexpr size_t kMaxLine = 64 * 1024;

struct Recent {
    std::mutex m;
    std::condition_variable cv;
    std::deque<std::string> names;
};

Recent &R() {
    static Recent r;
    return r;
}

void PrintEvents(bool json) {
    Event e;
    uint64_t dropped = 0;
    while (TakeEvent(&e, &dropped, Clock::time_point::max())) {
        if (dropped)
            std::fprintf(stderr, "spphone: %llu events dropped (the output was too slow)\n",
                         static_cast<unsigned long long>(dropped));
        PrintEvent(json, e);
        EventPrinted();
        Recent &r = R();
        std::lock_guard<std::mutex> g(r.m);
        if (r.names.size() >= kMaxRecent)
            r.names.pop_front();
        r.names.push_back(e.name);
        r.cv.notify_all();
    }
}

const char kShellHelp[] =
    "Commands are those of spphone (spphone --help), one per line, without \"spphone\":\n"
    "  status, call dial 5551234, key F --down, key F --up, item changed, ...\n"
    "and the shell's own:\n"
    "  wait EVENT [TIMEOUT]  wait until an event of that name (link, key, display, call,\n"
    "                        ringer-volume, item, ...) shows; each wait takes one such\n"
    "                        event shown since the previous wait (default 10s; status 4)\n"
    "  sleep DURATION        pause while events keep printing\n"
    "  help                  this text\n"
    "  quit                  end the session (so does the end of the input)\n"
    "Lines starting with # are comments.\n";

// "wait NAME [TIMEOUT]": takes the oldest event of NAME shown since the
// last wait, waiting for one up to TIMEOUT.
int WaitFor(Ctx &ctx) {
    if (!ArgCount(ctx, 1, 2, "wait EVENT [TIMEOUT]"))
        return kUsage;
    std::chrono::milliseconds timeout = 10000ms;
    const std::string shown = ctx.args.size() == 2 ? ctx.args[1] : "10s";
    if (ctx.args.size() == 2) {
        std::string why;
        auto d = tools::ParseDuration(ctx.args[1], &why);
        if (!d)
            return Usage(ctx, "wait: " + why);
        timeout = *d;
    }
    const std::string name = ctx.args[0];
    Recent &r = R();
    std::unique_lock<std::mutex> lock(r.m);
    auto it = r.names.end();
    auto found = [&] {
        for (it = r.names.begin(); it != r.names.end(); ++it)
            if (*it == name)
                return true;
        return false;
    };
    if (!r.cv.wait_for(lock, timeout, found))
        return Fail(ctx, kTimedOut, "wait: no " + name + " event within " + shown);
    r.names.erase(r.names.begin(), it + 1);
    return Done(ctx);
}

int Pause(Ctx &ctx) {
    if (!ArgCount(ctx, 1, 1, "sleep DURATION"))
        return kUsage;
    std::string why;
    auto d = tools::ParseDuration(ctx.args[0], &why);
    if (!d)
        return Usage(ctx, "sleep: " + why);
    std::this_thread::sleep_for(*d);
    return Done(ctx);
}

// Runs one line; kOk for blank lines and comments. *quit is set by quit.
int RunLine(const Ctx &shell, const std::string &line, bool *quit) {
    std::vector<std::string> words;
    Ctx ctx;
    ctx.json = shell.json;
    ctx.wait = shell.wait;
    ctx.shell = true;
    int rc = kOk;
    if (line.size() > kMaxLine) {
        rc = Usage(ctx, "line longer than " + std::to_string(kMaxLine) + " bytes");
    } else if (!tools::SplitWords(line, &words)) {
        rc = Usage(ctx, "unterminated quote");
    } else if (words.empty() || words[0][0] == '#') {
        return kOk;
    } else {
        ctx.args.assign(words.begin() + 1, words.end());
        const std::string &word = words[0];
        if (word == "quit" || word == "exit") {
            *quit = true;
            return kOk;
        }
        const Command *cmd = nullptr;
        if (word == "help") {
            ctx.text = kShellHelp;
            tools::Add(ctx.result, "help", tools::MakeStr(kShellHelp));
        } else if (word == "wait")
            rc = WaitFor(ctx);
        else if (word == "sleep")
            rc = Pause(ctx);
        else if (word == "shell")
            rc = Usage(ctx, "shell: this is the shell already");
        else if ((cmd = FindCommand(word)) == nullptr)
            rc = Usage(ctx, "unknown command '" + word + "' (help lists them)");
        else
            rc = cmd->run(ctx);
    }
    // Events that came before the command's end print before its result.
    WaitEventsPrinted(Clock::now() + kFlushWait);
    std::lock_guard<std::mutex> g(OutputLock());
    if (ctx.json) {
        // One object per command: what ran, its exit status, and its result
        // or its error. Events are the lines with "name" instead.
        tools::Value v = tools::MakeObject();
        tools::Add(v, "command", tools::MakeStr(line));
        tools::Add(v, "exit", tools::MakeUint(static_cast<uint64_t>(rc)));
        if (rc == kOk)
            tools::Add(v, "result", ctx.result);
        else
            tools::Add(v, "error", tools::MakeStr(ctx.error.empty() ? "failed" : ctx.error));
        std::printf("%s\n", tools::ToJson(v).c_str());
    } else if (rc == kOk) {
        std::fputs(ResultText(ctx).c_str(), stdout);
    } else {
        std::fflush(stdout);
        std::fprintf(stderr, "spphone: %s\n", ctx.error.empty() ? "failed" : ctx.error.c_str());
    }
    std::fflush(stdout);
    return rc;
}

} // namespace

int RunShell(Ctx &ctx) {
    const bool stopOnError = TakeFlag(ctx, "--stop-on-error");
    if (!ArgCount(ctx, 0, 1, "shell [FILE] [--stop-on-error]"))
        return kUsage;
    if (ctx.shell)
        return Usage(ctx, "shell: this is the shell already");
    FILE *in = stdin;
    if (!ctx.args.empty() && ctx.args[0] != "-") {
        in = std::fopen(ctx.args[0].c_str(), "r");
        if (in == nullptr)
            return Usage(ctx, "shell: cannot read " + ctx.args[0]);
    }
    if (int rc = StartLibrary(ctx)) {
        if (in != stdin)
            std::fclose(in);
        return rc;
    }
    StartShowingEvents();
    std::thread printer(PrintEvents, ctx.json);

    const bool prompt = in == stdin && isatty(STDIN_FILENO) && isatty(STDOUT_FILENO);
    int first = kOk;
    size_t failed = 0;
    bool quit = false;
    std::string line;
    while (!quit) {
        if (prompt) {
            std::lock_guard<std::mutex> g(OutputLock());
            std::fputs("spphone> ", stdout);
            std::fflush(stdout);
        }
        line.clear();
        int c = 0;
        while ((c = std::fgetc(in)) != EOF && c != '\n')
            if (line.size() <= kMaxLine)
                line += static_cast<char>(c);
        if (c == EOF && line.empty())
            break;
        int rc = RunLine(ctx, line, &quit);
        if (rc != kOk && first == kOk)
            first = rc;
        failed += rc != kOk;
        if (rc != kOk && stopOnError)
            break;
    }
    const int readError = std::ferror(in) ? errno : 0;
    if (in != stdin)
        std::fclose(in);
    // The events shown so far are printed before the session ends.
    Stop();
    printer.join();
    ctx.printed = true;
    if (readError != 0 && first == kOk)
        return Usage(ctx, std::string("shell: cannot read the commands: ") + std::strerror(readError));
    if (first != kOk)
        ctx.error = "shell: " + std::to_string(failed) + (failed == 1 ? " command" : " commands") +
                    " failed; the exit status is the first failure's (" + std::to_string(first) + ")";
    return first;
}

} // namespace spphone
