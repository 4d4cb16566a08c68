// A context wired with the library's tables and not started: the frame in
// which tests, benchmarks and fuzzing harnesses drive parts of the library
// by hand. It is registered as the receive callback's context for its
// lifetime; the owner sets the flags its case needs (deviceAvailable,
// transportHandle).
#pragma once

#include <memory>

#include "api/tables.h"
#include "core/context.h"
#include "events/notify.h"
#include "link/send.h"

namespace morel {

struct ContextStorage {
    std::unique_ptr<ApiContext> owned = std::make_unique<ApiContext>();
    ApiContext *ctx = owned.get();

    ContextStorage() {
        ctx->protocol = &LibraryProtocol;
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
