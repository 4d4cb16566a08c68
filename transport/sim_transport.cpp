// The three transport operations over a bound in-process simulated device.
#include "transport/sim_transport.h"

#include <mutex>

#include "sim/sim.h"

namespace {

std::mutex g_mu;
sim::Device *g_device = nullptr;
uint32_t g_handle = 0;     // handle of the open connection, 0 = none
uint32_t g_lastHandle = 0; // handles are never reused while the process runs

// The device of an open handle, or nullptr. The device calls are made
// without g_mu so that a callback may use these functions.
sim::Device *DeviceOf(uint32_t handle) {
    std::lock_guard<std::mutex> lk(g_mu);
    return (handle != 0 && handle == g_handle) ? g_device : nullptr;
}

} // namespace

void SimTransportBind(sim::Device *dev) {
    sim::Device *old = nullptr;
    {
        std::lock_guard<std::mutex> lk(g_mu);
        if (g_handle)
            old = g_device;
        g_handle = 0;
        g_device = dev;
    }
    if (old)
        sim::Disconnect(old);
}

sim::Device *SimTransportBound() {
    std::lock_guard<std::mutex> lk(g_mu);
    return g_device;
}

int32_t TALVO_CALL SimTransportOpen(TalvoReceiveCallback callback, uint32_t *handle) {
    if (!callback || !handle)
        return 1;
    sim::Device *dev = SimTransportBound();
    if (!dev)
        return 2;
    if (!sim::Connect(dev, callback))
        return 3;
    std::lock_guard<std::mutex> lk(g_mu);
    if (g_device != dev)
        return 2; // rebound meanwhile
    if (++g_lastHandle == 0)
        ++g_lastHandle;
    g_handle = g_lastHandle;
    *handle = g_handle;
    return 0;
}

int32_t TALVO_CALL SimTransportWrite(uint32_t handle, const uint8_t *frame, uint32_t length) {
    sim::Device *dev = DeviceOf(handle);
    if (!dev || !frame)
        return 1;
    return sim::HostWrite(dev, frame, length) ? 0 : 2;
}

int32_t TALVO_CALL SimTransportClose(uint32_t handle) {
    sim::Device *dev = nullptr;
    {
        std::lock_guard<std::mutex> lk(g_mu);
        if (handle == 0 || handle != g_handle)
            return 1;
        dev = g_device;
        g_handle = 0;
    }
    if (dev)
        sim::Disconnect(dev);
    return 0;
}
