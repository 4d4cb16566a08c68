// A context with its buffers, wired and not started: the frame in which
// tests, benchmarks and fuzzing harnesses drive parts of the library by hand.
// It is registered as the receive callback's context for its lifetime; the
// owner sets the flags its case needs (deviceAvailable, transportHandle).
#pragma once

#include <memory>
#include <vector>

#include "core/context.h"
#include "events/notify.h"
#include "link/send.h"

namespace morel {

struct ContextStorage {
    std::unique_ptr<ApiContext> owned = std::make_unique<ApiContext>();
    ApiContext *ctx = owned.get();
    ReceiveRing ring;
    std::vector<uint8_t> ringStorage = std::vector<uint8_t>(kRingSize);
    std::vector<uint8_t> tx = std::vector<uint8_t>(kTxFrameSize);
    std::vector<uint8_t> rx = std::vector<uint8_t>(kRxFrameSize);
    std::vector<uint8_t> display = std::vector<uint8_t>(kDisplayBytes);
    std::vector<uint8_t> raw = std::vector<uint8_t>(128);
    std::vector<ContactRecord> contacts = std::vector<ContactRecord>(kContactCountMax);
    RecordTable records{};

    ContextStorage() {
        ring.start = ringStorage.data();
        ctx->ring = &ring;
        ctx->txFrame = tx.data();
        ctx->rxFrame = rx.data();
        ctx->displayBuffer = display.data();
        ctx->rawReceiveBuffer = raw.data();
        ctx->contactTable = contacts.data();
        ctx->recordTable = &records;
        for (Event *e : {&ctx->sendEvent, &ctx->replyEvent, &ctx->ringEvent, &ctx->notifyEvent, &ctx->roomEvent,
                         &ctx->turnEvent, &ctx->startedEvent, &ctx->discardedEvent})
            EventInit(*e, false);
        EventInit(ctx->linkEvent, true);
        EventInit(ctx->stopEvent, true);
        ctx->protocolVersion = 0x30;
        ctx->nextSequence = 1;
        ctx->syncComplete = 1;
        callbackContext.store(ctx);
    }

    // The owner has stopped any thread it started on the context.
    ~ContextStorage() {
        callbackContext.store(nullptr);
        FlushPackets(ctx);
        FlushEventQueue(ctx);
    }

    ContextStorage(const ContextStorage &) = delete;
    ContextStorage &operator=(const ContextStorage &) = delete;
};

} // namespace morel
