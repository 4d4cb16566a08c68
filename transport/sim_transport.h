// The transport operations over an in-process simulated device, for tests
// that hand them to the library directly (library target talvo_sim).
//
//   sim::Device *dev = sim::CreateDevice();
//   SimTransportBind(dev);
//   // give SimTransportOpen / SimTransportWrite / SimTransportClose to the library
//   ...
//   SimTransportBind(nullptr);   // after the library closed the transport
//   sim::DestroyDevice(dev);
//
// SimTransportOpen connects the bound device with the host's callback and
// returns 0 with a fresh nonzero handle; it fails (nonzero) when no device is
// bound or the device refuses the connection (fault plan). A second open
// replaces the first connection. SimTransportWrite hands the frame to the
// device and fails (nonzero) for a stale handle, no link or a write fault.
// SimTransportClose disconnects; after it returns the callback is not called
// again. Binding another device (or nullptr) closes any open connection first.
#pragma once

#include <cstdint>

#include "talvo.h"

namespace sim {
struct Device;
}

void SimTransportBind(sim::Device *dev);
sim::Device *SimTransportBound();

int32_t TALVO_CALL SimTransportOpen(TalvoReceiveCallback callback, uint32_t *handle);
int32_t TALVO_CALL SimTransportWrite(uint32_t handle, const uint8_t *frame, uint32_t length);
int32_t TALVO_CALL SimTransportClose(uint32_t handle);
