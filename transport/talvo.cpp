// libtalvo: the transport library the host loads. It picks its device from
// the environment variable TALVO_DEVICE, read at each open:
//   unset, empty or "sim"  an in-process simulated device, made at the first
//                          open and kept for the life of the process;
//   "unix:PATH"            a stream to a device endpoint on a local socket;
//   "tcp:HOST:PORT"        a stream to a device endpoint over TCP.
// One connection is open at a time; opening again replaces it.
//
// Bounds on a stream, whatever the endpoint does: TransportOpen returns within
// kOpenTimeoutMs (2 s), at once for a malformed address, an endpoint that
// nothing listens on or one that refuses this host; TransportWrite within
// kSendTimeoutMs (3 s); TransportClose once the reader has left the callback.
// An open in progress holds no lock: a TransportClose meanwhile, of any
// handle (the opener has none yet), or another open, ends it at once.
//
// With TALVO_VERBOSE=1 in the environment, why an open failed goes to stderr,
// once per distinct cause until an open succeeds.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "sim/sim.h"
#include "talvo.h"
#include "transport/stream.h"

namespace {

enum class Backend { None, Sim, Stream };

std::mutex g_mu;
sim::Device *g_sim = nullptr; // made once, never freed: its thread may outlive any close
Backend g_backend = Backend::None;
talvo::StreamPtr g_stream;  // the open stream
talvo::StreamPtr g_opening; // a stream being opened, without the lock
uint32_t g_handle = 0;
uint32_t g_lastHandle = 0;

// Causes told so far; a retrying host fails the same way many times.
constexpr size_t kCausesKept = 16;
std::vector<std::string> g_told;

void Tell(const std::string &cause) {
    const char *verbose = std::getenv("TALVO_VERBOSE");
    if (!verbose || std::strcmp(verbose, "1") != 0)
        return;
    std::lock_guard<std::mutex> lk(g_mu);
    for (const std::string &c : g_told)
        if (c == cause)
            return;
    if (g_told.size() == kCausesKept)
        g_told.erase(g_told.begin());
    g_told.push_back(cause);
    std::fprintf(stderr, "talvo: %s\n", cause.c_str());
}

// Ends the open connection. Called with g_mu held; a stream is handed back to
// be closed once the lock is released, since its reader may be inside the
// host's callback, which may call in here. The device joins only its own
// thread, which never takes g_mu.
talvo::StreamPtr CloseLocked() {
    if (g_backend == Backend::Sim)
        sim::Disconnect(g_sim);
    talvo::StreamPtr s = std::move(g_stream);
    g_backend = Backend::None;
    g_handle = 0;
    return s;
}

void CloseStreams(std::initializer_list<talvo::StreamPtr> streams) {
    for (const talvo::StreamPtr &s : streams)
        talvo::StreamClose(s.get());
}

uint32_t NextHandle() {
    if (++g_lastHandle == 0)
        ++g_lastHandle;
    return g_lastHandle;
}

int32_t OpenStream(const std::string &device, TalvoReceiveCallback callback, uint32_t *handle) {
    talvo::StreamPtr s = talvo::StreamCreate(callback);
    if (!s) {
        Tell("no resources for a stream");
        return 3;
    }
    talvo::StreamPtr old, abandoned;
    {
        std::lock_guard<std::mutex> lk(g_mu);
        old = CloseLocked();
        abandoned = std::exchange(g_opening, s);
    }
    CloseStreams({old, abandoned});
    std::string cause;
    bool ok = talvo::StreamConnect(s, device.c_str(), &cause);
    {
        std::lock_guard<std::mutex> lk(g_mu);
        if (g_opening == s)
            g_opening.reset();
        else if (ok) { // closed or replaced meanwhile
            ok = false;
            cause = "closed while connecting";
        }
        if (ok) {
            g_stream = s;
            g_backend = Backend::Stream;
            g_handle = NextHandle();
            *handle = g_handle;
            g_told.clear();
            return 0;
        }
    }
    talvo::StreamClose(s.get());
    Tell("TALVO_DEVICE=" + device + ": " + cause);
    return 3;
}

} // namespace

extern "C" {

TALVO_EXPORT int32_t TALVO_CALL TransportOpen(TalvoReceiveCallback callback, uint32_t *handle) {
    if (!callback || !handle)
        return 1;
    const char *device = std::getenv("TALVO_DEVICE");
    if (device && *device && std::strcmp(device, "sim") != 0)
        return OpenStream(device, callback, handle);
    talvo::StreamPtr old, abandoned;
    int32_t rc = 0;
    {
        std::lock_guard<std::mutex> lk(g_mu);
        old = CloseLocked();
        abandoned = std::move(g_opening);
        if (!g_sim)
            g_sim = sim::CreateDevice();
        if (sim::Connect(g_sim, callback)) {
            g_backend = Backend::Sim;
            g_handle = NextHandle();
            *handle = g_handle;
        } else {
            rc = 2;
        }
    }
    CloseStreams({old, abandoned});
    return rc;
}

TALVO_EXPORT int32_t TALVO_CALL TransportWrite(uint32_t handle, const uint8_t *frame, uint32_t length) {
    if (!frame)
        return 1;
    talvo::StreamPtr s;
    {
        std::lock_guard<std::mutex> lk(g_mu);
        if (handle == 0 || handle != g_handle)
            return 2;
        if (g_backend == Backend::Sim)
            return sim::HostWrite(g_sim, frame, length) ? 0 : 3;
        s = g_stream;
    }
    // Without the lock: a close meanwhile makes the write fail at once.
    return talvo::StreamWrite(s.get(), frame, length) ? 0 : 3;
}

TALVO_EXPORT int32_t TALVO_CALL TransportClose(uint32_t handle) {
    talvo::StreamPtr old, abandoned;
    int32_t rc = 1;
    {
        std::lock_guard<std::mutex> lk(g_mu);
        abandoned = std::move(g_opening);
        if (handle != 0 && handle == g_handle) {
            old = CloseLocked();
            rc = 0;
        }
    }
    CloseStreams({old, abandoned});
    return rc;
}

} // extern "C"
