// Receive path: the transport callback, the ring and frame extraction.
#pragma once

#include "core/context.h"

namespace morel {

void TALVO_CALL ReceiveCallback(uintptr_t reserved1, const uint8_t *data, int32_t count, int32_t type,
                                uintptr_t reserved5);

// Appends bytes to the ring, waiting for room while it is full. Returns false
// when the library stopped before every byte was stored.
bool StoreChunk(ApiContext *ctx, const uint8_t *data, size_t count);

// Cuts the next whole, validated frame out of the ring into rxFrame.
int ExtractFrame(ApiContext *ctx);
void DispatchFrame(ApiContext *ctx);
void ReceiverThread(ApiContext *ctx);

// Link thread, with the transport closed: has the receiver drop whatever the
// lost connection left in the ring (half a frame would otherwise be completed
// with the next connection's bytes) and waits until it has.
void DiscardReceivedBytes(ApiContext *ctx);

} // namespace morel
