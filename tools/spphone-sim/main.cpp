// spphone-sim: the simulated speakerphone served over a local socket, one
// host connection at a time, with a console to make the device act.
//
// stdout carries one line per happening, for people and for scripts alike:
//   listening unix:/run/user/1000/spphone-sim.Ab12Cd/device.sock
//   host connected
//   ok call 1 ringing            (the reply to a console line)
//   host disconnected
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/sim.h"
#include "tools/common/parse.h"
#include "tools/spphone-sim/console.h"
#include "tools/spphone-sim/endpoint.h"
#include "tools/spphone-sim/replay.h"

namespace {

using Clock = std::chrono::steady_clock;

int g_signalPipe[2] = {-1, -1};

void OnSignal(int) {
    const char b = 1;
    ssize_t ignored = write(g_signalPipe[1], &b, 1);
    (void)ignored;
}

void Say(const std::string &text) {
    if (text.empty())
        return;
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// The one host connection. The device's delivery thread writes to it through
// the sink; the main thread reads from it and closes it, and is the only
// thread that changes fd.
struct HostLink {
    std::mutex m;
    int fd = -1;
};

struct Options {
    std::string unixPath;
    std::string tcp;
    bool useTcp = false;
    bool listenAny = false;
    bool console = true;
    std::vector<std::string> script; // lines from --script and --command, in order
    sim::DeviceConfig config;
    std::string replay;   // a trace to answer from
    uint64_t session = 1; // which of its sessions
};

void Usage(FILE *out) {
    std::fprintf(out,
                 "usage: spphone-sim [--unix PATH | --tcp [HOST:]PORT [--listen-any]] [device options]\n"
                 "                   [--script FILE] [--command \"LINE; LINE\"] [--no-console]\n"
                 "                   [--replay TRACE [--session N]]\n"
                 "\n"
                 "Serves the simulated speakerphone to one host at a time. Without --unix or --tcp\n"
                 "it listens on a Unix socket in a fresh private directory, removed when it stops\n"
                 "(give --unix PATH or --tcp PORT to restart on the same endpoint). The first line\n"
                 "on stdout names the endpoint (listening unix:PATH or listening tcp:127.0.0.1:PORT);\n"
                 "hand it to the host as TALVO_DEVICE.\n"
                 "\n"
                 "device options:\n"
                 "  --protocol V       protocol version 0x10..0x30 (default 0x30)\n"
                 "  --contacts N       contacts the device holds (default 5)\n"
                 "  --records N        recordings (default 3)\n"
                 "  --entries N        44-byte entries (default 3, at most 16)\n"
                 "  --status N         status byte (default 2; 0, 1, 9, 12, 13 mean not ready)\n"
                 "  --display MODE     display reports: always, never or alternate carry the image\n"
                 "  --manual-connect   dialled calls wait for the console's 'answer'\n"
                 "\n"
                 "replay:\n"
                 "  --replay TRACE     answer as the device traced in TRACE (a MORELAPI_TRACE file) did:\n"
                 "                     each request gets the recorded answers of the next recorded\n"
                 "                     request of its class and command, and what followed them; a\n"
                 "                     request the trace does not hold is refused (said on stdout)\n"
                 "  --session N        the trace's Nth session (default 1: the first)\n"
                 "\n"
                 "Console lines come from stdin (unless --no-console), after those of --script and\n"
                 "--command; 'help' lists them.\n");
}

bool TakeValue(int argc, char **argv, int &k, std::string *out) {
    if (k + 1 >= argc) {
        std::fprintf(stderr, "spphone-sim: %s needs a value\n", argv[k]);
        return false;
    }
    *out = argv[++k];
    return true;
}

bool NumberOption(const std::string &name, const std::string &text, uint64_t min, uint64_t max, uint64_t *out) {
    std::string why;
    auto v = tools::ParseUnsigned(text, max, &why);
    if (!v || *v < min) {
        std::fprintf(stderr, "spphone-sim: %s: %s\n", name.c_str(),
                     v ? ("give " + std::to_string(min) + ".." + std::to_string(max)).c_str() : why.c_str());
        return false;
    }
    *out = *v;
    return true;
}

void AddCommands(const std::string &text, std::vector<std::string> *lines) {
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(';', start);
        if (end == std::string::npos)
            end = text.size();
        lines->push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

// 0: go on; otherwise the exit status.
int ParseOptions(int argc, char **argv, Options *o) {
    for (int k = 1; k < argc; ++k) {
        const std::string a = argv[k];
        std::string v;
        uint64_t n = 0;
        if (a == "--help" || a == "-h") {
            Usage(stdout);
            return -1;
        } else if (a == "--unix") {
            if (!TakeValue(argc, argv, k, &o->unixPath))
                return 2;
        } else if (a == "--tcp") {
            if (!TakeValue(argc, argv, k, &o->tcp))
                return 2;
            o->useTcp = true;
        } else if (a == "--listen-any") {
            o->listenAny = true;
        } else if (a == "--no-console") {
            o->console = false;
        } else if (a == "--script") {
            if (!TakeValue(argc, argv, k, &v))
                return 2;
            std::ifstream in(v);
            std::error_code notDir;
            if (!in || std::filesystem::is_directory(v, notDir)) { // a directory opens, and reads as empty
                std::fprintf(stderr, "spphone-sim: cannot read %s\n", v.c_str());
                return 2;
            }
            for (std::string line; std::getline(in, line);)
                o->script.push_back(line);
        } else if (a == "--command") {
            if (!TakeValue(argc, argv, k, &v))
                return 2;
            AddCommands(v, &o->script);
        } else if (a == "--protocol") {
            if (!TakeValue(argc, argv, k, &v) || !NumberOption(a, v, 0x10, 0x30, &n))
                return 2;
            o->config.protocolVersion = static_cast<uint8_t>(n);
        } else if (a == "--contacts") {
            if (!TakeValue(argc, argv, k, &v) || !NumberOption(a, v, 0, 255, &n))
                return 2;
            o->config.contactCount = static_cast<uint8_t>(n);
        } else if (a == "--records") {
            if (!TakeValue(argc, argv, k, &v) || !NumberOption(a, v, 0, sim::kMaxRecords, &n))
                return 2;
            o->config.recordCount = static_cast<uint8_t>(n);
        } else if (a == "--entries") {
            if (!TakeValue(argc, argv, k, &v) || !NumberOption(a, v, 0, sim::kMaxTableEntries, &n))
                return 2;
            o->config.tableCount = static_cast<uint8_t>(n);
        } else if (a == "--status") {
            if (!TakeValue(argc, argv, k, &v) || !NumberOption(a, v, 0, 255, &n))
                return 2;
            o->config.status = static_cast<uint8_t>(n);
        } else if (a == "--display") {
            if (!TakeValue(argc, argv, k, &v))
                return 2;
            if (v == "always")
                o->config.displayMode = sim::DisplayMode::Always;
            else if (v == "never")
                o->config.displayMode = sim::DisplayMode::Never;
            else if (v == "alternate")
                o->config.displayMode = sim::DisplayMode::Alternate;
            else {
                std::fprintf(stderr, "spphone-sim: --display: always, never or alternate\n");
                return 2;
            }
        } else if (a == "--replay") {
            if (!TakeValue(argc, argv, k, &o->replay))
                return 2;
        } else if (a == "--session") {
            if (!TakeValue(argc, argv, k, &v) || !NumberOption(a, v, 1, 1000000, &o->session))
                return 2;
        } else if (a == "--manual-connect") {
            o->config.outgoingAutoConnect = false;
        } else {
            std::fprintf(stderr, "spphone-sim: unknown option %s (try --help)\n", a.c_str());
            return 2;
        }
    }
    if (o->useTcp && !o->unixPath.empty()) {
        std::fprintf(stderr, "spphone-sim: give --unix or --tcp, not both\n");
        return 2;
    }
    if (o->session != 1 && o->replay.empty()) {
        std::fprintf(stderr, "spphone-sim: --session goes with --replay\n");
        return 2;
    }
    if (o->listenAny && !o->useTcp) {
        std::fprintf(stderr, "spphone-sim: --listen-any goes with --tcp\n");
        return 2;
    }
    return 0;
}

struct Server {
    sim::Device *dev = nullptr;
    std::shared_ptr<simreplay::Replay> replay; // null unless replaying a trace
    simconsole::Console console;
    simserver::Endpoint endpoint;
    std::shared_ptr<HostLink> link = std::make_shared<HostLink>();
    bool connected = false;
    Clock::time_point connectedAt;
    std::deque<std::string> pending;
    simconsole::Control hold = simconsole::Control::None;
    Clock::time_point holdUntil;
    bool quit = false;
};

void Accept(Server &s) {
    int fd = accept4(s.endpoint.fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    if (s.connected) {
        simserver::RefuseHost(fd, "another host is connected"); // one host at a time
        Say("host refused (a host is connected already)");
        return;
    }
    // Frames are small and answered at once: no waiting to fill packets
    // (fails harmlessly on a Unix socket).
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    {
        std::lock_guard<std::mutex> g(s.link->m);
        s.link->fd = fd;
    }
    if (!sim::ConnectSink(s.dev, simserver::HostSink(s.dev, fd))) {
        std::lock_guard<std::mutex> g(s.link->m);
        simserver::RefuseHost(fd, "the device refuses this open");
        s.link->fd = -1;
        Say("host refused (the fault plan fails this open)");
        return;
    }
    s.connected = true;
    s.connectedAt = Clock::now();
    Say("host connected");
}

void DropHost(Server &s, const char *why) {
    if (!s.connected)
        return;
    // Only this thread changes link->fd, so it reads it without the lock:
    // the shutdown releases the host sink's writer thread, which may be
    // blocked in send() to a host that does not read.
    shutdown(s.link->fd, SHUT_RDWR);
    sim::Disconnect(s.dev);
    {
        std::lock_guard<std::mutex> g(s.link->m);
        close(s.link->fd);
        s.link->fd = -1;
    }
    s.connected = false;
    Say(std::string("host disconnected") + (why ? std::string(" (") + why + ")" : ""));
}

void ReadHost(Server &s) {
    uint8_t buf[4096];
    ssize_t n = read(s.link->fd, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n <= 0) {
        DropHost(s, nullptr);
        return;
    }
    const bool taken = sim::HostWrite(s.dev, buf, static_cast<size_t>(n));
    if (s.replay)
        for (const std::string &line : simreplay::TakeMessages(*s.replay))
            Say(line);
    if (!taken)
        DropHost(s, "the device refused the host's write");
}

// True once the connected host has read the device's state: the display
// read to address 2 closes the host's start-up reading.
bool HostSynchronised(const Server &s) {
    if (!s.connected)
        return false;
    const sim::Log log = sim::GetLog(s.dev);
    for (const sim::HostFrame &f : log.frames)
        if (f.classId == 1 && f.commandId == 7 && f.destination == 2 && f.time >= s.connectedAt)
            return true;
    return false;
}

// The host turns its link on a moment after its last start-up answer; what
// the device reports before that is not taken.
constexpr std::chrono::milliseconds kHostSettle{250};

// Runs queued console lines until one holds the rest back.
void RunPending(Server &s) {
    while (!s.quit) {
        const auto now = Clock::now();
        if (s.hold == simconsole::Control::WaitHost) {
            if (HostSynchronised(s)) {
                s.hold = simconsole::Control::Sleep;
                s.holdUntil = now + kHostSettle;
                continue;
            } else if (now >= s.holdUntil) {
                Say("error: no host connected in time");
                s.hold = simconsole::Control::None;
            } else {
                return;
            }
        } else if (s.hold == simconsole::Control::Sleep) {
            if (now < s.holdUntil)
                return;
            s.hold = simconsole::Control::None;
        }
        if (s.pending.empty())
            return;
        const std::string line = s.pending.front();
        s.pending.pop_front();
        simconsole::Reply r = simconsole::RunLine(s.console, line);
        Say(r.text);
        if (r.control == simconsole::Control::Quit)
            s.quit = true;
        else if (r.control != simconsole::Control::None) {
            s.hold = r.control;
            s.holdUntil = Clock::now() + r.duration;
        }
    }
}

// Answers the device may hold for the connected host before the host's
// next requests are read.
constexpr size_t kDeviceBacklog = 256 * 1024;

int Serve(Server &s, bool console) {
    std::string stdinBuf;
    bool stdinOpen = console;
    while (!s.quit) {
        RunPending(s);
        if (s.quit)
            break;
        pollfd fds[4];
        nfds_t n = 0;
        fds[n++] = {g_signalPipe[0], POLLIN, 0};
        const nfds_t listenAt = n;
        fds[n++] = {s.endpoint.fd, POLLIN, 0};
        nfds_t hostAt = 0, stdinAt = 0;
        int timeout = -1;
        if (s.connected) {
            // The host's requests are read only while the device has less
            // than kDeviceBacklog bytes of answers still to deliver: a host
            // that writes faster than the answers go out waits in its own
            // socket, and the device's queue stays bounded. Meanwhile the
            // queue is looked at again every few milliseconds.
            const bool backlogged = sim::QueuedBytes(s.dev) >= kDeviceBacklog;
            hostAt = n;
            fds[n++] = {s.link->fd, static_cast<short>(backlogged ? 0 : POLLIN), 0};
            if (backlogged)
                timeout = 10;
        }
        if (stdinOpen) {
            stdinAt = n;
            fds[n++] = {STDIN_FILENO, POLLIN, 0};
        }
        if (s.hold != simconsole::Control::None) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(s.holdUntil - Clock::now()).count();
            const int holdTimeout = static_cast<int>(std::max<long long>(0, std::min<long long>(left + 1, 60000)));
            timeout = timeout < 0 ? holdTimeout : std::min(timeout, holdTimeout);
        }
        if (poll(fds, n, timeout) < 0) {
            if (errno == EINTR)
                continue;
            std::perror("spphone-sim: poll");
            return 1;
        }
        if (fds[0].revents) {
            Say("stopping");
            break;
        }
        // The host first: a closed link is noticed before a reconnection is
        // taken, so the reconnection is not refused as a second host.
        if (hostAt && fds[hostAt].revents)
            ReadHost(s);
        if (fds[listenAt].revents)
            Accept(s);
        if (stdinAt && fds[stdinAt].revents) {
            char buf[1024];
            ssize_t got = read(STDIN_FILENO, buf, sizeof buf);
            if (got <= 0) {
                stdinOpen = false; // the device keeps serving without a console
                if (!stdinBuf.empty())
                    s.pending.push_back(stdinBuf);
                stdinBuf.clear();
            } else {
                stdinBuf.append(buf, static_cast<size_t>(got));
                size_t nl;
                while ((nl = stdinBuf.find('\n')) != std::string::npos) {
                    s.pending.push_back(stdinBuf.substr(0, nl));
                    stdinBuf.erase(0, nl + 1);
                }
            }
        }
    }
    return 0;
}

// The default socket's directory goes with the process, so a restart cannot
// serve the same endpoint: name the command line that can.
std::string RestartHint(int argc, char **argv) {
    static const char kPlain[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-./:=+,@%";
    auto quoted = [](const std::string &a) {
        if (!a.empty() && a.find_first_not_of(kPlain) == std::string::npos)
            return a;
        std::string q = "'";
        for (char ch : a)
            q += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
        return q + "'";
    };
    std::string dir;
    for (const char *name : {"XDG_RUNTIME_DIR", "HOME"}) {
        const char *value = std::getenv(name);
        std::string why;
        if (value && *value && simserver::IsPrivateDirectory(value, &why)) {
            dir = value;
            break;
        }
    }
    if (dir.empty())
        return "spphone-sim: this socket goes when spphone-sim stops; to restart on one endpoint, give --unix PATH "
               "(in a directory only you can enter) or --tcp PORT";
    std::string line = "spphone-sim: this socket goes when spphone-sim stops; to restart on one endpoint, run: ";
    line.append(quoted(argv[0])).append(" --unix ").append(quoted(dir + "/spphone-sim.sock"));
    for (int k = 1; k < argc; ++k)
        line.append(1, ' ').append(quoted(argv[k]));
    return line;
}

} // namespace

int main(int argc, char **argv) {
    Options o;
    if (int rc = ParseOptions(argc, argv, &o))
        return rc < 0 ? 0 : rc;

    if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("spphone-sim: pipe");
        return 1;
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Server s;
    std::string error;
    if (!o.replay.empty()) {
        s.replay = std::make_shared<simreplay::Replay>();
        if (!simreplay::Load(o.replay, o.session, s.replay.get(), &error)) {
            std::fprintf(stderr, "spphone-sim: --replay: %s\n", error.c_str());
            return 2;
        }
        o.config.protocolVersion = s.replay->version;
        o.config.answerRequest = [replay = s.replay](const uint8_t *frame, size_t n, std::vector<sim::Outgoing> *out) {
            simreplay::AnswerRequest(*replay, frame, n, out);
        };
    }
    const bool listening = o.useTcp ? simserver::ListenTcp(o.tcp, o.listenAny, &s.endpoint, &error)
                                    : simserver::ListenUnix(o.unixPath, &s.endpoint, &error);
    if (!listening) {
        std::fprintf(stderr, "spphone-sim: %s\n", error.c_str());
        return 1;
    }
    o.config.logLimit = 256; // enough to see the host's start-up reading
    s.dev = sim::CreateDevice(o.config);
    s.console.dev = s.dev;
    s.console.replay = s.replay != nullptr;
    s.pending.assign(o.script.begin(), o.script.end());
    Say("listening " + s.endpoint.talvoDevice);
    std::fprintf(stderr, "spphone-sim: connect with TALVO_DEVICE=%s%s\n", s.endpoint.talvoDevice.c_str(),
                 o.console ? "; type help for the console" : "");
    if (!s.endpoint.privateDir.empty())
        std::fprintf(stderr, "%s\n", RestartHint(argc, argv).c_str());
    if (s.replay)
        std::fprintf(stderr, "spphone-sim: replaying %zu requests of session %llu of %s (protocol 0x%02x)%s\n",
                     s.replay->requests.size(), static_cast<unsigned long long>(o.session), o.replay.c_str(),
                     s.replay->version,
                     s.replay->skippedLines
                         ? ("; " + std::to_string(s.replay->skippedLines) + " lines skipped (not trace lines)").c_str()
                         : "");

    int rc = Serve(s, o.console);

    DropHost(s, nullptr);
    sim::DestroyDevice(s.dev);
    simserver::CloseEndpoint(&s.endpoint);
    return rc;
}
