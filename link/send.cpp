#include "link/send.h"

#include <cstring>
#include <iterator>

#include "core/context.h"
#include "link/frame_trace.h"
#include "link/transport.h"

namespace morel {

namespace {

void Append(CommandPacket *&head, CommandPacket *pkt) {
    pkt->next = nullptr;
    CommandPacket **p = &head;
    while (*p != nullptr)
        p = &(*p)->next;
    *p = pkt;
}

bool Unlink(CommandPacket *&head, CommandPacket *pkt) {
    for (CommandPacket **p = &head; *p != nullptr; p = &(*p)->next) {
        if (*p == pkt) {
            *p = pkt->next;
            pkt->next = nullptr;
            return true;
        }
    }
    return false;
}

// queueLock held for work that may retire the awaited packet. The waiter is
// woken once the lock is released, not while it is held, so that it does not
// wake only to block on the lock again.
struct QueueLockHeld {
    ApiContext *ctx;
    bool wakeWaiter = false;
    explicit QueueLockHeld(ApiContext *c) : ctx(c) { ctx->queueLock.lock(); }
    ~QueueLockHeld() {
        ctx->queueLock.unlock();
        if (wakeWaiter)
            EventSet(ctx->replyEvent);
    }
    QueueLockHeld(const QueueLockHeld &) = delete;
    QueueLockHeld &operator=(const QueueLockHeld &) = delete;
};

// Frees a packet that has left the lists; when it is the awaited one,
// records the outcome for its waiter.
void Retire(QueueLockHeld &held, CommandPacket *pkt, uint16_t code) {
    if (pkt == held.ctx->awaitedPacket) {
        held.ctx->awaitedPacket = nullptr;
        held.ctx->awaitedOutcome = code;
        held.wakeWaiter = true;
    }
    FreePacket(pkt);
}

bool Matches(const uint8_t *request, const uint8_t *answer) {
    return request[kOffVersion] >= answer[kOffVersion] &&
           Get32(request + kOffSequence) == Get32(answer + kOffSequence) &&
           Get16(request + kOffDestination) == Get16(answer + kOffSource) &&
           Get16(request + kOffSource) == Get16(answer + kOffDestination);
}

CommandPacket *FindPending(ApiContext *ctx) {
    for (CommandPacket *p = ctx->pendingList; p != nullptr; p = p->next)
        if (Matches(p->frame, ctx->rxFrame))
            return p;
    return nullptr;
}

// A posted request waits in pendingList for an answer that a device may
// never send. At most kPostedPendingMax of them are kept; a new one pushes
// the oldest out, so the list cannot grow without bound.
constexpr size_t kPostedPendingMax = 16;

void LimitPostedRequests(ApiContext *ctx) {
    size_t posted = 0;
    CommandPacket *oldest = nullptr;
    for (CommandPacket *p = ctx->pendingList; p != nullptr; p = p->next) {
        if (p == ctx->awaitedPacket)
            continue;
        if (oldest == nullptr)
            oldest = p;
        ++posted;
    }
    if (posted >= kPostedPendingMax) {
        Unlink(ctx->pendingList, oldest);
        FreePacket(oldest);
    }
}

} // namespace

bool TryClaimRequestTurn(ApiContext *ctx) {
    uint32_t expected = 0;
    if (!ctx->commandActive.compare_exchange_strong(expected, 1))
        return false;
    ctx->turnOwner.store(std::this_thread::get_id());
    return true;
}

bool ClaimRequestTurn(ApiContext *ctx) {
    for (;;) {
        if (TryClaimRequestTurn(ctx))
            return true;
        if (!OnWorkerThread() || ctx->stopping.load())
            return false;
        // Ends when the holder releases the turn (it holds it only around
        // one request, whose wait ends with its answer, its time-out or the
        // stop), or when the library stops.
        WaitForState(ctx, [ctx] { return ctx->commandActive.load() == 0 || ctx->stopping.load(); });
    }
}

void ReleaseRequestTurn(ApiContext *ctx) {
    ctx->turnOwner.store(std::thread::id());
    ctx->commandActive.store(0);
    NotifyState(ctx);
}

uint32_t SendAndWait(ApiContext *ctx, CommandPacket *pkt) {
    if (pkt == nullptr)
        return 0;
    // The caller may hold the turn already (it stored a selector under it).
    const bool claimHere = ctx->turnOwner.load() != std::this_thread::get_id();
    if (ctx->stopping.load() || (claimHere && !ClaimRequestTurn(ctx))) {
        FreePacket(pkt);
        return 0;
    }
    ctx->resultCode.store(kResultNone);
    {
        LockGuard g(ctx->queueLock);
        Append(ctx->sendQueue, pkt);
        ctx->awaitedPacket = pkt;
        ctx->awaitedOutcome = kResultNone;
    }
    EventSet(ctx->sendEvent);

    const uint32_t timeout = g_timing.replyTimeoutMs.load();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
    bool retired = false;
    uint16_t code = kResultTimedOut;
    for (;;) {
        {
            LockGuard g(ctx->queueLock);
            if (ctx->awaitedPacket != pkt) {
                retired = true;
                code = ctx->awaitedOutcome;
                break;
            }
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (ctx->stopping.load() || left.count() <= 0)
            break;
        EventWait(ctx->replyEvent, left.count());
    }
    if (!retired) {
        // Still ours: nobody else frees a packet while it is awaited without
        // clearing awaitedPacket under the same lock.
        bool timedOut = false;
        TracedRequest traced{};
        {
            LockGuard g(ctx->queueLock);
            if (ctx->awaitedPacket == pkt) {
                if (!Unlink(ctx->sendQueue, pkt))
                    Unlink(ctx->pendingList, pkt);
                ctx->awaitedPacket = nullptr;
                timedOut = !ctx->stopping.load();
                if (TraceOn())
                    traced = TracedRequestOf(pkt->frame);
                FreePacket(pkt);
            } else {
                code = ctx->awaitedOutcome;
            }
        }
        if (timedOut && TraceOn())
            TraceTimeout(traced, nullptr);
    }
    ctx->resultCode.store(code);
    if (claimHere)
        ReleaseRequestTurn(ctx);
    return code == kResultNone ? 1 : 0;
}

uint32_t PostCommand(ApiContext *ctx, CommandPacket *pkt) {
    if (pkt == nullptr)
        return 0;
    ctx->resultCode.store(kResultNone);
    {
        LockGuard g(ctx->queueLock);
        Append(ctx->sendQueue, pkt);
    }
    EventSet(ctx->sendEvent);
    return 1;
}

void SenderThread(ApiContext *ctx) {
    MarkStarted(ctx, ctx->senderStarted);
    for (;;) {
        EventWait(ctx->sendEvent, -1);
        if (ctx->stopping.load())
            return;
        for (;;) {
            CommandPacket *pkt;
            bool request;
            bool fits;
            uint32_t sequence;
            {
                QueueLockHeld g(ctx);
                pkt = ctx->sendQueue;
                if (pkt == nullptr)
                    break;
                ctx->sendQueue = pkt->next;
                pkt->next = nullptr;
                uint32_t length = kMinFrame + (Get32(pkt->frame + kOffExtraLength) & 0xFFFF);
                fits = length <= kTxFrameSize;
                request = FrameKind(pkt->frame) == kKindRequest;
                sequence = Get32(pkt->frame + kOffSequence);
                if (!fits) {
                    // Larger than the send buffer: it cannot be written.
                    Retire(g, pkt, kResultFailed);
                    continue;
                }
                ctx->txLength = static_cast<uint16_t>(length);
                std::memcpy(ctx->txFrame, pkt->frame, length);
                if (pkt->handler != nullptr)
                    pkt->handler(ctx, 0);
                // Park a request before writing it, so that a fast answer finds it.
                if (request) {
                    if (pkt != ctx->awaitedPacket)
                        LimitPostedRequests(ctx);
                    Append(ctx->pendingList, pkt);
                }
            }
            const TransportOps *ops = CurrentTransport();
            uint32_t handle = ctx->transportHandle.load();
            const uint32_t writeTick = TickNow(); // the time of the write, not of its return
            // The trace line carries the time the write began, so that an
            // answer's round trip is measured from it.
            const int64_t traceAt = TraceOn() ? TraceClockUs() : -1;
            int32_t rc = (ops != nullptr && handle != 0) ? ops->write(handle, ctx->txFrame, ctx->txLength) : -1;
            if (traceAt >= 0)
                TraceFrame("tx", ctx->txFrame, ctx->txLength, &rc, traceAt);
            if (rc == 0) {
                ctx->lastSendTick.store(writeTick);
                if (!request)
                    FreePacket(pkt);
                continue;
            }
            {
                QueueLockHeld g(ctx);
                if (!request) {
                    FreePacket(pkt);
                } else {
                    // Only this thread adds to pendingList, so a packet found
                    // there at this address with this sequence is the one written.
                    for (CommandPacket *p = ctx->pendingList; p != nullptr; p = p->next) {
                        if (p == pkt && Get32(p->frame + kOffSequence) == sequence) {
                            Unlink(ctx->pendingList, pkt);
                            Retire(g, pkt, kResultTimedOut);
                            break;
                        }
                    }
                }
                // The link reset is asked for before the waiter (woken as the
                // lock is released) can learn of the failure.
                EventSet(ctx->linkEvent);
            }
        }
    }
}

namespace {

// Runs `match` under queueLock on the pending request that the answer in
// rxFrame belongs to. An answer that no request waits for is traced once the
// lock is released (rxFrame is the receiver thread's, which runs this).
template <typename Match> int WithPending(ApiContext *ctx, Match match) {
    {
        QueueLockHeld g(ctx);
        if (CommandPacket *pkt = FindPending(ctx))
            return match(g, pkt);
    }
    if (TraceOn())
        TraceUnmatched(ctx->rxFrame);
    return 0;
}

} // namespace

int MatchAcknowledgement(ApiContext *ctx) {
    return WithPending(ctx, [ctx](QueueLockHeld &g, CommandPacket *pkt) {
        if (ctx->rxFrame[kOffBody] == 0) {
            Put16(pkt->frame + kOffKind, kKindAck);
            return 1;
        }
        ctx->resultCode.store(kResultRejected);
        Unlink(ctx->pendingList, pkt);
        Retire(g, pkt, kResultRejected);
        return 0;
    });
}

int MatchResponse(ApiContext *ctx) {
    return WithPending(ctx, [ctx](QueueLockHeld &g, CommandPacket *pkt) {
        int result = 0;
        if (FrameKind(pkt->frame) == kKindAck && ctx->rxFrame[kOffBody] == 0) {
            if (pkt->handler != nullptr)
                pkt->handler(ctx, 1);
            result = 1;
        } else {
            ctx->resultCode.store(kResultFailed);
        }
        Unlink(ctx->pendingList, pkt);
        Retire(g, pkt, result ? kResultNone : kResultFailed);
        return result;
    });
}

void FlushPackets(ApiContext *ctx) {
    // The requests a lost link releases are traced once the lock is gone;
    // beyond the few that fit here, under it.
    TracedRequest released[32];
    size_t count = 0;
    const bool trace = TraceOn() && !ctx->stopping.load();
    {
        QueueLockHeld g(ctx);
        for (CommandPacket **head : {&ctx->sendQueue, &ctx->pendingList}) {
            while (CommandPacket *pkt = *head) {
                *head = pkt->next;
                if (trace && FrameKind(pkt->frame) != kKindNotification) {
                    if (count == std::size(released))
                        TraceTimeout(TracedRequestOf(pkt->frame), "link");
                    else
                        released[count++] = TracedRequestOf(pkt->frame);
                }
                Retire(g, pkt, kResultTimedOut);
            }
        }
    }
    for (size_t i = 0; i < count; ++i)
        TraceTimeout(released[i], "link");
}

} // namespace morel
