// Send path: queueing, writing and matching answers to requests.
#pragma once

#include "core/context.h"
#include "link/frame.h"

namespace morel {

// resultCode values.
constexpr uint16_t kResultNone = 0;
constexpr uint16_t kResultRejected = 2;
constexpr uint16_t kResultFailed = 3;
constexpr uint16_t kResultTimedOut = 4;

// Queues the packet and waits for its answer (at most the reply time-out).
// Takes the packet over in every case. On an application thread it fails at
// once while another request is in flight; on a library thread it waits its
// turn.
uint32_t SendAndWait(ApiContext *ctx, CommandPacket *pkt);
// The request turn (commandActive). An application thread that stores a
// request selector in the context claims the turn first, so no other caller
// can overwrite the selector before its request is answered; SendAndWait
// then uses the turn it already holds. Fails at once on an application
// thread when the turn is taken; waits on a library thread.
bool ClaimRequestTurn(ApiContext *ctx);
// Claims the turn only if it is free at once, on any thread.
bool TryClaimRequestTurn(ApiContext *ctx);
void ReleaseRequestTurn(ApiContext *ctx);

// Queues the packet without waiting; takes it over.
uint32_t PostCommand(ApiContext *ctx, CommandPacket *pkt);
void SenderThread(ApiContext *ctx);

int MatchAcknowledgement(ApiContext *ctx);
int MatchResponse(ApiContext *ctx);

// Frees every queued and pending packet; a waiter whose packet goes is woken
// with resultCode 4.
void FlushPackets(ApiContext *ctx);

} // namespace morel
