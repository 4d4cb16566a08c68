// libtalvo: the transport library the host loads. It picks its device from
// the environment variable TALVO_DEVICE, read at each open:
//   unset, empty or "sim"  an in-process simulated device, made at the first
//                          open and kept for the life of the process;
//   "unix:PATH"            a stream to a device endpoint on a local socket;
//   "tcp:HOST:PORT"        a stream to a device endpoint over TCP.
// One connection is open at a time; opening again replaces it.
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "sim/sim.h"
#include "talvo.h"
#include "transport/stream.h"

namespace {

enum class Backend { None, Sim, Stream };

std::mutex g_mu;
sim::Device *g_sim = nullptr; // made once, never freed: its thread may outlive any close
Backend g_backend = Backend::None;
talvo::Stream *g_stream = nullptr;
uint32_t g_handle = 0;
uint32_t g_lastHandle = 0;

// Ends the open connection. Called with g_mu held; the device and the stream
// join their own threads, which never take g_mu.
void CloseLocked() {
    if (g_backend == Backend::Sim)
        sim::Disconnect(g_sim);
    else if (g_backend == Backend::Stream)
        talvo::StreamClose(g_stream);
    g_stream = nullptr;
    g_backend = Backend::None;
    g_handle = 0;
}

uint32_t NextHandle() {
    if (++g_lastHandle == 0)
        ++g_lastHandle;
    return g_lastHandle;
}

} // namespace

extern "C" {

TALVO_EXPORT int32_t TALVO_CALL TransportOpen(TalvoReceiveCallback callback, uint32_t *handle) {
    if (!callback || !handle)
        return 1;
    std::lock_guard<std::mutex> lk(g_mu);
    CloseLocked();
    const char *device = std::getenv("TALVO_DEVICE");
    if (!device || !*device || std::strcmp(device, "sim") == 0) {
        if (!g_sim)
            g_sim = sim::CreateDevice();
        if (!sim::Connect(g_sim, callback))
            return 2;
        g_backend = Backend::Sim;
    } else {
        g_stream = talvo::StreamOpen(device, callback);
        if (!g_stream)
            return 3;
        g_backend = Backend::Stream;
    }
    g_handle = NextHandle();
    *handle = g_handle;
    return 0;
}

TALVO_EXPORT int32_t TALVO_CALL TransportWrite(uint32_t handle, const uint8_t *frame, uint32_t length) {
    if (!frame)
        return 1;
    std::lock_guard<std::mutex> lk(g_mu);
    if (handle == 0 || handle != g_handle)
        return 2;
    bool ok = g_backend == Backend::Sim ? sim::HostWrite(g_sim, frame, length)
                                        : talvo::StreamWrite(g_stream, frame, length);
    return ok ? 0 : 3;
}

TALVO_EXPORT int32_t TALVO_CALL TransportClose(uint32_t handle) {
    std::lock_guard<std::mutex> lk(g_mu);
    if (handle == 0 || handle != g_handle)
        return 1;
    CloseLocked();
    return 0;
}

} // extern "C"
