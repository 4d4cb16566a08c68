// The context's guards, its references from exported calls, and the release
// of every wait when the library stops.
#include "core/context.h"

#include <condition_variable>
#include <mutex>

namespace morel {

std::atomic<ApiContext *> callbackContext{nullptr};

namespace {

std::atomic<ApiContext *> contextPointer{nullptr};

// Exported calls in progress. Never destroyed: a worker detached by a stop
// from its own callback may still release its reference while the process
// exits and destroys its statics.
struct ContextRefs {
    std::atomic<int> count{0};
    std::mutex mutex;
    std::condition_variable idle;
};

ContextRefs &Refs() {
    static ContextRefs *const refs = new ContextRefs;
    return *refs;
}

thread_local bool t_worker = false;
thread_local int t_deliveryLane = kLaneOther;

} // namespace

void PublishContext(ApiContext *ctx) { contextPointer.store(ctx); }
ApiContext *TakeContext() { return contextPointer.exchange(nullptr); }
bool ContextPublished() { return contextPointer.load() != nullptr; }

ApiContext *AcquireContext() {
    Refs().count.fetch_add(1);
    ApiContext *ctx = contextPointer.load();
    if (ctx == nullptr)
        ReleaseContext();
    return ctx;
}

void ReleaseContext() {
    ContextRefs &refs = Refs();
    if (refs.count.fetch_sub(1) == 1) {
        std::lock_guard<std::mutex> g(refs.mutex);
        refs.idle.notify_all();
    }
}

// Ends once every exported call that acquired the context has returned;
// those calls were woken by ReleaseWaits, and the context is no longer
// published, so no new one acquires it.
void WaitForContextRefs() {
    ContextRefs &refs = Refs();
    std::unique_lock<std::mutex> g(refs.mutex);
    refs.idle.wait(g, [&] { return refs.count.load() == 0; });
}

void ReleaseWaits(ApiContext *ctx) {
    ctx->stopping.store(true);
    for (Event ApiContext::*e : kContextEvents)
        EventRelease(ctx->*e);
    NotifyState(ctx);
    {
        std::lock_guard<std::mutex> g(ctx->slotLock);
    }
    ctx->slotIdle.notify_all();
}

void NotifyState(ApiContext *ctx) {
    {
        std::lock_guard<std::mutex> g(ctx->stateLock);
    }
    ctx->stateChanged.notify_all();
}

void MarkStarted(ApiContext *ctx, std::atomic<uint32_t> &flag) {
    flag.store(1);
    NotifyState(ctx);
}

bool OnWorkerThread() { return t_worker; }
void MarkWorkerThread() { t_worker = true; }
void SetDeliveryLane(int lane) { t_deliveryLane = lane; }
int DeliveryLane() { return t_deliveryLane; }

bool CanIssueCommand(const ApiContext *ctx) {
    return ctx != nullptr && ctx->commandActive.load() == 0 && ctx->deviceAvailable.load() == 1 &&
           ctx->syncComplete.load() == 1 && !ctx->stopping.load();
}

bool IsDeviceReady(const ApiContext *ctx) {
    return ctx != nullptr && ctx->deviceAvailable.load() == 1 && ctx->syncComplete.load() == 1;
}

bool SleepUnlessStopping(ApiContext *ctx, uint32_t ms) {
    if (SleepHook hook = GetSleepHook())
        ms = hook(ms);
    return EventWait(ctx->stopEvent, ms) == WaitResult::Timeout;
}

} // namespace morel
